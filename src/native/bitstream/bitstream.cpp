// qelo.lib.bitstream: RestreamedBytesIO (units through a decoder/encoder pair) and
// RebufferedBytesIO (a seekable read-back window over a forward-only stream).
//
// Both classes keep their state in the instance dictionary and read/write it by name at every
// use, so subclasses, properties and callbacks that replace attributes mid-call are honoured.
// Speed comes from guarded shortcuts that give the same results:
//  * a "plain" instance (generic attribute access, exact dict, no class attribute shadowing a
//    state name) has its state read and written straight in its dict;
//  * a byte buffer held only by that dict is grown or trimmed in place (realloc) instead of being
//    copied whole; the window is grown with spare room behind its visible end, which later polls
//    fill without reallocating, so reading a long stream stays linear;
//  * each instance remembers what its dict binds to the state names (StateCache) until the dict's
//    version tag changes, and its own writes keep that memory valid, so a small read does no dict
//    lookups; an int or a small buffer that only the dict holds is updated in place instead of
//    being replaced;
//  * RestreamedBytesIO reading from an exact io.BytesIO through `bytes` or qelo.lib.binary's own
//    bytes2bits does the decoder rounds a request needs in one read and one conversion.

#include "args.hpp"
#include "binarykernels.hpp"
#include "dictversion.hpp"
#include "members.hpp"
#include "namespace.hpp"
#include "ref.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using qelo::Ref;

// ---------------------------------------------------------------------------------------------
// Module state

enum Name : std::size_t {
    // state names of RestreamedBytesIO
    kSubstream,
    kEncoder,
    kEncoderunit,
    kDecoder,
    kDecoderunit,
    kRbuffer,
    kWbuffer,
    kSincereadwritten,
    // state names of RebufferedBytesIO (substream shared with the above)
    kOffset,
    kRwbuffer,
    kMoved,
    kTailcutoff,
    // other names
    kRead,
    kWrite,
    kSleep,
    kBlockingIOError,
    kKernels,
    kNameCount
};

constexpr std::array<const char*, kNameCount> kNameTexts = {
    "substream", "encoder",  "encoderunit", "decoder", "decoderunit", "rbuffer", "wbuffer", "sincereadwritten",
    "offset",    "rwbuffer", "moved",       "tailcutoff", "read",     "write",   "sleep",   "BlockingIOError",
    "_kernels",
};

constexpr Py_ssize_t kPollSize = 131072;

enum Kind : int { kRestreamed = 0, kRebuffered = 1 };

// The last type found to be plain, per class, identified by its version tag (which changes when
// the type or one of its bases is modified).
struct PlainCache {
    PyObject* type;  // strong, so the pointer cannot be reused by another type
    unsigned int tag;
};

struct ModuleState {
    qelo::NameTable<kNameCount> names;
    PyObject* restreamed_type;
    PyObject* rebuffered_type;
    PyObject* zero;
    PyObject* one;
    PyObject* poll_size;
    PlainCache plain[2];
    // io.BytesIO, when it is the interpreter's own immutable C class with its C read (else null),
    // and that read's method descriptor.
    PyObject* bytesio_type;
    PyObject* bytesio_read;
    PyObject* bytesio_write;
};

extern PyModuleDef bitstream_module;

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// ---------------------------------------------------------------------------------------------
// Instances: a dict and a weak reference list, like an ordinary Python object.

constexpr std::size_t kStateNameCount = kTailcutoff + 1;

// What a plain instance's dict binds to its state names, as far as looked up since the dict last
// changed. While the dict is the same object with the same version tag (dictversion.hpp), the
// same objects are bound, so the borrowed pointers are alive. Any other writer (user code, a
// subclass, a callback) changes the tag and the next use starts over with lookups. Trusted only
// while every key of the dict is an exact str: then looking up or storing a state name runs no
// Python code, so nothing can change the dict between a write and the reading of its new tag.
struct StateCache {
    PyObject* dict;          // borrowed; only compared with the live dict
    std::uint64_t version;   // 0: nothing remembered
    std::uint32_t known;     // bit per state name: values[name] is what the dict binds to it
    std::array<PyObject*, kStateNameCount> values;  // borrowed; null: the name is not bound
};

constexpr std::uint32_t bit_of(Name name) { return std::uint32_t{1} << name; }

// The window bytes object this instance last grew with spare room behind its visible end (an
// exact bytes object; its allocation holds `capacity` bytes). The strong reference keeps its address
// from being reused by another object, so identity with what the dict binds proves it is the same
// object; the reference count then tells whether anybody besides the dict and this record holds it.
struct GrownWindow {
    PyObject* bytes;  // strong, or null
    Py_ssize_t capacity;
};

struct Instance {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    StateCache cache;
    GrownWindow grown;
};

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    Py_VISIT(reinterpret_cast<Instance*>(self)->grown.bytes);
    return 0;
}

// Releasing a bytes object runs no Python code.
void forget_grown(PyObject* self) { Py_CLEAR(reinterpret_cast<Instance*>(self)->grown.bytes); }

int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    forget_grown(self);
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    instance_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef instance_members[] = {
    {"__dictoffset__", QELO_T_PYSSIZET, offsetof(Instance, dict), QELO_READONLY, nullptr},
    {"__weaklistoffset__", QELO_T_PYSSIZET, offsetof(Instance, weakrefs), QELO_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Attribute access by name, at every use.

class Attrs {
public:
    Attrs(ModuleState* st, PyObject* self, Kind kind) : st_(st), self_(self), kind_(kind) {}

    PyObject* self() const { return self_; }
    ModuleState* state() const { return st_; }

    Ref get(Name name) const {
        PyObject* key = st_->names[name];
        if (PyObject* dict = plain_dict()) {
            PyObject* found = lookup(dict, name);
            if (found != nullptr) return Ref::borrow(found);
            if (PyErr_Occurred()) return Ref();
        }
        return Ref(PyObject_GetAttr(self_, key));
    }

    bool set(Name name, PyObject* value) const {
        PyObject* key = st_->names[name];
        // A replaced window is not kept alive by its growth record.
        if (name == kRwbuffer && value != grown().bytes) forget_grown(self_);
        if (PyObject* dict = plain_dict()) return store(dict, name, value);
        return PyObject_SetAttr(self_, key, value) == 0;
    }

    // dict[name] of the plain dict `dict` (borrowed; null when missing or on error).
    PyObject* lookup(PyObject* dict, Name name) const { return lookup(dict, cache_for(dict), name); }

    // The same with the cache already at hand (cache_for(dict), not invalidated since).
    PyObject* lookup(PyObject* dict, StateCache* cache, Name name) const {
        if (cache != nullptr && (cache->known & bit_of(name)) != 0) return cache->values[name];
        PyObject* found = PyDict_GetItemWithError(dict, st_->names[name]);
        if (cache != nullptr && !PyErr_Occurred()) {
            cache->values[name] = found;
            cache->known |= bit_of(name);
        }
        return found;
    }

    // dict[name] = value on the plain dict `dict`, keeping the cache valid.
    bool store(PyObject* dict, Name name, PyObject* value) const {
        PyObject* key = st_->names[name];
        StateCache* cache = cache_for(dict);
        if (cache == nullptr) return PyDict_SetItem(dict, key, value) == 0;
        // The replaced value is released only after the new tag has been read: its release may run
        // code (a finalizer) that changes the dict.
        Ref replaced = Ref::borrow(lookup(dict, name));
        if (PyDict_SetItem(dict, key, value) < 0) {
            cache->version = 0;
            return false;
        }
        cache->version = qelo::dict_version(dict);
        cache->values[name] = value;
        cache->known |= bit_of(name);
        return true;
    }

    // The cache of the plain dict `dict`, emptied if the dict changed since it was filled; null when
    // it cannot be trusted.
    StateCache* cache_for(PyObject* dict) const {
        StateCache& cache = reinterpret_cast<Instance*>(self_)->cache;
        const std::uint64_t now = qelo::dict_version(dict);
        if (cache.dict == dict && cache.version == now && now != 0) return &cache;
        cache.version = 0;
#ifdef Py_GIL_DISABLED
        return nullptr;  // another thread could change the dict between a check and a use
#endif
        if (now == 0 || qelo::dict_is_watched(dict) || !keys_are_exact_strings(dict)) return nullptr;
        cache.dict = dict;
        cache.version = now;
        cache.known = 0;
        return &cache;
    }

    // When `held` is an exact bytes object that only the instance dict (under `name`) and `held`
    // reference, binds None to the name in its place so that `held` is its only reference, and
    // returns true. The caller then owns it exclusively and must store it (or what replaces it)
    // back with set() before any Python code runs. Replacing the value of a key the dict holds never
    // allocates, so neither does storing it back: a failure in between can always restore it.
    bool take_unshared_bytes(Name name, const Ref& held) const {
        PyObject* obj = held.get();
        if (!PyBytes_CheckExact(obj) || Py_REFCNT(obj) != 2) return false;
        PyObject* dict = plain_dict();
        // A watcher would see the placeholder (and could run code while it is there).
        if (dict == nullptr || qelo::dict_is_watched(dict)) return false;
        if (lookup(dict, name) != obj) {
            PyErr_Clear();
            return false;
        }
        // `held` keeps the replaced value alive, so nothing runs during the replacement.
        if (!store(dict, name, Py_None)) {
            PyErr_Clear();
            return false;
        }
        return Py_REFCNT(obj) == 1;
    }

    GrownWindow& grown() const { return reinterpret_cast<Instance*>(self_)->grown; }

    // The instance dict when attribute access on self is provably a plain dict access for every
    // state name; null otherwise (then the generic protocol is used).
    PyObject* plain_dict() const {
        PyTypeObject* type = Py_TYPE(self_);
        if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) {
            return nullptr;
        }
        if (type->tp_dictoffset != static_cast<Py_ssize_t>(offsetof(Instance, dict))) return nullptr;
        PyObject* dict = reinterpret_cast<Instance*>(self_)->dict;
        if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
        PlainCache& cache = st_->plain[kind_];
        if (cache.type == reinterpret_cast<PyObject*>(type) && cache.tag != 0 && type->tp_version_tag == cache.tag) {
            return dict;
        }
        for (std::size_t i = kSubstream; i <= kTailcutoff; ++i) {
            if (_PyType_Lookup(type, st_->names[i]) != nullptr) return nullptr;
        }
        Py_INCREF(type);
        Py_XSETREF(cache.type, reinterpret_cast<PyObject*>(type));
        cache.tag = type->tp_version_tag;
        return dict;
    }

private:
    // Few enough keys to check at each refill, all exact str (their lookups run no Python code).
    static bool keys_are_exact_strings(PyObject* dict) {
        if (PyDict_GET_SIZE(dict) > 64) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
        }
        return true;
    }

    ModuleState* st_;
    PyObject* self_;
    Kind kind_;
};

