// Remembered values: what a call read from an object, kept for the next call, and trusted only
// while what it was read from is provably unchanged. Every cache of the package is built from the
// pieces below, and they tell "unchanged" in four ways only:
//
//   1. Dict stamps (Domain): a dict whose stamp is the same non-zero number at two moments was not
//      rebound in between. Each domain is one family of dicts (module namespaces and tables, node
//      dicts, adapter dicts) with one watcher of its own per interpreter and one count.
//   2. Class versions (ClassVersion): what was decided about a class holds while it is the same
//      class with the same non-zero version.
//   3. Identity (Held, and pointers compared while a stamp keeps them alive): the same object, not
//      an equal one.
//   4. Content checks: a fact computed from a dict's contents (a table holds what the import put
//      there), kept in a Memo under that dict's stamp and computed again when the stamp moves.
//
// A Memo is the record itself: values read from one dict under one stamp, and under one exact
// class when the values are an instance's fields. Whatever a build cannot stamp (no watcher slot
// free, a portable 3.11 build) is simply not remembered: the callers read it every time.
#pragma once

#include "compat/config.hpp"
#include "compat/dict.hpp"
#include "compat/type.hpp"
#include "outcome.hpp"
#include "ref.hpp"
#include "watchers.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qelo::memo {

// ---------------------------------------------------------------------------------------------
// 1. Dict stamps

// How a domain's dicts are stamped in this build.
//  * kTags: each dict's own version tag (compat::dict_version_tag), set from a global counter at
//    every change; nothing to arm. A trick, 3.11 to 3.13.
//  * kWatcher: a dict watcher of the domain's own (public API, 3.12+, with the GIL: without it
//    another thread could rebind a key between a stamp and its use) counts every event of every
//    dict of the domain; one number then stands for all of them. The domain's classes may count
//    into it too (a type watcher), so that one number also says no class changed.
//  * kNone: no stamps; nothing of the domain is remembered.
enum class Route { kTags, kWatcher, kNone };

// Which route a domain takes when the build has both: tags where they exist (dicts that change at
// every call, whose watcher would run at every store), or the watcher (a family compared as one).
enum class Prefer { kTags, kWatcher };

constexpr Route route_for(Prefer prefer) {
    if (QELO_DICT_VERSION_TAGS && (prefer == Prefer::kTags || !QELO_DICT_WATCHERS)) return Route::kTags;
    if (QELO_DICT_WATCHERS) return Route::kWatcher;
    return Route::kNone;
}

// A family of dicts stamped together. `Tag` names it: `static constexpr const char kName[]` (the
// key of its watcher ids in the interpreter's dict) and `static constexpr Prefer kPrefer`. One
// Domain object lives in each module state; the count is this shared library's own (each extension
// has its own copy and registers its own watcher, found again by a re-import or a second module
// instance through the interpreter's dict).
template <class Tag>
class Domain {
public:
    static constexpr Route kRoute = route_for(Tag::kPrefer);

    // Registers the domain's dict watcher in this interpreter (and a type watcher when `classes`)
    // if it has none yet. True also when no slot is free (then nothing is stamped); false with an
    // exception set.
    bool open([[maybe_unused]] bool classes = false) {
        // Module state is zeroed memory, never constructed: 0 would name a watcher.
        dict_watcher_ = -1;
        type_watcher_ = -1;
#if QELO_DICT_WATCHERS
        if constexpr (kRoute == Route::kWatcher) {
            int id = -1;
            const int found = find_interpreter_watcher(Tag::kName, &on_dict_event, PyDict_AddWatcher, PyDict_ClearWatcher, id);
            if (found < 0) return false;
            dict_watcher_ = id;
            if (classes && id >= 0) {
                int type_id = -1;
                const int typed =
                    find_interpreter_watcher(Tag::kClassName, &on_class_event, PyType_AddWatcher, PyType_ClearWatcher, type_id);
                if (typed < 0) return false;
                type_watcher_ = type_id;
            }
        }
#endif
        return true;
    }

