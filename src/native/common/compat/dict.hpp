// What a dict's version tag tells (3.11-3.13): the raw material of the dict stamps that
// common/memo.hpp builds every cache on.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

#include <cstdint>

namespace qelo::compat {

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