// ---------------------------------------------------------------------------------------------
// Small Python-level operations with shortcuts that give the interpreter's own results.

Ref call1(PyObject* callable, PyObject* arg) { return Ref(PyObject_CallOneArg(callable, arg)); }

Ref add(PyObject* a, PyObject* b) { return Ref(PyNumber_Add(a, b)); }
Ref subtract(PyObject* a, PyObject* b) { return Ref(PyNumber_Subtract(a, b)); }

// a < b etc.: 1, 0, or -1 with an exception.
int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }

Ref length_of(PyObject* obj) {
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) return Ref();
    return Ref(PyLong_FromSsize_t(n));
}

// seq[start:stop], either bound may be null (omitted).
Ref slice(PyObject* seq, PyObject* start, PyObject* stop) {
    const bool int_bounds =
        (start == nullptr || PyLong_CheckExact(start)) && (stop == nullptr || PyLong_CheckExact(stop));
    if (PyBytes_CheckExact(seq) && int_bounds) {
        const Py_ssize_t size = PyBytes_GET_SIZE(seq);
        // Slice bounds clip on overflow, as the interpreter's slice indexes do.
        Py_ssize_t lo = start == nullptr ? 0 : PyNumber_AsSsize_t(start, nullptr);
        Py_ssize_t hi = stop == nullptr ? PY_SSIZE_T_MAX : PyNumber_AsSsize_t(stop, nullptr);
        PySlice_AdjustIndices(size, &lo, &hi, 1);
        if (lo == 0 && hi == size) return Ref::borrow(seq);
        return Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(seq) + lo, hi > lo ? hi - lo : 0));
    }
    Ref bounds(PySlice_New(start, stop, nullptr));
    if (!bounds) return Ref();
    return Ref(PyObject_GetItem(seq, bounds.get()));
}

// An object that only the instance dict references (reference count 1, so not a shared small
// int, an interned or an immortal object) can be changed in place: nobody else can see the
// change, and the dict keeps the same object, so its version tag stays valid. Not for a watched
// dict (3.12+): its watchers are told of every change of a value. Without a GIL another thread
// could be reading the object through the dict, so nothing is changed in place.
#ifdef Py_GIL_DISABLED
constexpr bool kMayChangeInPlace = false;
#else
constexpr bool kMayChangeInPlace = true;
#endif

// Gives the exact bytes `obj` the visible length `size` (at most its allocation): its terminating
// NUL and (reset) cached hash are those of the value it now holds.
void set_bytes_length(PyObject* obj, Py_ssize_t size) {
    PyBytes_AS_STRING(obj)[size] = '\0';
    Py_SET_SIZE(obj, size);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(obj)->ob_shash = -1;
#pragma GCC diagnostic pop
}

// Gives the exact bytes object `buffer`, whose only reference it is, an allocation of `capacity`
// bytes; the bytes up to `capacity` stay, and the caller sets the length (set_bytes_length).
// realloc extends a large block in place or remaps its pages. Unlike _PyBytes_Resize, which frees
// the object when the reallocation fails, a failure leaves `buffer` as it was (MemoryError set,
// false returned).
bool reallocate_bytes(Ref& buffer, Py_ssize_t capacity) {
    constexpr Py_ssize_t kHeader = static_cast<Py_ssize_t>(offsetof(PyBytesObject, ob_sval)) + 1;
    if (capacity > PY_SSIZE_T_MAX - kHeader) {
        PyErr_NoMemory();
        return false;
    }
#if defined(Py_TRACE_REFS) || defined(Py_REF_DEBUG) || defined(Py_GIL_DISABLED)
    // These builds keep books on every object that only the interpreter's own resize updates.
    constexpr bool kBookkept = true;
#elif PY_VERSION_HEX >= 0x030D0000
    // A reference tracer is told of every object created and destroyed: a moved block is both.
    void* tracer_data = nullptr;
    const bool kBookkept = PyRefTracer_GetTracer(&tracer_data) != nullptr;
#else
    constexpr bool kBookkept = false;
#endif
    if (kBookkept) {
        const Py_ssize_t size = std::min(PyBytes_GET_SIZE(buffer.get()), capacity);
        Ref copy(PyBytes_FromStringAndSize(nullptr, capacity));
        if (!copy) return false;
        std::memcpy(PyBytes_AS_STRING(copy.get()), PyBytes_AS_STRING(buffer.get()), static_cast<size_t>(size));
        set_bytes_length(copy.get(), size);
        buffer = std::move(copy);
        return true;
    }
    // The block moves whole: reference count (1), type, length and cached hash come along.
    void* moved = PyObject_Realloc(buffer.get(), static_cast<size_t>(kHeader + capacity));
    if (moved == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    (void)buffer.release();  // the old address is no longer an object
    buffer = Ref(static_cast<PyObject*>(moved));
    return true;
}

// Appends `tail` (exact bytes) to `buffer`, which must be an exact bytes object whose only
// reference is `buffer`, reallocating it to hold `capacity` bytes (at least the joined size) of
// which the joined value is visible. On failure `buffer` is unchanged.
bool append_in_place(Ref& buffer, PyObject* tail, Py_ssize_t capacity) {
    const Py_ssize_t old_size = PyBytes_GET_SIZE(buffer.get());
    const Py_ssize_t extra = PyBytes_GET_SIZE(tail);
    if (!reallocate_bytes(buffer, capacity)) return false;
    std::memcpy(PyBytes_AS_STRING(buffer.get()) + old_size, PyBytes_AS_STRING(tail), static_cast<size_t>(extra));
    set_bytes_length(buffer.get(), old_size + extra);
    return true;
}

// self.<name> = value after a failure with the exception kept (an unshared buffer taken out of the
// dict goes back unchanged).
bool restore_after_failure(const Attrs& self, Name name, PyObject* value) {
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    Ref held_type(type), held_error(error), held_traceback(traceback);
    if (!self.set(name, value)) return false;
    PyErr_Restore(held_type.release(), held_error.release(), held_traceback.release());
    return false;
}

// Room for the window to grow into: remapping the whole allocation at every poll would make reading
// a long stream quadratic, growing it by half its size each time keeps that linear.
Py_ssize_t grown_capacity(Py_ssize_t needed) {
    const Py_ssize_t room = needed / 2;
    return needed > PY_SSIZE_T_MAX - 64 - room ? needed : needed + room;
}

// Appends `tail` to the window `window` by copying it into the spare room of the allocation, when
// the window is the object this instance grew, the plain dict binds it, nobody else holds it
// (the dict, the growth record and `window`), and the room suffices. Nothing else changes: the dict
// binds the same object, so its version tag (and the state cache) stay valid.
bool append_within_capacity(const Attrs& self, PyObject* window, PyObject* tail) {
    GrownWindow& grown = self.grown();
    if (!kMayChangeInPlace || grown.bytes == nullptr || window != grown.bytes || !PyBytes_CheckExact(tail) ||
        Py_REFCNT(window) != 3) {
        return false;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(window);
    const Py_ssize_t extra = PyBytes_GET_SIZE(tail);
    if (extra > grown.capacity - size) return false;
    PyObject* dict = self.plain_dict();
    if (dict == nullptr || qelo::dict_is_watched(dict)) return false;
    if (self.lookup(dict, kRwbuffer) != window) {
        PyErr_Clear();
        return false;
    }
    std::memcpy(PyBytes_AS_STRING(window) + size, PyBytes_AS_STRING(tail), static_cast<size_t>(extra));
    set_bytes_length(window, size + extra);
    return true;
}

// Below this size a copy is cheaper than taking the buffer out of the dict and putting it back.
constexpr Py_ssize_t kInPlaceMinimum = 4096;

bool fits_in_place(PyObject* buffer, PyObject* tail) {
    return PyBytes_CheckExact(buffer) && PyBytes_CheckExact(tail) && PyBytes_GET_SIZE(tail) > 0 &&
           PyBytes_GET_SIZE(buffer) >= kInPlaceMinimum &&
           PyBytes_GET_SIZE(tail) <= PY_SSIZE_T_MAX - PyBytes_GET_SIZE(buffer) - 64;
}

// a + b; two exact bytes objects are joined directly, with the interpreter's own results (an
// empty side gives the other object itself).
Ref concatenate(PyObject* a, PyObject* b) {
    if (!PyBytes_CheckExact(a) || !PyBytes_CheckExact(b)) return add(a, b);
    const Py_ssize_t left = PyBytes_GET_SIZE(a);
    const Py_ssize_t right = PyBytes_GET_SIZE(b);
    if (left == 0) return Ref::borrow(b);
    if (right == 0) return Ref::borrow(a);
    if (right > PY_SSIZE_T_MAX - left) return add(a, b);  // the interpreter's error
    Ref joined(PyBytes_FromStringAndSize(nullptr, left + right));
    if (!joined) return Ref();
    char* out = PyBytes_AS_STRING(joined.get());
    std::memcpy(out, PyBytes_AS_STRING(a), static_cast<size_t>(left));
    std::memcpy(out + left, PyBytes_AS_STRING(b), static_cast<size_t>(right));
    return joined;
}

// self.<name> = self.<name> + tail, where `current` is the value already read from self.<name>.
bool store_concatenation(const Attrs& self, Name name, Ref current, PyObject* tail) {
    const bool window = name == kRwbuffer;
    if (window) {
        if (fits_in_place(current.get(), tail) && append_within_capacity(self, current.get(), tail)) return true;
        // Whatever happens next, the record must not count as a holder of the current window.
        forget_grown(self.self());
    }
    if (fits_in_place(current.get(), tail) && self.take_unshared_bytes(name, current)) {
        const Py_ssize_t needed = PyBytes_GET_SIZE(current.get()) + PyBytes_GET_SIZE(tail);
        const Py_ssize_t capacity = window && kMayChangeInPlace ? grown_capacity(needed) : needed;
        if (!append_in_place(current, tail, capacity)) return restore_after_failure(self, name, current.get());
        if (!self.set(name, current.get())) return false;
        if (capacity > needed) {
            GrownWindow& grown = self.grown();
            Py_INCREF(current.get());
            Py_XSETREF(grown.bytes, current.get());
            grown.capacity = capacity;
        }
        return true;
    }
    Ref joined = concatenate(current.get(), tail);
    if (!joined) return false;
    return self.set(name, joined.get());
}

// self.<name> = self.<name>[removed:], trimming in place when the buffer is unshared.
bool store_tail(const Attrs& self, Name name, PyObject* removed) {
    // The trimmed window is reallocated to its exact size (or replaced): it has no spare room left.
    if (name == kRwbuffer) forget_grown(self.self());
    Ref current = self.get(name);
    if (!current) return false;
    if (PyLong_CheckExact(removed) && PyBytes_CheckExact(current.get())) {
        const Py_ssize_t size = PyBytes_GET_SIZE(current.get());
        const Py_ssize_t drop = PyNumber_AsSsize_t(removed, nullptr);
        if (drop > 0 && drop < size && self.take_unshared_bytes(name, current)) {
            char* bytes = PyBytes_AS_STRING(current.get());
            std::memmove(bytes, bytes + drop, static_cast<size_t>(size - drop));
            // Giving the dropped room back is optional: if even that fails, the object keeps it.
            if (!reallocate_bytes(current, size - drop)) PyErr_Clear();
            set_bytes_length(current.get(), size - drop);
            return self.set(name, current.get());
        }
    }
    Ref kept = slice(current.get(), removed, nullptr);
    if (!kept) return false;
    return self.set(name, kept.get());
}

// self.<name> = self.<name> + amount
bool increment(const Attrs& self, Name name, PyObject* amount) {
    Ref current = self.get(name);
    if (!current) return false;
    Ref sum = add(current.get(), amount);
    if (!sum) return false;
    return self.set(name, sum.get());
}

Ref empty_bytes() { return Ref(PyBytes_FromStringAndSize(nullptr, 0)); }

// Module namespace (then builtins) at call time.
Ref module_global(PyTypeObject* cls, PyObject* name) {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) return Ref();
    PyObject* dict = PyModule_GetDict(module);
    return qelo::lookup_global(dict, name);
}

// ---------------------------------------------------------------------------------------------
// Argument handling for __init__ (tp_init gets a tuple and a dict).

template <std::size_t N>
bool parse_init(const qelo::Signature& sig, PyObject* args, PyObject* kwargs, std::array<PyObject*, N>& out) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    Ref flat(PyTuple_New(npos + nkw));
    if (!flat) return false;
    for (Py_ssize_t i = 0; i < npos; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(flat.get(), i, item);
    }
    Ref kwnames;
    if (nkw > 0) {
        kwnames = Ref(PyTuple_New(nkw));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            Py_INCREF(value);
            PyTuple_SET_ITEM(flat.get(), npos + k, value);
            ++k;
        }
    }
    PyObject** items = &PyTuple_GET_ITEM(flat.get(), 0);
    if (!qelo::parse_args(sig, items, npos, kwnames.get(), out.data())) return false;
    // The parsed pointers borrow from `flat`; keep them alive through the caller's work.
    for (PyObject* item : out) Py_XINCREF(item);
    return true;
}

