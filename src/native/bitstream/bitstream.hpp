// qelo.lib.bitstream: RestreamedBytesIO (units through a decoder/encoder pair) and
// RebufferedBytesIO (a seekable read-back window over a forward-only stream).
//
// Both classes keep their state in the instance dictionary and read/write it by name at every
// use, so subclasses, properties and callbacks that replace attributes mid-call are honoured.
// Speed comes from guarded shortcuts that give the same results:
//  * a "plain" instance (generic attribute access, exact dict, no class attribute shadowing a
//    state name) has its state read and written straight in its dict (state.cpp), by lookups of
//    the interned names (their hashes are cached), remembered between calls while the dict's stamp
//    shows no rebinding but the adapter's own (Instance::memo, a memo::Memo stamped through the
//    module's AdapterDicts domain); whether a class is plain is decided once per class version;
//  * a byte buffer held only by that dict is grown or trimmed in place instead of being copied
//    whole, and a counter held only by it is moved in place (buffers.cpp, through
//    compat/inplace.hpp; copied in portable builds);
//  * RestreamedBytesIO over an exact io.BytesIO, through `bytes` or qelo.lib.binary's own
//    bytes2bits / bits2bytes, does the decoder or encoder rounds a call needs in one substream call
//    and one conversion (restreamed_read.cpp, restreamed_write.cpp);
//  * what an exact io.BytesIO's read would return is taken from its buffer where its layout is
//    known (compat/bytesio.hpp): the bulk reads and RebufferedBytesIO's polls copy it once.
// Files: state.cpp (module state, attribute access, small operations), buffers.cpp (buffer
// growth and trimming), restreamed.cpp (with restreamed_read.cpp and restreamed_write.cpp, which
// restreamed.hpp ties together), rebuffered.cpp, module.cpp (types, methods, module).
#pragma once

#include "args.hpp"
#include "binarykernels.hpp"
#include "compat.hpp"
#include "compat/inplace.hpp"
#include "memo.hpp"
#include "namespace.hpp"
#include "outcome.hpp"
#include "ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qelo::bitstream {

using qelo::Ref;

// ---------------------------------------------------------------------------------------------
// Module state

enum Name : std::size_t {
    // state names of RestreamedBytesIO, in the order its constructor sets them
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

inline constexpr std::array<const char*, kNameCount> kNameTexts = {
    "substream", "encoder",  "encoderunit", "decoder",    "decoderunit", "rbuffer", "wbuffer", "sincereadwritten",
    "offset",    "rwbuffer", "moved",       "tailcutoff", "read",        "write",   "sleep",   "BlockingIOError",
    "_kernels",
};

inline constexpr std::size_t kStateNameCount = kTailcutoff + 1;

inline constexpr Py_ssize_t kPollSize = 131072;

enum Kind : int { kRestreamed = 0, kRebuffered = 1 };

// The stamps of the instance dicts (every build's route, memo.hpp): each dict's version tag on
// 3.11-3.13 tricks builds; else, where there are watchers (3.12+ with the GIL), the count of the
// domain's own watcher, under which every instance dict that has a memo is put. That watcher hears
// of every rebinding of a key of those dicts (never of a value changed in place, which keeps the
// object the memo points to) and of nothing else: these dicts change at every read, so no other
// domain's watcher sees them.
using AdapterDicts = memo::Domain<memo::AdapterDicts>;

struct ModuleState {
    qelo::NameTable<kNameCount> names;
    PyObject* module;  // borrowed: the state lives inside it
    PyObject* restreamed_type;
    PyObject* rebuffered_type;
    PyObject* zero;
    PyObject* one;
    PyObject* poll_size;
    // The last class found plain, per kind (versions are never given twice: no reference needed).
    memo::ClassVersion plain[2];
    // io.BytesIO, when it is the interpreter's own immutable C class with its own C read and write
    // (else null), and those methods' descriptors.
    PyObject* bytesio_type;
    PyObject* bytesio_read;
    PyObject* bytesio_write;
    // Whether such an io.BytesIO can be read from its buffer directly (compat/bytesio.hpp).
    bool bytesio_direct;
    // The last qelo.lib.binary module object whose `_kernels` capsule was read, and what it lends
    // (what a module object lends never changes).
    memo::Held kernels_owner;
    const qelo::BinaryKernels* kernels;
    // kernels_owner's ready_stamp when its bytes2bits last answered ready (0: ask). That number is
    // binary's own: the stamp of its namespace and tables in its Namespaces domain, which moves
    // with every change of any of them; here it is only compared.
    std::uint64_t bytes2bits_ready_at;
    // The stamps of instance dicts; a watcher route without a free slot stamps nothing, and then
    // nothing is remembered.
    AdapterDicts adapter_dicts;
};

extern PyModuleDef module_def;

inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// ---------------------------------------------------------------------------------------------
// Instances: a dict and a weak reference list, like an ordinary Python object.

// The window bytes object this instance last grew with spare room behind its visible end (an
// exact bytes object; its allocation holds `capacity` bytes). The strong reference keeps its address
// from being reused by another object, so identity with what the dict binds proves it is the same
// object; the reference count then tells whether anybody besides the dict and this record holds it.
struct GrownWindow {
    PyObject* bytes;  // strong, or null
    Py_ssize_t capacity;
};

// What the instance dict bound to some state names when they were last looked up, while its stamp
// stays the same: equal non-zero stamps mean the same keys bound to the same objects, so the
// borrowed values are alive; a value changed in place keeps the stamp and stays right. The
// adapter's own stores update it (Attrs::store): the steady reads then look nothing up.
using StateMemo = memo::Memo<PyObject*, kStateNameCount>;

struct Instance {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    GrownWindow grown;
    StateMemo memo;
    // The dict this instance put under the domain's watcher (watcher route only).
    AdapterDicts::Watched watched;
};

// Releasing a bytes object runs no Python code.
inline void forget_grown(PyObject* self) { Py_CLEAR(reinterpret_cast<Instance*>(self)->grown.bytes); }

// ---------------------------------------------------------------------------------------------
// Attribute access by name, at every use (state.cpp).

constexpr std::uint32_t bit_of(Name name) { return std::uint32_t{1} << name; }

class Attrs {
public:
    Attrs(ModuleState* st, PyObject* self, Kind kind) : st_(st), self_(self), kind_(kind) {}

