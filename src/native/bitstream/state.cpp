// Attribute access by name at every use, and the small operations both classes share.

#include "bitstream.hpp"

#include <cstring>

namespace qelo::bitstream {

// ---------------------------------------------------------------------------------------------
// Attribute access

Ref Attrs::get(Name name) const {
    PyObject* key = st_->names[name];
    if (PyObject* dict = plain_dict()) {
        PyObject* found = nullptr;
        const int got = lookup(dict, name, &found);
        if (got > 0) return Ref::borrow(found);
        if (got < 0) return Ref();
    }
    return Ref(PyObject_GetAttr(self_, key));
}

bool Attrs::set(Name name, PyObject* value) const {
    // A replaced window is not kept alive by its growth record.
    if (name == kRwbuffer && value != grown().bytes) forget_grown(self_);
    if (PyObject* dict = plain_dict()) return store(dict, name, value);
    return PyObject_SetAttr(self_, st_->names[name], value) == 0;
}

bool Attrs::watch(PyObject* dict) const {
    auto* instance = reinterpret_cast<Instance*>(self_);
    // A dict the instance no longer binds leaves the domain: its later events are no change of any
    // memo. Dropped last (freeing a dict's contents may run code); the stamp is read after.
    Ref previous;
    if (!st_->adapter_dicts.watch(instance->watched, dict, previous)) return false;
    // A dict newly watched may sit where a freed one the memo remembers did: no stamp taken before
    // this moment is valid for it.
    instance->memo.forget();
    return true;
}

bool Attrs::take_unshared_bytes(Name name, const Ref& held) const {
    PyObject* obj = held.get();
    if (!PyBytes_CheckExact(obj) || !compat::owned_only_by(obj, 2)) return false;
    PyObject* dict = plain_dict();
    // A watcher would see the placeholder (and could run code while it is there).
    if (dict == nullptr || !compat::dict_unwatched(dict, own_watcher())) return false;
    if (peek(dict, name) != obj) return false;
    // `held` keeps the replaced value alive, so nothing runs during the replacement.
    if (!store(dict, name, Py_None)) {
        PyErr_Clear();
        return false;
    }
    return compat::owned_only_by(obj, 1);
}

// ---------------------------------------------------------------------------------------------
// Small operations

Ref length_of(PyObject* obj) {
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) return Ref();
    return Ref(PyLong_FromSsize_t(n));
}

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

bool increment(const Attrs& self, Name name, PyObject* amount) {
    Ref current = self.get(name);
    if (!current) return false;
    Ref sum = add(current.get(), amount);
    if (!sum) return false;
    return self.set(name, sum.get());
}

bool store_index(const Attrs& self, PyObject* dict, Name name, Py_ssize_t value) {
    PyObject* current = nullptr;
    if (self.lookup(dict, name, &current) < 0) return false;
    return store_index_over(self, dict, name, current, value);
}

bool add_to_counter(const Attrs& self, Name name, PyObject* amount) {
    Py_ssize_t step = 0, before = 0, after = 0;
    PyObject* dict = self.plain_dict();
    if (dict != nullptr && index_of(amount, &step)) {
        // The sum of two exact ints runs no code, so reading the counter once is reading it at its use.
        PyObject* current = nullptr;
        if (self.lookup(dict, name, &current) < 0) return false;
        if (index_of(current, &before) && !__builtin_add_overflow(before, step, &after)) {
            return store_index_over(self, dict, name, current, after);
        }
    }
    return increment(self, name, amount);
}

Ref module_global(ModuleState* st, PyObject* name) { return qelo::lookup_global(PyModule_GetDict(st->module), name); }

bool is_plain_bytesio(ModuleState* st, PyObject* substream) {
    if (st->bytesio_type == nullptr || Py_TYPE(substream) != reinterpret_cast<PyTypeObject*>(st->bytesio_type)) {
        return false;
    }
    Ref holder;
    PyObject* own = compat::instance_dict_at_offset(substream, holder);
    return own == nullptr || (PyDict_Check(own) && PyDict_GET_SIZE(own) == 0);
}

const qelo::BinaryKernels* kernels_of(ModuleState* st, PyObject* fn, PyObject** module) {
    if (!Py_IS_TYPE(fn, &PyCFunction_Type)) return nullptr;
    PyObject* owner = PyCFunction_GET_SELF(fn);
    if (owner == nullptr || !PyModule_CheckExact(owner)) return nullptr;
    *module = owner;
    // What a module object lends never changes: the capsule is read once per module object.
    if (st->kernels_owner.is(owner)) return st->kernels;
    // A module that lends nothing, or whose lookup raised, is no kernels' module.
    Ref capsule;
    const int found = qelo::dict_get(PyModule_GetDict(owner), st->names[kKernels], capsule);
    if (found < 0) PyErr_Clear();
    if (found <= 0 || !PyCapsule_CheckExact(capsule.get())) return nullptr;
    const auto* kernels =
        static_cast<const qelo::BinaryKernels*>(PyCapsule_GetPointer(capsule.get(), qelo::kBinaryKernelsCapsule));
    if (kernels == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    st->kernels_owner.hold(owner);
    st->kernels = kernels;
    st->bytes2bits_ready_at = 0;
    return kernels;
}

ModuleState* instance_state(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    return module == nullptr ? nullptr : state_of(module);
}

}  // namespace qelo::bitstream