template <std::size_t N>
void release_all(std::array<PyObject*, N>& items) {
    for (PyObject*& item : items) Py_CLEAR(item);
}

// A method's module state and the defining class (METH_METHOD).
ModuleState* cls_state(PyTypeObject* cls) { return static_cast<ModuleState*>(PyType_GetModuleState(cls)); }

// ---------------------------------------------------------------------------------------------
// Shortcuts for plain instances whose state has the types the classes themselves store (exact
// ints and bytes). Nothing in them runs Python code, so reading each attribute once gives what
// reading it at every use would; when a precondition fails they change nothing and report
// kNotHandled, and the caller takes the general path.

constexpr int kNotHandled = 1;

// `value` as a Py_ssize_t when it is an exact int in range.
bool index_of(PyObject* value, Py_ssize_t* out) {
    if (value == nullptr || !PyLong_CheckExact(value)) return false;
    // Single-digit ints are read directly.
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(number)) {
        *out = PyUnstable_Long_CompactValue(number);
        return true;
    }
#else
    const Py_ssize_t digits = Py_SIZE(value);
    if (digits >= -1 && digits <= 1) {
        *out = digits * static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || n > PY_SSIZE_T_MAX || n < PY_SSIZE_T_MIN) return false;
    *out = static_cast<Py_ssize_t>(n);
    return true;
}


constexpr Py_ssize_t kLargestCachedInt = 256;

// Gives the exact int `obj` the value `value` in place when only the dict holds it and both values
// are positive single-digit ints above the shared small ints. Ints cache no hash.
bool overwrite_unshared_int(PyObject* obj, Py_ssize_t value) {
    if (!kMayChangeInPlace || obj == nullptr || value <= kLargestCachedInt ||
        value > static_cast<Py_ssize_t>(PyLong_MASK) || !PyLong_CheckExact(obj) || Py_REFCNT(obj) != 1) {
        return false;
    }
    auto* number = reinterpret_cast<PyLongObject*>(obj);
#if PY_VERSION_HEX >= 0x030C0000
    if (number->long_value.lv_tag != (std::uintptr_t{1} << _PyLong_NON_SIZE_BITS)) return false;
    number->long_value.ob_digit[0] = static_cast<digit>(value);
#else
    if (Py_SIZE(obj) != 1) return false;
    number->ob_digit[0] = static_cast<digit>(value);
#endif
    return true;
}

// Above this size a dropped front is given back to the allocator (a new, exact object) rather than
// kept as unused room behind a shrunk one.
constexpr Py_ssize_t kShrinkInPlaceMaximum = 65536;

// Drops the first `drop` bytes of the exact bytes `obj` in place when only the dict holds it. The
// object keeps its allocation; its length, terminating NUL and (reset) cached hash are those of
// the shorter value.
bool drop_front_unshared_bytes(PyObject* obj, Py_ssize_t drop) {
    const Py_ssize_t size = PyBytes_GET_SIZE(obj);
    if (!kMayChangeInPlace || drop <= 0 || drop >= size || size > kShrinkInPlaceMaximum || Py_REFCNT(obj) != 1) {
        return false;
    }
    char* bytes = PyBytes_AS_STRING(obj);
    std::memmove(bytes, bytes + drop, static_cast<size_t>(size - drop));
    set_bytes_length(obj, size - drop);
    return true;
}

// dict[name] = value (an int) on the plain dict `dict`, in place when only the dict holds the old int.
bool store_index(const Attrs& self, PyObject* dict, Name name, Py_ssize_t value) {
    if (!qelo::dict_is_watched(dict) && overwrite_unshared_int(self.lookup(dict, name), value)) return true;
    PyErr_Clear();
    Ref number(PyLong_FromSsize_t(value));
    return number && self.store(dict, name, number.get());
}

// self.<name> = self.<name> + amount, with the sum of two exact ints stored through store_index.
bool add_to_counter(const Attrs& self, Name name, PyObject* amount) {
    Py_ssize_t step = 0, before = 0;
    PyObject* dict = self.plain_dict();
    if (dict != nullptr && index_of(amount, &step)) {
        PyObject* current = self.lookup(dict, name);
        if (index_of(current, &before) && !__builtin_add_overflow(before, step, &step)) {
            return store_index(self, dict, name, step);
        }
    }
    PyErr_Clear();
    return increment(self, name, amount);
}

// ---------------------------------------------------------------------------------------------
// RestreamedBytesIO

const char* const kRestreamedInitParams[] = {"substream", "decoder", "decoderunit", "encoder", "encoderunit"};
const qelo::Signature kRestreamedInitSig{"RestreamedBytesIO.__init__", kRestreamedInitParams, 5, 5, true};
const char* const kCountParam[] = {"count"};
const qelo::Signature kRestreamedReadSig{"RestreamedBytesIO.read", kCountParam, 1, 0, true};
const char* const kDataParam[] = {"data"};
const qelo::Signature kRestreamedWriteSig{"RestreamedBytesIO.write", kDataParam, 1, 1, true};
const char* const kSeekParams[] = {"at", "whence"};
const qelo::Signature kRestreamedSeekSig{"RestreamedBytesIO.seek", kSeekParams, 2, 1, true};

constexpr const char kEncoderunitMessage[] = "encoderunit must be at least 1";

// 1 when `unit` is refused as an encoder unit (below 1), 0 when accepted, -1 on error.
int refuses_encoderunit(ModuleState* st, PyObject* unit) {
    Py_ssize_t exact = 0;
    if (index_of(unit, &exact)) return exact < 1 ? 1 : 0;  // the comparison of exact ints runs no code
    return compare(unit, st->one, Py_LT);
}

// The current encoderunit, refused with ValueError when below 1 (the unit loop would not end).
Ref checked_encoderunit(const Attrs& self) {
    Ref unit = self.get(kEncoderunit);
    if (!unit) return Ref();
    const int refused = refuses_encoderunit(self.state(), unit.get());
    if (refused < 0) return Ref();
    if (refused) {
        PyErr_SetString(PyExc_ValueError, kEncoderunitMessage);
        return Ref();
    }
    return unit;
}

ModuleState* instance_state(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &bitstream_module);
    return module == nullptr ? nullptr : state_of(module);
}

int restreamed_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 5> a{};
    if (!parse_init(kRestreamedInitSig, args, kwargs, a)) return -1;
    struct Release {
        std::array<PyObject*, 5>& items;
        ~Release() { release_all(items); }
    } release{a};
    ModuleState* st = instance_state(self);
    if (st == nullptr) return -1;
    PyObject* substream = a[0];
    PyObject* decoder = a[1];
    PyObject* decoderunit = a[2];
    PyObject* encoder = a[3];
    PyObject* encoderunit = a[4];
    // A unit below 1 would make write loop forever; refuse it now. A unit that does not compare
    // with ints at all is left for write to report (a read-only instance never uses it).
    const int refused = refuses_encoderunit(st, encoderunit);
    if (refused < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
    } else if (refused) {
        PyErr_SetString(PyExc_ValueError, kEncoderunitMessage);
        return -1;
    }
    const Attrs attrs(st, self, kRestreamed);
    Ref empty = empty_bytes();
    if (!empty) return -1;
    const bool ok = attrs.set(kSubstream, substream) && attrs.set(kEncoder, encoder) &&
                    attrs.set(kEncoderunit, encoderunit) && attrs.set(kDecoder, decoder) &&
                    attrs.set(kDecoderunit, decoderunit) && attrs.set(kRbuffer, empty.get()) &&
                    attrs.set(kWbuffer, empty.get()) && attrs.set(kSincereadwritten, st->zero);
    return ok ? 0 : -1;
}