    PyObject* self() const { return self_; }
    ModuleState* state() const { return st_; }
    GrownWindow& grown() const { return reinterpret_cast<Instance*>(self_)->grown; }

    // self.<name>, self.<name> = value: through the dict of a plain instance, else the protocol.
    Ref get(Name name) const;
    bool set(Name name, PyObject* value) const;

    // The instance dict when attribute access on self is provably a plain dict access for every
    // state name; null otherwise (then the generic protocol is used).
    PyObject* plain_dict() const;

    // The memo stamp of the plain dict (AdapterDicts), 0 when this build or this dict cannot have
    // one (then nothing is remembered).
    std::uint64_t stamp(PyObject* dict) const;
    // dict[name] of the plain dict, remembered: 1 with `*found` borrowed (alive while the dict binds
    // it), 0 when the name is missing (`*found` null), -1 with an exception set.
    int lookup(PyObject* dict, Name name, PyObject** found) const;
    // The same when a failed lookup only means "not here": borrowed, or null when missing or when the
    // lookup raised (that exception dropped), so never with an exception set.
    PyObject* peek(PyObject* dict, Name name) const;
    // What the plain dict binds to every name of the set `names` (bit_of), all remembered for its
    // current stamp, or null (then look them up). Borrowed (null for a missing name): alive while the
    // stamp holds, so only until code may run.
    PyObject* const* remembered(PyObject* dict, std::uint32_t names) const;
    // The same, looking up what is not remembered yet; null (no exception) when the values cannot be
    // vouched for together (no stamp, a lookup that raised or changed the dict).
    PyObject* const* fetch(PyObject* dict, std::uint32_t names) const;
    // dict[name] = value; keeps the memo up to date when the store provably ran no other code.
    bool store(PyObject* dict, Name name, PyObject* value) const;
    // The watcher of this adapter's memo (-1: none), which in-place changes may ignore.
    int own_watcher() const { return st_->adapter_dicts.watcher(); }

    // peek() as a strong reference (empty when missing or when the lookup raised, with no exception
    // set): a later lookup may run code (a key of another type compared with the name) that rebinds
    // the name.
    Ref held(PyObject* dict, Name name) const { return Ref::borrow(peek(dict, name)); }

    // When `held` is an exact bytes object that only the instance dict (under `name`) and `held`
    // reference, binds None to the name in its place so that `held` is its only reference, and
    // returns true. The caller then owns it exclusively and must store it (or what replaces it)
    // back with set() before any Python code runs. Replacing the value of a key the dict holds never
    // allocates, so neither does storing it back: a failure in between can always restore it.
    bool take_unshared_bytes(Name name, const Ref& held) const;

private:
    // Puts the plain dict in the AdapterDicts domain (state.cpp); false (no exception) when it cannot.
    bool watch(PyObject* dict) const;