    // Whether this domain stamps anything at all here.
    bool stamped() const {
        if constexpr (kRoute == Route::kTags) return true;
        if constexpr (kRoute == Route::kWatcher) return dict_watcher_ >= 0;
        return false;
    }

    // Puts `dict` in the domain: its stamps can be trusted from now on. False (no exception) when
    // they cannot; the caller then remembers nothing read from it.
    bool watch([[maybe_unused]] PyObject* dict) const {
        if constexpr (kRoute == Route::kTags) return true;
#if QELO_DICT_WATCHERS
        if constexpr (kRoute == Route::kWatcher) {
            if (dict_watcher_ < 0) return false;
            if (PyDict_Watch(dict_watcher_, dict) < 0) {
                PyErr_Clear();
                return false;
            }
            return true;
        }
#endif
        return false;
    }

    // Takes `dict` out of the domain: its later events are no change of anything remembered.
    void unwatch([[maybe_unused]] PyObject* dict) const { unwatch(dict_watcher_, dict); }

    // A dict that one holder (an instance, for its own dict) put in the domain: held strongly, so
    // that its address cannot come back as another, unwatched dict's while the holder relies on
    // it, and with the watcher it went under, so that a holder freed late in finalization (its
    // module out of reach) can still take it out. All zero: none.
    struct Watched {
        PyObject* dict;  // strong, or null
        int watcher;

        [[gnu::always_inline]] bool is(PyObject* d) const { return dict == d; }
        // Takes the dict out of the domain; handed back to be dropped where code may run (dropping
        // a dict frees what it binds).
        Ref leave() {
            if (dict != nullptr) unwatch(watcher, dict);
            Ref out(dict);
            dict = nullptr;
            return out;
        }
    };

    // Puts `dict` in the domain as `held`'s dict, in place of the one it held, which is taken out
    // and handed back in `previous` (dropped by the caller once nothing refers to it). The count
    // moves: a dict newly watched may sit where a freed one, still remembered, did. False (no
    // exception) when `dict` cannot be watched; `held` is then unchanged. Only the watcher route
    // has anything to hold.
    bool watch(Watched& held, PyObject* dict, Ref& previous) const {
        if constexpr (kRoute != Route::kWatcher) return watch(dict);
        if (!watch(dict)) return false;
        previous = held.leave();
        held.dict = Ref::borrow(dict).release();
        held.watcher = dict_watcher_;
        touch();
        return true;
    }

    // Counts the changes of `type` into the domain (the watcher route, opened with classes). False
    // (no exception) when they cannot be: then the domain's count says nothing about the class.
    bool watch_class([[maybe_unused]] PyTypeObject* type) const {
#if QELO_DICT_WATCHERS
        if constexpr (kRoute == Route::kWatcher) {
            if (type_watcher_ < 0) return false;
            if (PyType_Watch(type_watcher_, reinterpret_cast<PyObject*>(type)) < 0) {
                PyErr_Clear();
                return false;
            }
            return true;
        }
#endif
        return false;
    }

    // The stamp of `dict`, which watch() accepted: equal non-zero stamps at two moments mean it was
    // not rebound in between (a stamp may also move without a change of it). 0: cannot tell.
    [[gnu::always_inline]] std::uint64_t stamp([[maybe_unused]] PyObject* dict) const {
        if constexpr (kRoute == Route::kTags) return compat::dict_version_tag(dict);
        if constexpr (kRoute == Route::kWatcher) return dict_watcher_ >= 0 ? count() : 0;
        return 0;
    }

    // stamp(dict) where no watcher is involved (the tags route; 0 without stamps): no Domain object
    // needed.
    [[gnu::always_inline]] static std::uint64_t stamp_of([[maybe_unused]] PyObject* dict)
        requires(kRoute != Route::kWatcher)
    {
        if constexpr (kRoute == Route::kTags) return compat::dict_version_tag(dict);
        return 0;
    }