// self.substream.read(self.decoderunit)
Ref read_unit(const Attrs& self) {
    PyObject* read_name = self.state()->names[kRead];
    Ref substream = self.get(kSubstream);
    if (!substream) return Ref();
    if (PyObject* dict = self.plain_dict()) {
        // Reading decoderunit from the dict runs no code and cannot fail, so looking `read` up
        // after it is the same as before it, and the call needs no bound method object.
        Ref unit = Ref::borrow(self.lookup(dict, kDecoderunit));
        if (unit) {
            PyObject* args[] = {substream.get(), unit.get()};
            return Ref(PyObject_VectorcallMethod(read_name, args, 2, nullptr));
        }
        if (PyErr_Occurred()) return Ref();
    }
    Ref reader(PyObject_GetAttr(substream.get(), read_name));
    if (!reader) return Ref();
    Ref unit = self.get(kDecoderunit);
    if (!unit) return Ref();
    return call1(reader.get(), unit.get());
}

// Whether decoder(data) is data itself, with nothing else happening: bytes() of an exact bytes
// object returns that object (its __bytes__ is the C method that does so).
bool decodes_to_itself(PyObject* decoder, PyObject* data) {
    return decoder == reinterpret_cast<PyObject*>(&PyBytes_Type) && PyBytes_CheckExact(data);
}

// Reads one unit from the substream into rbuffer through the decoder. 1: decoded, 0: the
// substream had nothing (None or empty), -1: error.
int restreamed_fill_once(const Attrs& self) {
    Ref data = read_unit(self);
    if (!data) return -1;
    if (data.get() == Py_None) return 0;
    const Py_ssize_t size = PyObject_Size(data.get());
    if (size < 0) return -1;
    if (size == 0) return 0;
    Ref rbuffer = self.get(kRbuffer);
    if (!rbuffer) return -1;
    Ref decoder = self.get(kDecoder);
    if (!decoder) return -1;
    Ref decoded = decodes_to_itself(decoder.get(), data.get()) ? std::move(data) : call1(decoder.get(), data.get());
    if (!decoded) return -1;
    return store_concatenation(self, kRbuffer, std::move(rbuffer), decoded.get()) ? 1 : -1;
}

// Bulk decoding. When the substream is exactly io.BytesIO reading through its own C read, and the
// decoder is `bytes` or qelo.lib.binary's own bytes2bits taking its kernel, k rounds of
// "read(decoderunit), decode, append" run no Python code in between, and give what one
// read(k * decoderunit) decoded at once and appended gives: the same bytes leave the substream (it
// returns fewer only at its end, where the rounds would have read the same bytes as full units and
// one short unit), decoding is byte-wise (bytes: the identity on exact bytes), and the appends add
// up. So the rounds a request still needs are done in one.

enum Fill : int { kFillError = -1, kFillEnded = 0, kFillDecoded = 1, kFillNotHandled = 2 };

// Source bytes read in one bulk round at most (a bounded piece of work and memory).
constexpr Py_ssize_t kBulkSourceBytes = 65536;

enum class BulkDecoder { kNone, kIdentity, kBits };

// What the decoder does to exact bytes of about `work` bytes, as far as a bulk round may stand in.
BulkDecoder bulk_decoder_of(ModuleState* st, PyObject* decoder, Py_ssize_t work, const qelo::BinaryKernels** lent) {
    if (decoder == reinterpret_cast<PyObject*>(&PyBytes_Type)) return BulkDecoder::kIdentity;
    if (!Py_IS_TYPE(decoder, &PyCFunction_Type)) return BulkDecoder::kNone;
    PyObject* module = PyCFunction_GET_SELF(decoder);
    if (module == nullptr || !PyModule_CheckExact(module)) return BulkDecoder::kNone;
    // Found through the function itself, so qelo.lib.binary need not be imported here, and each
    // module object (one per interpreter) answers for its own functions.
    PyObject* capsule = PyDict_GetItemWithError(PyModule_GetDict(module), st->names[kKernels]);
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) {
        PyErr_Clear();
        return BulkDecoder::kNone;
    }
    const auto* kernels = static_cast<const qelo::BinaryKernels*>(PyCapsule_GetPointer(capsule, qelo::kBinaryKernelsCapsule));
    if (kernels == nullptr) {
        PyErr_Clear();
        return BulkDecoder::kNone;
    }
    // Rebinding a helper or the table of qelo.lib.binary takes bytes2bits off its kernel: asked anew
    // at every round.
    if (PyCFunction_GET_FUNCTION(decoder) != kernels->bytes2bits || kernels->bytes2bits_ready(module, work) != 1) {
        return BulkDecoder::kNone;
    }
    *lent = kernels;
    return BulkDecoder::kBits;
}

// Whether `substream` is exactly io.BytesIO with nothing in its own attribute dict (which could
// shadow read).
bool reads_as_bytesio(ModuleState* st, PyObject* substream) {
    if (st->bytesio_type == nullptr || Py_TYPE(substream) != reinterpret_cast<PyTypeObject*>(st->bytesio_type)) {
        return false;
    }
    PyObject* own = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(substream) + Py_TYPE(substream)->tp_dictoffset);
    return own == nullptr || (PyDict_Check(own) && PyDict_GET_SIZE(own) == 0);
}

// One bulk round of restreamed reading: `wanted` decoded bytes are still missing (-1: read until
// the substream ends).
Fill restreamed_fill_bulk(const Attrs& self, Py_ssize_t wanted) {
    ModuleState* st = self.state();
    PyObject* dict = self.plain_dict();
    if (dict == nullptr || st->bytesio_type == nullptr) return kFillNotHandled;
    StateCache* cache = self.cache_for(dict);
    PyObject* substream = self.lookup(dict, cache, kSubstream);
    PyObject* decoder = substream == nullptr ? nullptr : self.lookup(dict, cache, kDecoder);
    PyObject* rbuffer = decoder == nullptr ? nullptr : self.lookup(dict, cache, kRbuffer);
    Py_ssize_t unit = 0;
    if (rbuffer == nullptr || !PyBytes_CheckExact(rbuffer) || !index_of(self.lookup(dict, cache, kDecoderunit), &unit) ||
        unit < 1 || unit > kBulkSourceBytes / 2 || !reads_as_bytesio(st, substream)) {
        PyErr_Clear();
        return kFillNotHandled;
    }
    const Py_ssize_t most_units = kBulkSourceBytes / unit;
    const qelo::BinaryKernels* kernels = nullptr;
    const BulkDecoder kind = bulk_decoder_of(st, decoder, most_units * unit, &kernels);
    if (kind == BulkDecoder::kNone) return kFillNotHandled;
    // Units the rounds would read: until `wanted` more decoded bytes are there.
    const Py_ssize_t decoded_per_unit = kind == BulkDecoder::kBits ? 8 * unit : unit;
    Py_ssize_t units = most_units;
    if (wanted >= 0 && wanted / decoded_per_unit < most_units) {
        units = wanted / decoded_per_unit + (wanted % decoded_per_unit != 0 ? 1 : 0);
    }
    if (units < 1) return kFillNotHandled;  // how much is missing is not known in C
    const Py_ssize_t request = units * unit;
    // Everything that may fail for want of memory before the substream is touched: then the rounds run.
    Ref bits = kind == BulkDecoder::kBits ? Ref(PyBytes_FromStringAndSize(nullptr, 8 * request)) : Ref();
    // A single round asks with decoderunit itself, as the round does.
    Ref size = units == 1 ? Ref::borrow(self.lookup(dict, cache, kDecoderunit)) : Ref(PyLong_FromSsize_t(request));
    if (!size || (kind == BulkDecoder::kBits && !bits)) {
        PyErr_Clear();
        return kFillNotHandled;
    }
    // `read` of the substream is io.BytesIO's own (reads_as_bytesio): called through its descriptor,
    // without looking it up again.
    Ref held_substream = Ref::borrow(substream);
    PyObject* call_args[] = {held_substream.get(), size.get()};
    Ref data(PyObject_Vectorcall(st->bytesio_read, call_args, 2, nullptr));
    if (!data) return kFillError;  // the first round's read fails the same way
    if (!PyBytes_CheckExact(data.get())) {
        PyErr_SetString(PyExc_SystemError, "io.BytesIO.read returned no bytes");
        return kFillError;
    }
    const Py_ssize_t got = PyBytes_GET_SIZE(data.get());
    if (got == 0) return kFillEnded;
    Ref decoded;
    if (kind == BulkDecoder::kBits) {
        kernels->bytes_to_bits(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get())),
                               static_cast<std::size_t>(got), reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bits.get())));
        // Short only at the end of the substream: the value is shorter than the allocation.
        if (got < request) set_bytes_length(bits.get(), 8 * got);
        decoded = std::move(bits);
    } else {
        decoded = std::move(data);
    }
    Ref current = self.get(kRbuffer);
    if (!current) return kFillError;
    return store_concatenation(self, kRbuffer, std::move(current), decoded.get()) ? kFillDecoded : kFillError;
}

// One round of reading into rbuffer, or as many as a bulk round stands in for. 1: decoded, 0: the
// substream had nothing, -1: error.
int restreamed_fill(const Attrs& self, Py_ssize_t wanted) {
    const Fill bulk = restreamed_fill_bulk(self, wanted);
    if (bulk != kFillNotHandled) return bulk;
    return restreamed_fill_once(self);
}

