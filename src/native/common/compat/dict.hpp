// Telling cheaply whether a dict (a module namespace, a lookup table) has changed since a moment
// recorded earlier: the one guard every module uses before a fast path that relies on a namespace
// binding its original helpers or a table holding what the import put there.
//
//   if (watch_dict(d) == 1) { ... later: stamp = dict_stamp(d); ... if (dict_stamp(d) == stamp) ... }
//
// Equal non-zero stamps of a watched dict at two moments mean no mutation of it happened between
// them. A stamp may also change without the dict changing (callers then simply check again);
// 0 is never a valid stamp.
#pragma once

#include "config.hpp"
#include "../ref.hpp"
#include "../watchers.hpp"

#include <atomic>
#include <cstdint>

namespace qelo::compat {

#if PY_VERSION_HEX >= QELO_PY312
namespace detail {

// Bumped by this extension's dict watcher on every event of every dict it watches, in every
// interpreter. Holds no Python object. Starts at 1 so that 0 stays "no stamp".
//
// Each extension module is its own shared library with hidden symbols, so it has its own copy of
// this counter and of the callback below; a watcher registered by one extension would bump a
// counter that another extension never reads. Every extension therefore registers its own
// watcher (one per interpreter), keyed in the interpreter's dict by the address of its own
// callback, which also lets a re-import reuse it.
inline std::atomic<std::uint64_t> watch_epoch{1};

inline int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    watch_epoch.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// This extension's watcher in this interpreter (see find_interpreter_watcher): 1 with `id` set, 0
// when no slot is free (no exception; callers then check per call), -1 with an exception set.
inline int extension_watcher(int& id) {
    return find_interpreter_watcher("qelo.dict_watcher", &on_dict_event, PyDict_AddWatcher, PyDict_ClearWatcher, id);
}

}  // namespace detail
#endif

// Arms the guard on `dict`: 1 when its stamps can be trusted from now on, 0 when they cannot (no
// watcher slot free, or a portable 3.11 build; the caller then checks per call), -1 with an
// exception set.
//
// 3.12+: the calling extension's dict watcher (public API). Trick (3.11, which has no watchers): nothing to
// arm, the dict's own version tag serves as its stamp.
inline int watch_dict([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= QELO_PY312
    int id = -1;
    if (const int found = detail::extension_watcher(id); found <= 0) return found;
    return PyDict_Watch(id, dict) < 0 ? -1 : 1;
#elif QELO_TRICKS
    return 1;
#else
    return 0;
#endif
}

// The stamp of a dict that watch_dict armed (with 1).
//
// 3.12+: the calling extension's watcher epoch, which moves with every event on every dict that
// extension watches.
// Trick (3.11): `ma_version_tag`, which the interpreter sets from a global counter at creation and
// at every mutation that changes the contents, so it is never 0 and never repeats.
inline std::uint64_t dict_stamp([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= QELO_PY312
    return detail::watch_epoch.load(std::memory_order_acquire);
#elif QELO_TRICKS
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

// The version tag of any dict, watched or not: equal non-zero tags mean the same keys bound to the
// same objects (storing the value a key already holds is not a change). 0 when this build cannot
// tell, and then the caller must not cache.
//
// Trick (3.11-3.13): `ma_version_tag` (deprecated from 3.12, maintained through 3.13, removed in
// 3.14; its low 8 bits carry the watcher flags from 3.12 on). No public equivalent exists.
inline std::uint64_t dict_version_tag([[maybe_unused]] PyObject* dict) {
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    return 0;
#endif
}

// Whether a dict watcher (3.12+, anybody's) watches the dict: its callback runs Python code in the
// middle of a mutation, before the new tag is set, so a tag read after one's own write no longer
// proves that only that write happened. Only meaningful where dict_version_tag is non-zero.
inline bool dict_is_watched([[maybe_unused]] PyObject* dict) {
#if QELO_TRICKS_FOR(QELO_PY312, QELO_PY314)
    return (dict_version_tag(dict) & 0xFF) != 0;
#else
    return false;
#endif
}

}  // namespace qelo::compat