    // One stamp for two dicts of the domain (a name bound in one, looked up in the other): equal
    // non-zero stamps mean neither was rebound. Tags come from one counter that grows at every
    // change of any dict, so their sum (3.11) or the larger (whose flag bits may go down) moves
    // whenever either dict changes.
    [[gnu::always_inline]] std::uint64_t stamp(PyObject* first, PyObject* second) const {
        if constexpr (kRoute == Route::kTags) {
            const std::uint64_t a = compat::dict_version_tag(first), b = compat::dict_version_tag(second);
#if PY_VERSION_HEX < QELO_PY312
            return a + b;  // a real dict's tag is never 0, and 3.11's never go down
#else
            return a > b ? a : b;  // from 3.12 the low bits are watcher flags, which unwatching clears
#endif
        }
        return stamp(first);
    }

    // The watcher route's count itself: one number for every dict (and watched class) of the domain.
    [[gnu::always_inline]] static std::uint64_t count() { return count_.load(std::memory_order_relaxed); }

    // A change the watchers do not see (an instance given another dict): moves the count.
    static void touch() { count_.fetch_add(1, std::memory_order_relaxed); }

    // The domain's dict watcher (-1: none), which in-place changes of its own dicts may ignore.
    int watcher() const { return dict_watcher_; }

    // Whether a store into `dict` (in the domain) is followed by its stamp: the tag read after it
    // proves that only that store happened when no watcher runs code amid the store.
    static bool stores_followed([[maybe_unused]] PyObject* dict) {
        if constexpr (kRoute == Route::kTags) return !compat::dict_is_watched(dict);
        return true;
    }

    // Memos of the domain filled again (note_refill): what was not possible under an older number
    // may be tried again once it moved.
    void note_refill() { ++refills_; }
    std::uint64_t refills() const { return refills_; }

private:
    static void unwatch([[maybe_unused]] int watcher, [[maybe_unused]] PyObject* dict) {
#if QELO_DICT_WATCHERS
        if constexpr (kRoute == Route::kWatcher) {
            if (watcher >= 0 && PyDict_Unwatch(watcher, dict) < 0) PyErr_Clear();
        }
#endif
    }

#if QELO_DICT_WATCHERS
    static int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
        touch();
        return 0;
    }
    static int on_class_event(PyTypeObject*) {
        touch();
        return 0;
    }
#endif

    // Starts at 1 so that 0 stays "no stamp".
    static inline std::atomic<std::uint64_t> count_{1};
    int dict_watcher_ = -1;
    int type_watcher_ = -1;
    std::uint64_t refills_ = 0;
};

// The domains. Each extension that uses one has its own copy of its count and its own watchers.
struct Namespaces {  // module namespaces, lookup tables, modules whose names are resolved at call time
    static constexpr const char kName[] = "qelo.memo.namespaces";
    static constexpr const char kClassName[] = "qelo.memo.namespaces.classes";
    static constexpr Prefer kPrefer = Prefer::kWatcher;
};
struct NodeDicts {  // instance dicts of expression nodes, and the node classes
    static constexpr const char kName[] = "qelo.memo.node_dicts";
    static constexpr const char kClassName[] = "qelo.memo.node_classes";
    static constexpr Prefer kPrefer = Prefer::kWatcher;
};
struct AdapterDicts {  // instance dicts of stream adapters, rebound at every read and write
    static constexpr const char kName[] = "qelo.memo.adapter_dicts";
    static constexpr const char kClassName[] = "qelo.memo.adapter_classes";
    static constexpr Prefer kPrefer = Prefer::kTags;
};

// ---------------------------------------------------------------------------------------------
// The record

// Values read from `dict` under its stamp `stamp` (and, for an instance's fields, while the
// instance has the exact class `type`), one per index below N; `known` tells which were read.
// Borrowed values are alive while the stamp holds: the dict still binds them. Derived values (a
// fact computed from the dict, an object made from what it binds) are kept as T.
//
// All zero is the empty record, so that it may live in memory the interpreter allocated.
template <typename T, std::size_t N>
struct Memo {
    static_assert(N <= 32, "one bit of `known` per value");