PyObject* restreamed_read_all(const Attrs& self) {
    for (;;) {
        const int filled = restreamed_fill(self, -1);
        if (filled < 0) return nullptr;
        if (filled == 0) break;
    }
    Ref result = self.get(kRbuffer);
    if (!result) return nullptr;
    Ref empty = empty_bytes();
    if (!empty || !self.set(kRbuffer, empty.get())) return nullptr;
    Ref size = length_of(result.get());
    if (!size || !increment(self, kSincereadwritten, size.get())) return nullptr;
    return result.release();
}

// len(self.rbuffer) < count
int rbuffer_short_of(const Attrs& self, PyObject* count) {
    Ref rbuffer = self.get(kRbuffer);
    if (!rbuffer) return -1;
    const Py_ssize_t size = PyObject_Size(rbuffer.get());
    if (size < 0) return -1;
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long long wanted = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow != 0) return overflow > 0 ? 1 : 0;
        return static_cast<long long>(size) < wanted ? 1 : 0;
    }
    Ref have(PyLong_FromSsize_t(size));
    if (!have) return -1;
    return compare(have.get(), count, Py_LT);
}

// count - len(rbuffer) when both are known without running code; 0 (no bulk round) when not. An
// exact int beyond the Py_ssize_t range asks for more than any stream can give.
Py_ssize_t missing_bytes(const Attrs& self, PyObject* count) {
    PyObject* dict = self.plain_dict();
    PyObject* rbuffer = dict == nullptr ? nullptr : self.lookup(dict, kRbuffer);
    if (rbuffer == nullptr || !PyBytes_CheckExact(rbuffer) || !PyLong_CheckExact(count)) {
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t wanted = 0;
    if (!index_of(count, &wanted)) return compare(count, self.state()->zero, Py_GT) > 0 ? PY_SSIZE_T_MAX : 0;
    return wanted > PyBytes_GET_SIZE(rbuffer) ? wanted - PyBytes_GET_SIZE(rbuffer) : 0;
}

// read(count) served from rbuffer alone. 0 with *result set (or an error), or kNotHandled.
int restreamed_read_buffered(const Attrs& self, Py_ssize_t count, PyObject** result) {
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return kNotHandled;
    StateCache* cache = self.cache_for(dict);
    PyObject* rbuffer = self.lookup(dict, cache, kRbuffer);
    Py_ssize_t sincereadwritten = 0;
    if (rbuffer == nullptr || !PyBytes_CheckExact(rbuffer) || PyBytes_GET_SIZE(rbuffer) < count ||
        !index_of(self.lookup(dict, cache, kSincereadwritten), &sincereadwritten) ||
        sincereadwritten > PY_SSIZE_T_MAX - count) {
        PyErr_Clear();
        return kNotHandled;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(rbuffer);
    Ref head = count == size ? Ref::borrow(rbuffer) : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(rbuffer), count));
    if (!head) return 0;
    if (count > 0 && (qelo::dict_is_watched(dict) || !drop_front_unshared_bytes(rbuffer, count))) {
        Ref rest(PyBytes_FromStringAndSize(PyBytes_AS_STRING(rbuffer) + count, size - count));
        if (!rest || !self.store(dict, kRbuffer, rest.get())) return 0;
    }
    if (!store_index(self, dict, kSincereadwritten, sincereadwritten + count)) return 0;
    *result = head.release();
    return 0;
}

// The cache of a plain instance when it is current, knows every state name in `needed` and its
// values may be changed in place (the dict is not watched); null otherwise.
const StateCache* steady_cache(const Attrs& self, std::uint32_t needed) {
    if (!kMayChangeInPlace) return nullptr;
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return nullptr;
    const StateCache& cache = reinterpret_cast<Instance*>(self.self())->cache;
    if (cache.dict != dict || cache.version == 0 || cache.version != qelo::dict_version(dict) ||
        (cache.known & needed) != needed || qelo::dict_is_watched(dict)) {
        return nullptr;
    }
    return &cache;
}

// The steady state of small reads, with nothing but C work: a plain instance whose cache knows
// rbuffer (more than `count` bytes, held only by the dict) and sincereadwritten (a small int held
// only by the dict). The result is cut from the front of rbuffer, which shrinks in place, and the
// counter grows in place, so the dict (and its version tag) does not change. Null (with no
// exception) when a precondition does not hold: restreamed_read_buffered then does the same work
// the general way.
PyObject* restreamed_read_steady(const Attrs& self, Py_ssize_t count) {
    if (count <= 0) return nullptr;
    const StateCache* cache = steady_cache(self, bit_of(kRbuffer) | bit_of(kSincereadwritten));
    if (cache == nullptr) return nullptr;
    PyObject* rbuffer = cache->values[kRbuffer];
    PyObject* counter = cache->values[kSincereadwritten];
    if (rbuffer == nullptr || counter == nullptr || !PyBytes_CheckExact(rbuffer) || Py_REFCNT(rbuffer) != 1) {
        return nullptr;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(rbuffer);
    Py_ssize_t before = 0;
    if (count >= size || size > kShrinkInPlaceMaximum || !index_of(counter, &before) ||
        before > static_cast<Py_ssize_t>(PyLong_MASK) - count) {
        PyErr_Clear();
        return nullptr;
    }
    Ref head(PyBytes_FromStringAndSize(PyBytes_AS_STRING(rbuffer), count));
    if (!head) {
        PyErr_Clear();
        return nullptr;
    }
    if (!overwrite_unshared_int(counter, before + count)) return nullptr;  // `head` is dropped unseen
    char* bytes = PyBytes_AS_STRING(rbuffer);
    std::memmove(bytes, bytes + count, static_cast<size_t>(size - count));
    set_bytes_length(rbuffer, size - count);
    return head.release();
}

PyObject* restreamed_read_count(const Attrs& self, PyObject* count) {
    // An exact int in range is compared with 0 in C: the comparison runs no code either way.
    Py_ssize_t wanted = -1;
    const bool exact = index_of(count, &wanted);
    if (exact && wanted >= 0) {
        if (PyObject* steady = restreamed_read_steady(self, wanted)) return steady;
        PyObject* result = nullptr;
        if (restreamed_read_buffered(self, wanted, &result) == 0) return result;
        PyErr_Clear();
    }
    const int negative = exact ? wanted < 0 : compare(count, self.state()->zero, Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return nullptr;
    }
    for (;;) {
        const int short_of = rbuffer_short_of(self, count);
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        const int filled = restreamed_fill(self, missing_bytes(self, count));
        if (filled < 0) return nullptr;
        if (filled == 0) return empty_bytes().release();
    }
    if (exact) {
        PyObject* result = nullptr;
        if (restreamed_read_buffered(self, wanted, &result) == 0) return result;
        PyErr_Clear();
    }
    Ref rbuffer = self.get(kRbuffer);
    if (!rbuffer) return nullptr;
    Ref head = slice(rbuffer.get(), nullptr, count);
    if (!head) return nullptr;
    Ref rest = slice(rbuffer.get(), count, nullptr);
    if (!rest || !self.set(kRbuffer, rest.get())) return nullptr;
    if (!increment(self, kSincereadwritten, count)) return nullptr;
    return head.release();
}

// The one argument of read(count) or write(data); a single positional one is by far the usual call.
bool parse_one(const qelo::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** count) {
    if (nargs == 1 && kwnames == nullptr) {
        *count = args[0];
        return true;
    }
    return qelo::parse_args(sig, args, nargs, kwnames, count);
}

PyObject* restreamed_read(PyObject* self, PyTypeObject*, ModuleState* st, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_one(kRestreamedReadSig, args, nargs, kwnames, a)) return nullptr;
    const Attrs attrs(st, self, kRestreamed);
    if (a[0] == nullptr || a[0] == Py_None) return restreamed_read_all(attrs);
    return restreamed_read_count(attrs, a[0]);
}

// Cuts one unit from wbuffer and writes it encoded. 1: written, 0: wbuffer holds less than a
// unit, -1: error.
int restreamed_flush_unit(const Attrs& self) {
    Ref unit = checked_encoderunit(self);
    if (!unit) return -1;
    Ref wbuffer = self.get(kWbuffer);
    if (!wbuffer) return -1;
    Ref size = length_of(wbuffer.get());
    if (!size) return -1;
    const int enough = compare(size.get(), unit.get(), Py_GE);
    if (enough <= 0) return enough;
    Ref chunk = slice(wbuffer.get(), nullptr, unit.get());
    if (!chunk) return -1;
    Ref rest = slice(wbuffer.get(), unit.get(), nullptr);
    if (!rest || !self.set(kWbuffer, rest.get())) return -1;
    Ref substream = self.get(kSubstream);
    if (!substream) return -1;
    Ref writer(PyObject_GetAttr(substream.get(), self.state()->names[kWrite]));
    if (!writer) return -1;
    Ref encoder = self.get(kEncoder);
    if (!encoder) return -1;
    Ref encoded = call1(encoder.get(), chunk.get());
    if (!encoded) return -1;
    Ref ignored = call1(writer.get(), encoded.get());
    return ignored ? 1 : -1;
}

// Bulk encoding. When the substream is exactly io.BytesIO writing through its own C write, and the
// encoder is `bytes` or qelo.lib.binary's own bits2bytes taking its kernel (the unit a multiple of 8),
// the rounds "cut a unit from wbuffer, encode it, write it" run no Python code, and k of them give
// what one write of the k encoded units joined gives: encoding is byte-wise, and io.BytesIO appends
// consecutive writes at its position. Its write either takes all the bytes or fails before taking
// any (closed, exported buffer, no memory), so a failed joined write changes nothing and the rounds
// then run one by one, failing where the first of them fails. A unit that is not a bit string ends
// the bulk work before it: the units ahead of it are written, and the round for it raises.

enum class Flush : int { kError = -1, kNotHandled = 0, kDone = 1, kStopped = 2 };

enum class BulkEncoder { kNone, kIdentity, kBits };