    ModuleState* st_;
    PyObject* self_;
    Kind kind_;
};

// Called at every attribute access of the fast paths: defined here so that they inline.

inline PyObject* Attrs::plain_dict() const {
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) {
        return nullptr;
    }
    if (type->tp_dictoffset != static_cast<Py_ssize_t>(offsetof(Instance, dict))) return nullptr;
    PyObject* dict = reinterpret_cast<Instance*>(self_)->dict;
    if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
    memo::ClassVersion& plain = st_->plain[kind_];
    if (plain.holds(type)) return dict;
    // Taken first: a class changed while it is checked is checked again next time.
    const unsigned int taken = memo::ClassVersion::of(type);
    if (!compat::type_defines_none(type, st_->names.items.data() + kSubstream, kStateNameCount)) return nullptr;
    plain.record(type, taken);
    return dict;
}

inline std::uint64_t Attrs::stamp(PyObject* dict) const {
    if constexpr (AdapterDicts::kRoute == memo::Route::kWatcher) {
        // A dict the instance put in the domain went under a watcher: the count is its stamp.
        if (!reinterpret_cast<const Instance*>(self_)->watched.is(dict) && !watch(dict)) return 0;
        return AdapterDicts::count();
    }
    return st_->adapter_dicts.stamp(dict);
}

inline PyObject* const* Attrs::remembered(PyObject* dict, std::uint32_t names) const {
    const StateMemo& memo = reinterpret_cast<const Instance*>(self_)->memo;
    if (memo.dict != dict || !memo.holds(names) || memo.stamp == 0 || memo.stamp != stamp(dict)) return nullptr;
    return memo.values.data();
}

inline int Attrs::lookup(PyObject* dict, Name name, PyObject** found) const {
    StateMemo& memo = reinterpret_cast<Instance*>(self_)->memo;
    const std::uint64_t before = stamp(dict);
    const std::uint32_t bit = bit_of(name);
    if (memo.current(dict, before) && memo.holds(bit)) {
        *found = memo.values[name];
        return *found != nullptr ? 1 : 0;
    }
    // Borrowed: the dict binds it, and nothing runs before the caller's use.
    const int got = qelo::dict_peek(dict, st_->names[name], *found);
    // Remembered only when the lookup changed nothing (a key of another type compared with the
    // name could have run code), and when it succeeded.
    if (got < 0 || before == 0 || stamp(dict) != before) return got;
    if (!memo.current(dict, before)) memo.renew(dict, before);
    memo.put(name, *found);
    return got;
}

inline PyObject* Attrs::peek(PyObject* dict, Name name) const {
    PyObject* found = nullptr;
    if (lookup(dict, name, &found) < 0) PyErr_Clear();
    return found;
}