    PyObject* dict;       // compared only
    PyTypeObject* type;   // compared only; null when the values are not an instance's
    std::uint64_t stamp;  // 0: nothing remembered
    std::uint32_t known;
    std::array<T, N> values;

    static constexpr std::uint32_t bit(std::size_t i) { return std::uint32_t{1} << i; }

    // Whether what was read from `d` at stamp `now` is what the record holds. (`now` is tested,
    // not `stamp`: a caller that has tested it already then pays for no second test.)
    [[gnu::always_inline]] bool current(PyObject* d, std::uint64_t now) const {
        return stamp == now && now != 0 && dict == d;
    }
    // Whether what was read from `d` (in `domain`) is what the record holds; `d` is stamped only
    // once it is known to be the record's dict (it may be null).
    template <class Domain>
    [[gnu::always_inline]] bool current_in(const Domain& domain, PyObject* d) const {
        return stamp != 0 && dict == d && stamp == domain.stamp(d);
    }
    // The same for an instance's fields, read while it had the exact class `t`.
    template <class Domain>
    [[gnu::always_inline]] bool current_in(const Domain& domain, PyObject* d, PyTypeObject* t) const {
        return stamp != 0 && dict == d && type == t && stamp == domain.stamp(d);
    }
    [[gnu::always_inline]] bool holds(std::uint32_t bits) const { return (known & bits) == bits; }

    // Starts again for `d` at stamp `now` (0: remember nothing), read under class `t`.
    void renew(PyObject* d, std::uint64_t now, PyTypeObject* t = nullptr) {
        dict = d;
        type = t;
        stamp = now;
        known = 0;
    }
    // Starts again with the first `n` values read all together.
    template <class Source>
    [[gnu::always_inline]] void fill(PyObject* d, std::uint64_t now, PyTypeObject* t, const Source& source, std::size_t n) {
        dict = d;
        type = t;
        stamp = now;
        for (std::size_t i = 0; i < n; ++i) values[i] = source[i];
        known = (std::uint32_t{1} << n) - 1;
    }
    void put(std::size_t i, T value) {
        values[i] = static_cast<T&&>(value);
        known |= bit(i);
    }
    // The record follows a store of its own into the dict: the dict now binds `value` under index i
    // and its stamp is `now`.
    void follow(std::size_t i, T value, std::uint64_t now) {
        stamp = now;
        put(i, static_cast<T&&>(value));
    }
    void forget() { stamp = 0; }
};

// ---------------------------------------------------------------------------------------------
// 2. Class versions

// What was decided about a class, valid while it is that class with the same non-zero version
// (compat::type_version: any change to it or to a base gives it another; versions are never given
// twice, so a freed class's number cannot come back with another class at its address). A build
// without versions decides every time.
struct ClassVersion {
    PyTypeObject* type;    // compared only; null: nothing decided
    unsigned int version;  // never 0 while `type` is set

    // The version of `t` now, to be taken before a decision about it is made.
    [[gnu::always_inline]] static unsigned int of(PyTypeObject* t) { return compat::type_version(t); }

    [[gnu::always_inline]] bool holds(PyTypeObject* t) const { return t == type && of(t) == version; }
    // Records the decision for `t`, made under `taken`, its version read before the decision was
    // (a change meanwhile gives the class another; 0 records nothing).
    void record(PyTypeObject* t, unsigned int taken) {
        type = taken != 0 ? t : nullptr;
        version = taken;
    }
    void forget() { type = nullptr; }
};

// ---------------------------------------------------------------------------------------------
// 3. Identity

// An object held so that its address names it alone while held: "the same object" is then a
// pointer comparison, never an equality test. Not for objects that could be part of a cycle through
// their holder; module state traverses `ref`.
struct Held {
    PyObject* ref;  // strong, or null

    [[gnu::always_inline]] bool is(PyObject* obj) const { return ref == obj && obj != nullptr; }
    void hold(PyObject* obj) {
        Py_XINCREF(obj);
        Py_XSETREF(ref, obj);
    }
    void clear() { Py_CLEAR(ref); }
};

}  // namespace qelo::memo