BulkEncoder bulk_encoder_of(ModuleState* st, PyObject* encoder, Py_ssize_t unit, Py_ssize_t work,
                            const qelo::BinaryKernels** lent) {
    if (encoder == reinterpret_cast<PyObject*>(&PyBytes_Type)) return BulkEncoder::kIdentity;
    if (unit % 8 != 0 || !Py_IS_TYPE(encoder, &PyCFunction_Type)) return BulkEncoder::kNone;
    PyObject* module = PyCFunction_GET_SELF(encoder);
    if (module == nullptr || !PyModule_CheckExact(module)) return BulkEncoder::kNone;
    PyObject* capsule = PyDict_GetItemWithError(PyModule_GetDict(module), st->names[kKernels]);
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) {
        PyErr_Clear();
        return BulkEncoder::kNone;
    }
    const auto* kernels = static_cast<const qelo::BinaryKernels*>(PyCapsule_GetPointer(capsule, qelo::kBinaryKernelsCapsule));
    if (kernels == nullptr) {
        PyErr_Clear();
        return BulkEncoder::kNone;
    }
    if (PyCFunction_GET_FUNCTION(encoder) != kernels->bits2bytes || kernels->bits2bytes_ready(module, work) != 1) {
        return BulkEncoder::kNone;
    }
    *lent = kernels;
    return BulkEncoder::kBits;
}

// Whether `substream` is exactly io.BytesIO with nothing in its own attribute dict.
bool writes_as_bytesio(ModuleState* st, PyObject* substream) {
    return st->bytesio_write != nullptr && reads_as_bytesio(st, substream);
}

// The whole units of wbuffer, encoded and written at once (see above). kDone: wbuffer now holds
// less than a unit; kStopped: the unit now at the front of wbuffer is left for the one-by-one round;
// kNotHandled: nothing changed, the rounds run one by one.
Flush restreamed_flush_bulk(const Attrs& self) {
    ModuleState* st = self.state();
    PyObject* dict = self.plain_dict();
    if (dict == nullptr || st->bytesio_type == nullptr) return Flush::kNotHandled;
    StateCache* cache = self.cache_for(dict);
    PyObject* wbuffer = self.lookup(dict, cache, kWbuffer);
    PyObject* substream = wbuffer == nullptr ? nullptr : self.lookup(dict, cache, kSubstream);
    PyObject* encoder = substream == nullptr ? nullptr : self.lookup(dict, cache, kEncoder);
    Py_ssize_t unit = 0;
    if (encoder == nullptr || !PyBytes_CheckExact(wbuffer) || !index_of(self.lookup(dict, cache, kEncoderunit), &unit) ||
        unit < 1) {
        PyErr_Clear();
        return Flush::kNotHandled;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(wbuffer);
    const Py_ssize_t units = size / unit;
    if (units == 0) return Flush::kDone;  // the round would find less than a unit and change nothing
    if (!writes_as_bytesio(st, substream)) return Flush::kNotHandled;
    const qelo::BinaryKernels* kernels = nullptr;
    const BulkEncoder kind = bulk_encoder_of(st, encoder, unit, units * (unit / 8), &kernels);
    if (kind == BulkEncoder::kNone) return Flush::kNotHandled;
    const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(wbuffer));
    Py_ssize_t done = units;  // units encoded
    Ref encoded;
    if (kind == BulkEncoder::kBits) {
        const Py_ssize_t per_unit = unit / 8;
        encoded = Ref(PyBytes_FromStringAndSize(nullptr, units * per_unit));
        if (!encoded) {
            PyErr_Clear();
            return Flush::kNotHandled;
        }
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(encoded.get()));
        if (!kernels->bits_to_bytes(in, static_cast<std::size_t>(units * per_unit), out)) {
            // Some unit is not a bit string: find the first, unit by unit.
            done = 0;
            while (done < units && kernels->bits_to_bytes(in + done * unit, static_cast<std::size_t>(per_unit),
                                                          out + done * per_unit)) {
                ++done;
            }
            if (done == 0) return Flush::kStopped;
            encoded = Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out), done * per_unit));
            if (!encoded) {
                PyErr_Clear();
                return Flush::kNotHandled;
            }
        }
    } else {
        encoded = done * unit == size ? Ref::borrow(wbuffer) : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(wbuffer), done * unit));
    }
    Ref rest = encoded ? Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(wbuffer) + done * unit, size - done * unit)) : Ref();
    if (!rest) {
        PyErr_Clear();
        return Flush::kNotHandled;
    }
    Ref held_substream = Ref::borrow(substream);
    Ref held_wbuffer = Ref::borrow(wbuffer);
    PyObject* call_args[] = {held_substream.get(), encoded.get()};
    Ref written(PyObject_Vectorcall(st->bytesio_write, call_args, 2, nullptr));
    if (!written) {
        PyErr_Clear();  // nothing was written: the rounds run one by one and fail as they fail
        return Flush::kNotHandled;
    }
    if (!self.store(dict, kWbuffer, rest.get())) return Flush::kError;
    return done == units ? Flush::kDone : Flush::kStopped;
}