inline PyObject* const* Attrs::fetch(PyObject* dict, std::uint32_t names) const {
    if (PyObject* const* known = remembered(dict, names)) return known;
    const std::uint32_t missing = names & ~reinterpret_cast<const Instance*>(self_)->memo.known;
    for (std::size_t name = 0; name < kStateNameCount; ++name) {
        PyObject* found = nullptr;
        if ((missing >> name & 1) != 0 && lookup(dict, static_cast<Name>(name), &found) < 0) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return remembered(dict, names);
}

inline bool Attrs::store(PyObject* dict, Name name, PyObject* value) const {
    StateMemo& memo = reinterpret_cast<Instance*>(self_)->memo;
    PyObject* key = st_->names[name];
    const std::uint32_t bit = bit_of(name);
    const std::uint64_t before = memo.dict == dict && memo.holds(bit) ? stamp(dict) : 0;
    PyObject* old = before != 0 && memo.stamp == before ? memo.values[name] : nullptr;
    if (old == nullptr) return PyDict_SetItem(dict, key, value) == 0;  // the memo's own check will tell
    // Binding the object a key already binds is no change: no watcher event, no new version tag.
    if (old == value) return true;
    // Held, the replaced value is not freed during the store: with the key's interned name found by
    // identity, the store then runs no code but watchers', and the memo follows it.
    Ref held = Ref::borrow(old);
    // Tags: another watcher could run code amid the store, before the new tag is set.
    const bool followed = AdapterDicts::stores_followed(dict);
    const bool ok = PyDict_SetItem(dict, key, value) == 0;
    const std::uint64_t after = followed ? stamp(dict) : 0;
    // Watcher: exactly one event (this store's), so nothing else rebound a key of a watched dict.
    if (AdapterDicts::kRoute == memo::Route::kWatcher && after != before + 1) memo.forget();
    if (ok && after != 0 && memo.stamp == before) {
        memo.follow(name, value, after);
    } else {
        memo.forget();
    }
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Small Python-level operations with shortcuts that give the interpreter's own results (state.cpp).

inline Ref call1(PyObject* callable, PyObject* arg) { return Ref(PyObject_CallOneArg(callable, arg)); }
inline Ref add(PyObject* a, PyObject* b) { return Ref(PyNumber_Add(a, b)); }
inline Ref subtract(PyObject* a, PyObject* b) { return Ref(PyNumber_Subtract(a, b)); }
// a < b etc.: 1, 0, or -1 with an exception.
inline int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }
inline Ref empty_bytes() { return Ref(PyBytes_FromStringAndSize(nullptr, 0)); }

// `value` as a Py_ssize_t when it is an exact int in range (no exception either way).
inline bool index_of(PyObject* value, Py_ssize_t* out) { return qelo::compat::exact_int_value(value, out); }

Ref length_of(PyObject* obj);
// seq[start:stop], either bound may be null (omitted).
Ref slice(PyObject* seq, PyObject* start, PyObject* stop);
// self.<name> = self.<name> + amount
bool increment(const Attrs& self, Name name, PyObject* amount);
// The same, with the sum of two exact ints stored through store_index.
bool add_to_counter(const Attrs& self, Name name, PyObject* amount);
// dict[name] = value (an int) on the plain dict, in place when only the dict holds the old int.
bool store_index(const Attrs& self, PyObject* dict, Name name, Py_ssize_t value);
// The same when `current` is what the dict binds to the name, looked up with no code run since
// (inline: the steady small reads move their counter through it).
inline bool store_index_over(const Attrs& self, PyObject* dict, Name name, PyObject* current, Py_ssize_t value) {
    if (current != nullptr && compat::int_set_in_dict(dict, current, value, self.own_watcher())) return true;
    Ref number(PyLong_FromSsize_t(value));
    return number && self.store(dict, name, number.get());
}
// The module namespace (then builtins) at call time.
Ref module_global(ModuleState* st, PyObject* name);
// The one argument of read(count) or write(data); a single positional one is by far the usual call
// (inline: it is on every small read).
inline bool parse_one(const qelo::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** out) {
    if (nargs == 1 && kwnames == nullptr) {
        *out = args[0];
        return true;
    }
    return qelo::parse_args(sig, args, nargs, kwnames, out);
}
// Whether `substream` is exactly io.BytesIO with nothing in its own attribute dict (which could
// shadow read or write): it then reads and writes through the class's own C methods.
bool is_plain_bytesio(ModuleState* st, PyObject* substream);
// What qelo.lib.binary lends through the module that `fn` (a built-in function) belongs to, or
// null (no exception) when `fn` is not such a module's function.
const qelo::BinaryKernels* kernels_of(ModuleState* st, PyObject* fn, PyObject** module);

// ---------------------------------------------------------------------------------------------
// Buffers (buffers.cpp)

// a + b; two exact bytes objects are joined directly, with the interpreter's own results.
Ref concatenate(PyObject* a, PyObject* b);
// self.<name> = self.<name> + tail, where `current` is the value already read from self.<name>.
bool store_concatenation(const Attrs& self, Name name, Ref current, PyObject* tail);
// The same with the n bytes at `tail` (valid until Python code runs) as the tail.
bool store_span_appended(const Attrs& self, Name name, Ref current, const char* tail, Py_ssize_t n);
// self.<name> = self.<name>[removed:], trimming in place when the buffer is unshared.
bool store_tail(const Attrs& self, Name name, PyObject* removed);
// rest = buffer[drop:] stored under `name` in the plain dict: in place when only the dict holds
// the buffer and it is small, else a new object.
bool store_dropped_front(const Attrs& self, PyObject* dict, Name name, PyObject* buffer, Py_ssize_t drop);

// ---------------------------------------------------------------------------------------------
// Methods (restreamed.cpp, rebuffered.cpp); module.cpp gives them their module state.

using Method = PyObject* (*)(PyObject* self, ModuleState* st, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

int restreamed_init(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* restreamed_read(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* restreamed_write(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* restreamed_close(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* restreamed_seek(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);

int rebuffered_init(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* rebuffered_read(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* rebuffered_write(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* rebuffered_seek(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* rebuffered_cachedto(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t, PyObject*);

// The module state of an instance's class (for tp_init), or null with an exception.
ModuleState* instance_state(PyObject* self);

}  // namespace qelo::bitstream