PyObject* restreamed_write(PyObject* self, PyTypeObject*, ModuleState* st, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_one(kRestreamedWriteSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const Attrs attrs(st, self, kRestreamed);
    // Refused before anything changes: with a unit below 1 the unit loop could never end.
    if (!checked_encoderunit(attrs)) return nullptr;
    Ref wbuffer = attrs.get(kWbuffer);
    if (!wbuffer || !store_concatenation(attrs, kWbuffer, std::move(wbuffer), data)) return nullptr;
    Ref datalen = length_of(data);
    if (!datalen) return nullptr;
    const Flush bulk = restreamed_flush_bulk(attrs);
    if (bulk == Flush::kError) return nullptr;
    while (bulk != Flush::kDone) {
        const int flushed = restreamed_flush_unit(attrs);
        if (flushed < 0) return nullptr;
        if (flushed == 0) break;
    }
    if (!add_to_counter(attrs, kSincereadwritten, datalen.get())) return nullptr;
    return datalen.release();
}

// The leftover check of close: raises when `buffer` still holds bytes.
bool refuse_leftover(PyObject* buffer, PyObject* unit, const char* format) {
    const int nonempty = PyObject_IsTrue(buffer);
    if (nonempty < 0) return false;
    if (!nonempty) return true;
    Ref size = length_of(buffer);
    if (!size) return false;
    Ref values(PyTuple_Pack(2, size.get(), unit));
    Ref text(PyUnicode_FromString(format));
    if (!values || !text) return false;
    Ref message(PyUnicode_Format(text.get(), values.get()));
    if (!message) return false;
    PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

PyObject* restreamed_close(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
    if (!qelo::parse_no_args("RestreamedBytesIO.close", nargs, kwnames)) return nullptr;
    const Attrs attrs(cls_state(cls), self, kRestreamed);
    Ref rbuffer = attrs.get(kRbuffer);
    if (!rbuffer) return nullptr;
    const int unread = PyObject_IsTrue(rbuffer.get());
    if (unread < 0) return nullptr;
    if (unread) {
        Ref unit = attrs.get(kDecoderunit);
        if (!unit) return nullptr;
        refuse_leftover(rbuffer.get(), unit.get(), "closing stream but %d unread bytes remain, %d is decoded unit");
        return nullptr;
    }
    Ref wbuffer = attrs.get(kWbuffer);
    if (!wbuffer) return nullptr;
    const int unwritten = PyObject_IsTrue(wbuffer.get());
    if (unwritten < 0) return nullptr;
    if (unwritten) {
        Ref unit = attrs.get(kEncoderunit);
        if (!unit) return nullptr;
        refuse_leftover(wbuffer.get(), unit.get(), "closing stream but %d unwritten bytes remain, %d is encoded unit");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* restreamed_seek(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!qelo::parse_args(kRestreamedSeekSig, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetNone(PyExc_OSError);
    return nullptr;
}

PyObject* restreamed_seekable(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args("RestreamedBytesIO.seekable", nargs, kwnames)) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* restreamed_tell(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (!qelo::parse_no_args("RestreamedBytesIO.tell", nargs, kwnames)) return nullptr;
    return Attrs(cls_state(cls), self, kRestreamed).get(kSincereadwritten).release();
}

PyObject* restreamed_tellable(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args("RestreamedBytesIO.tellable", nargs, kwnames)) return nullptr;
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------------------------
// RebufferedBytesIO

const char* const kRebufferedInitParams[] = {"substream", "tailcutoff"};
const qelo::Signature kRebufferedInitSig{"RebufferedBytesIO.__init__", kRebufferedInitParams, 2, 1, true};
const qelo::Signature kRebufferedReadSig{"RebufferedBytesIO.read", kCountParam, 1, 0, true};
const qelo::Signature kRebufferedWriteSig{"RebufferedBytesIO.write", kDataParam, 1, 1, true};
const qelo::Signature kRebufferedSeekSig{"RebufferedBytesIO.seek", kSeekParams, 2, 1, true};

bool call_sleep(PyTypeObject* cls, ModuleState* st) {
    Ref sleep = module_global(cls, st->names[kSleep]);
    if (!sleep) return false;
    return static_cast<bool>(call1(sleep.get(), st->zero));
}

// substream.read(131072), with BlockingIOError (as the module namespace names it) taken as None.
Ref poll_substream(const Attrs& self, PyTypeObject* cls, bool blocking_is_none) {
    ModuleState* st = self.state();
    Ref substream = self.get(kSubstream);
    if (!substream) return Ref();
    PyObject* call_args[] = {substream.get(), st->poll_size};
    Ref data(PyObject_VectorcallMethod(st->names[kRead], call_args, 2, nullptr));
    if (data || !blocking_is_none) return data;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref held_type(type), held_value(value), held_traceback(traceback);
    Ref blocking = module_global(cls, st->names[kBlockingIOError]);
    if (!blocking) return Ref();
    const int matches = PyErr_GivenExceptionMatches(type, blocking.get());
    PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
    if (!matches) return Ref();
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

enum Poll { kPollError = -1, kPollEnded = 0, kPollAppended = 1, kPollNothingYet = 2 };

// One poll of read: appends what the substream gives; None or BlockingIOError mean "nothing yet"
// (sleep(0) and poll again); any other empty answer means the substream has ended.
Poll poll_for_read(const Attrs& self, PyTypeObject* cls) {
    Ref data = poll_substream(self, cls, true);
    if (!data) return kPollError;
    if (data.get() == Py_None) return call_sleep(cls, self.state()) ? kPollNothingYet : kPollError;
    const int nonempty = PyObject_IsTrue(data.get());
    if (nonempty < 0) return kPollError;
    if (!nonempty) return kPollEnded;
    Ref window = self.get(kRwbuffer);
    if (!window) return kPollError;
    return store_concatenation(self, kRwbuffer, std::move(window), data.get()) ? kPollAppended : kPollError;
}

// One poll of write: BlockingIOError propagates, None fails the concatenation with TypeError,
// and an empty answer means the substream ended before the write's start.
Poll poll_for_write(const Attrs& self, PyTypeObject* cls) {
    Ref data = poll_substream(self, cls, false);
    if (!data) return kPollError;
    if (data.get() != Py_None) {
        const int nonempty = PyObject_IsTrue(data.get());
        if (nonempty < 0) return kPollError;
        if (!nonempty) {
            PyErr_SetString(PyExc_OSError, "could not write because the stream ended before the write's start");
            return kPollError;
        }
    }
    Ref window = self.get(kRwbuffer);
    if (!window) return kPollError;
    return store_concatenation(self, kRwbuffer, std::move(window), data.get()) ? kPollAppended : kPollError;
}

// self.moved + len(self.rwbuffer) < position
int window_ends_before(const Attrs& self, PyObject* position) {
    Ref moved = self.get(kMoved);
    if (!moved) return -1;
    Ref window = self.get(kRwbuffer);
    if (!window) return -1;
    const Py_ssize_t size = PyObject_Size(window.get());
    if (size < 0) return -1;
    if (PyLong_CheckExact(moved.get()) && PyLong_CheckExact(position)) {
        int overflow_a = 0, overflow_b = 0;
        const long long start = PyLong_AsLongLongAndOverflow(moved.get(), &overflow_a);
        const long long wanted = PyLong_AsLongLongAndOverflow(position, &overflow_b);
        long long end = 0;
        if (overflow_a == 0 && overflow_b == 0 && !__builtin_add_overflow(start, static_cast<long long>(size), &end)) {
            return end < wanted ? 1 : 0;
        }
    }
    Ref size_obj(PyLong_FromSsize_t(size));
    if (!size_obj) return -1;
    Ref end = add(moved.get(), size_obj.get());
    if (!end) return -1;
    return compare(end.get(), position, Py_LT);
}

// Refuses a start before the first position still held.
bool refuse_cut_tail(const Attrs& self, PyObject* startsat, const char* message) {
    Ref moved = self.get(kMoved);
    if (!moved) return false;
    const int before = compare(startsat, moved.get(), Py_LT);
    if (before < 0) return false;
    if (before) {
        PyErr_SetString(PyExc_OSError, message);
        return false;
    }
    return true;
}

// Drops the window's bytes more than tailcutoff before offset.
bool apply_cutoff(const Attrs& self) {
    Ref tailcutoff = self.get(kTailcutoff);
    if (!tailcutoff) return false;
    if (tailcutoff.get() == Py_None) return true;
    Ref moved = self.get(kMoved);
    if (!moved) return false;
    Ref offset = self.get(kOffset);
    if (!offset) return false;
    Ref keep_from = subtract(offset.get(), tailcutoff.get());
    if (!keep_from) return false;
    const int behind = compare(moved.get(), keep_from.get(), Py_LT);
    if (behind <= 0) return behind == 0;
    Ref removed = subtract(keep_from.get(), moved.get());
    if (!removed) return false;
    Ref new_moved = add(moved.get(), removed.get());
    if (!new_moved || !self.set(kMoved, new_moved.get())) return false;
    return store_tail(self, kRwbuffer, removed.get());
}

int rebuffered_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 2> a{};
    if (!parse_init(kRebufferedInitSig, args, kwargs, a)) return -1;
    struct Release {
        std::array<PyObject*, 2>& items;
        ~Release() { release_all(items); }
    } release{a};
    ModuleState* st = instance_state(self);
    if (st == nullptr) return -1;
    const Attrs attrs(st, self, kRebuffered);
    Ref empty = empty_bytes();
    if (!empty) return -1;
    PyObject* tailcutoff = a[1] == nullptr ? Py_None : a[1];
    const bool ok = attrs.set(kSubstream, a[0]) && attrs.set(kOffset, st->zero) &&
                    attrs.set(kRwbuffer, empty.get()) && attrs.set(kMoved, st->zero) &&
                    attrs.set(kTailcutoff, tailcutoff);
    return ok ? 0 : -1;
}

// read(count) served from the window alone. 0 with *result set (or an error), or kNotHandled.
int rebuffered_read_cached(const Attrs& self, Py_ssize_t count, PyObject** result) {
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return kNotHandled;
    Py_ssize_t offset = 0, moved = 0, endsat = 0, keep = 0, keep_from = PY_SSIZE_T_MIN;
    StateCache* cache = self.cache_for(dict);
    PyObject* window = self.lookup(dict, cache, kRwbuffer);
    PyObject* tailcutoff = window == nullptr ? nullptr : self.lookup(dict, cache, kTailcutoff);
    const bool handled =
        tailcutoff != nullptr && PyBytes_CheckExact(window) && index_of(self.lookup(dict, cache, kOffset), &offset) &&
        index_of(self.lookup(dict, cache, kMoved), &moved) && !__builtin_add_overflow(offset, count, &endsat) &&
        offset >= moved && endsat - moved <= PyBytes_GET_SIZE(window) &&
        (tailcutoff == Py_None || (index_of(tailcutoff, &keep) && !__builtin_sub_overflow(endsat, keep, &keep_from)));
    if (!handled) {
        PyErr_Clear();
        return kNotHandled;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(window);
    Ref data = (offset == moved && count == size)
                   ? Ref::borrow(window)
                   : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(window) + (offset - moved), count));
    if (!data || !store_index(self, dict, kOffset, endsat)) return 0;
    if (moved < keep_from) {
        Ref removed(PyLong_FromSsize_t(keep_from - moved));
        if (!removed || !store_index(self, dict, kMoved, keep_from) || !store_tail(self, kRwbuffer, removed.get())) {
            return 0;
        }
    }
    *result = data.release();
    return 0;
}

// The steady state of small reads without a cut-off, with nothing but C work: a plain instance
// whose cache knows the window (holding all `count` bytes), offset (a small int only the dict
// holds), moved and tailcutoff (None). The offset grows in place, so the dict (and its version
// tag) does not change. Null (with no exception) when a precondition does not hold:
// rebuffered_read_cached then does the same work the general way.
PyObject* rebuffered_read_steady(const Attrs& self, Py_ssize_t count) {
    if (count <= 0) return nullptr;
    const StateCache* cache = steady_cache(self, bit_of(kRwbuffer) | bit_of(kOffset) | bit_of(kMoved) | bit_of(kTailcutoff));
    if (cache == nullptr || cache->values[kTailcutoff] != Py_None) return nullptr;
    PyObject* window = cache->values[kRwbuffer];
    PyObject* offset_obj = cache->values[kOffset];
    Py_ssize_t offset = 0, moved = 0;
    if (window == nullptr || !PyBytes_CheckExact(window) || !index_of(offset_obj, &offset) ||
        !index_of(cache->values[kMoved], &moved) || offset < moved || offset > static_cast<Py_ssize_t>(PyLong_MASK) - count ||
        offset + count - moved > PyBytes_GET_SIZE(window)) {
        PyErr_Clear();
        return nullptr;
    }
    Ref data(PyBytes_FromStringAndSize(PyBytes_AS_STRING(window) + (offset - moved), count));
    if (!data) {
        PyErr_Clear();
        return nullptr;
    }
    if (!overwrite_unshared_int(offset_obj, offset + count)) return nullptr;  // `data` is dropped unseen
    return data.release();
}

PyObject* rebuffered_read(PyObject* self, PyTypeObject* cls, ModuleState* st, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_one(kRebufferedReadSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* count = a[0];
    if (count == nullptr || count == Py_None) {
        PyErr_SetString(PyExc_ValueError, "count must be integer, reading until EOF not supported");
        return nullptr;
    }
    const Attrs attrs(st, self, kRebuffered);
    if (PyLong_CheckExact(count)) {
        const Py_ssize_t wanted = PyLong_AsSsize_t(count);
        if (wanted >= 0) {
            if (PyObject* steady = rebuffered_read_steady(attrs, wanted)) return steady;
            PyObject* result = nullptr;
            if (rebuffered_read_cached(attrs, wanted, &result) == 0) return result;
        }
        PyErr_Clear();
    }
    const int negative = compare(count, st->zero, Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return nullptr;
    }
    Ref startsat = attrs.get(kOffset);
    if (!startsat) return nullptr;
    Ref endsat = add(startsat.get(), count);
    if (!endsat) return nullptr;
    if (!refuse_cut_tail(attrs, startsat.get(), "could not read because tail was cut off")) return nullptr;
    for (;;) {
        const int short_of = window_ends_before(attrs, endsat.get());
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        const Poll poll = poll_for_read(attrs, cls);
        if (poll == kPollError) return nullptr;
        if (poll == kPollEnded) break;
    }
    Ref window = attrs.get(kRwbuffer);
    if (!window) return nullptr;
    Ref moved = attrs.get(kMoved);
    if (!moved) return nullptr;
    Ref lo = subtract(startsat.get(), moved.get());
    Ref hi = lo ? subtract(endsat.get(), moved.get()) : Ref();
    if (!hi) return nullptr;
    Ref data = slice(window.get(), lo.get(), hi.get());
    if (!data) return nullptr;
    window = Ref();  // so an unshared window can be trimmed in place by the cut-off
    if (!increment(attrs, kOffset, count) || !apply_cutoff(attrs)) return nullptr;
    Ref got = length_of(data.get());
    if (!got) return nullptr;
    const int short_read = compare(got.get(), count, Py_LT);
    if (short_read < 0) return nullptr;
    if (short_read) {
        PyErr_SetString(PyExc_OSError, "could not read enough bytes, something went wrong");
        return nullptr;
    }
    return data.release();
}

PyObject* rebuffered_write(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* a[1];
    if (!qelo::parse_args(kRebufferedWriteSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const Attrs attrs(cls_state(cls), self, kRebuffered);
    Ref startsat = attrs.get(kOffset);
    if (!startsat) return nullptr;
    Ref datalen = length_of(data);
    if (!datalen) return nullptr;
    Ref endsat = add(startsat.get(), datalen.get());
    if (!endsat) return nullptr;
    if (!refuse_cut_tail(attrs, startsat.get(), "could not write because tail was cut off")) return nullptr;
    for (;;) {
        const int short_of = window_ends_before(attrs, startsat.get());
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        if (poll_for_write(attrs, cls) == kPollError) return nullptr;
    }
    Ref window = attrs.get(kRwbuffer);
    if (!window) return nullptr;
    Ref moved = attrs.get(kMoved);
    if (!moved) return nullptr;
    Ref lo = subtract(startsat.get(), moved.get());
    Ref hi = lo ? subtract(endsat.get(), moved.get()) : Ref();
    if (!hi) return nullptr;
    Ref head = slice(window.get(), nullptr, lo.get());
    if (!head) return nullptr;
    Ref tail = slice(window.get(), hi.get(), nullptr);
    if (!tail) return nullptr;
    Ref front = add(head.get(), data);
    if (!front) return nullptr;
    Ref spliced = add(front.get(), tail.get());
    if (!spliced || !attrs.set(kRwbuffer, spliced.get())) return nullptr;
    if (!attrs.set(kOffset, endsat.get()) || !apply_cutoff(attrs)) return nullptr;
    return datalen.release();
}

PyObject* rebuffered_seek(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* a[2];
    if (!qelo::parse_args(kRebufferedSeekSig, args, nargs, kwnames, a)) return nullptr;
    ModuleState* st = cls_state(cls);
    const Attrs attrs(st, self, kRebuffered);
    PyObject* at = a[0];
    PyObject* whence = a[1] == nullptr ? st->zero : a[1];
    const int absolute = compare(whence, st->zero, Py_EQ);
    if (absolute < 0) return nullptr;
    if (absolute) {
        if (!attrs.set(kOffset, at)) return nullptr;
        return attrs.get(kOffset).release();
    }
    const int relative = compare(whence, st->one, Py_EQ);
    if (relative < 0) return nullptr;
    if (relative) {
        if (!increment(attrs, kOffset, at)) return nullptr;
        return attrs.get(kOffset).release();
    }
    PyErr_SetString(PyExc_ValueError, "this class seeks only with whence: 0 and 1 (excluded 2)");
    return nullptr;
}

PyObject* rebuffered_seekable(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args("RebufferedBytesIO.seekable", nargs, kwnames)) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* rebuffered_tell(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (!qelo::parse_no_args("RebufferedBytesIO.tell", nargs, kwnames)) return nullptr;
    return Attrs(cls_state(cls), self, kRebuffered).get(kOffset).release();
}

PyObject* rebuffered_tellable(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args("RebufferedBytesIO.tellable", nargs, kwnames)) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* rebuffered_cachedfrom(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (!qelo::parse_no_args("RebufferedBytesIO.cachedfrom", nargs, kwnames)) return nullptr;
    return Attrs(cls_state(cls), self, kRebuffered).get(kMoved).release();
}

PyObject* rebuffered_cachedto(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (!qelo::parse_no_args("RebufferedBytesIO.cachedto", nargs, kwnames)) return nullptr;
    const Attrs attrs(cls_state(cls), self, kRebuffered);
    Ref moved = attrs.get(kMoved);
    if (!moved) return nullptr;
    Ref window = attrs.get(kRwbuffer);
    if (!window) return nullptr;
    Ref size = length_of(window.get());
    if (!size) return nullptr;
    return add(moved.get(), size.get()).release();
}


// ---------------------------------------------------------------------------------------------
// Types and module

// read is called far more often than anything else: it takes the plain fast calling convention
// (cheaper to call than a method that is also given its defining class) and finds that class
// through the module.
template <PyObject* (*Impl)(PyObject*, PyTypeObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*),
          PyObject* ModuleState::*Defining>
PyObject* with_defining_class(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The classes themselves name their module directly; subclasses are searched.
    PyTypeObject* type = Py_TYPE(self);
    PyObject* module = nullptr;
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* own = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
        if (own != nullptr && PyModule_GetDef(own) == &bitstream_module) module = own;
    }
    if (module == nullptr) module = PyType_GetModuleByDef(type, &bitstream_module);
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    PyObject* cls = st->*Defining;
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "qelo.lib.bitstream has been cleared");
        return nullptr;
    }
    return Impl(self, reinterpret_cast<PyTypeObject*>(cls), st, args, nargs, kwnames);
}

#define QELO_FAST_METHOD(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}

#define QELO_METHOD(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef restreamed_methods[] = {
    QELO_FAST_METHOD("read", (with_defining_class<restreamed_read, &ModuleState::restreamed_type>), nullptr),
    QELO_FAST_METHOD("write", (with_defining_class<restreamed_write, &ModuleState::restreamed_type>), nullptr),
    QELO_METHOD("close", restreamed_close, nullptr),
    QELO_METHOD("seek", restreamed_seek, nullptr),
    QELO_METHOD("seekable", restreamed_seekable, nullptr),
    QELO_METHOD("tell", restreamed_tell, "WARNING: tell is correct only on read-only and write-only instances."),
    QELO_METHOD("tellable", restreamed_tellable, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rebuffered_methods[] = {
    QELO_FAST_METHOD("read", (with_defining_class<rebuffered_read, &ModuleState::rebuffered_type>), nullptr),
    QELO_METHOD("write", rebuffered_write, nullptr),
    QELO_METHOD("seek", rebuffered_seek, nullptr),
    QELO_METHOD("seekable", rebuffered_seekable, nullptr),
    QELO_METHOD("tell", rebuffered_tell, nullptr),
    QELO_METHOD("tellable", rebuffered_tellable, nullptr),
    QELO_METHOD("cachedfrom", rebuffered_cachedfrom, nullptr),
    QELO_METHOD("cachedto", rebuffered_cachedto, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

#undef QELO_METHOD
#undef QELO_FAST_METHOD

PyType_Slot restreamed_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(restreamed_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_methods, restreamed_methods},
    {Py_tp_members, instance_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};

PyType_Slot rebuffered_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(rebuffered_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_methods, rebuffered_methods},
    {Py_tp_members, instance_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};

constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec restreamed_spec = {"qelo.lib.bitstream.RestreamedBytesIO", sizeof(Instance), 0, kTypeFlags,
                               restreamed_slots};
PyType_Spec rebuffered_spec = {"qelo.lib.bitstream.RebufferedBytesIO", sizeof(Instance), 0, kTypeFlags,
                               rebuffered_slots};

// from <module> import <name>
bool import_name(PyObject* module, const char* source, const char* name) {
    Ref imported(PyImport_ImportModule(source));
    if (!imported) return false;
    Ref value(PyObject_GetAttrString(imported.get(), name));
    if (!value) return false;
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool add_class(PyObject* module, PyType_Spec* type_spec, PyObject** slot) {
    PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
    if (type == nullptr) return false;
    *slot = type;
    const char* dot = std::strrchr(type_spec->name, '.');
    return PyModule_AddObjectRef(module, dot + 1, type) == 0;
}

// Remembers io.BytesIO when its read is the C method the class itself defines and nobody can
// rebind it (an immutable type): an instance of exactly that class, with nothing in its own
// attribute dict, then reads through that method and runs no Python code doing so.
bool capture_bytesio(ModuleState* st) {
    Ref io(PyImport_ImportModule("io"));
    if (!io) return false;
    Ref type(PyObject_GetAttrString(io.get(), "BytesIO"));
    if (!type) return false;
    if (!PyType_Check(type.get())) return true;
    auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* read = _PyType_Lookup(cls, st->names[kRead]);
    const bool own_c_read = read != nullptr && Py_IS_TYPE(read, &PyMethodDescr_Type) &&
                            reinterpret_cast<PyMethodDescrObject*>(read)->d_common.d_type == cls;
    if (own_c_read && std::strcmp(cls->tp_name, "_io.BytesIO") == 0 &&
        PyType_HasFeature(cls, Py_TPFLAGS_IMMUTABLETYPE) && cls->tp_getattro == PyObject_GenericGetAttr &&
        cls->tp_dictoffset > 0) {
        PyObject* write = _PyType_Lookup(cls, st->names[kWrite]);
        if (write == nullptr || !Py_IS_TYPE(write, &PyMethodDescr_Type) ||
            reinterpret_cast<PyMethodDescrObject*>(write)->d_common.d_type != cls) {
            return true;
        }
        st->bytesio_read = Ref::borrow(read).release();
        st->bytesio_write = Ref::borrow(write).release();
        st->bytesio_type = type.release();
    }
    return true;
}

int bitstream_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!st->names.init(kNameTexts)) return -1;
    st->zero = PyLong_FromLong(0);
    st->one = PyLong_FromLong(1);
    st->poll_size = PyLong_FromSsize_t(kPollSize);
    if (st->zero == nullptr || st->one == nullptr || st->poll_size == nullptr) return -1;
    const bool ok = import_name(module, "io", "BlockingIOError") && import_name(module, "time", "sleep") &&
                    import_name(module, "sys", "maxsize") &&
                    add_class(module, &restreamed_spec, &st->restreamed_type) &&
                    add_class(module, &rebuffered_spec, &st->rebuffered_type) && capture_bytesio(st);
    return ok ? 0 : -1;
}

int bitstream_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    if (int err = st->names.traverse(visit, arg)) return err;
    Py_VISIT(st->restreamed_type);
    Py_VISIT(st->rebuffered_type);
    Py_VISIT(st->plain[0].type);
    Py_VISIT(st->plain[1].type);
    Py_VISIT(st->bytesio_type);
    Py_VISIT(st->bytesio_read);
    Py_VISIT(st->bytesio_write);
    return 0;
}

int bitstream_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.clear();
    Py_CLEAR(st->restreamed_type);
    Py_CLEAR(st->rebuffered_type);
    Py_CLEAR(st->zero);
    Py_CLEAR(st->one);
    Py_CLEAR(st->poll_size);
    Py_CLEAR(st->plain[0].type);
    Py_CLEAR(st->plain[1].type);
    Py_CLEAR(st->bytesio_type);
    Py_CLEAR(st->bytesio_read);
    Py_CLEAR(st->bytesio_write);
    return 0;
}

void bitstream_free(void* module) { bitstream_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot bitstream_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bitstream_exec)},
#ifdef Py_mod_multiple_interpreters
    // All state is per module object, so each interpreter (and its own GIL) is independent.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef bitstream_module = {
    PyModuleDef_HEAD_INIT,
    "qelo.lib.bitstream",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    bitstream_slots,
    bitstream_traverse,
    bitstream_clear,
    bitstream_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_bitstream() { return PyModuleDef_Init(&bitstream_module); }
