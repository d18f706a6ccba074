// The module qelo.lib.bitstream: its two classes (methods, slots, instance layout) and its
// import-time work.

#include "bitstream.hpp"
#include "members.hpp"

#include <cstring>

namespace qelo::bitstream {

namespace {

// ---------------------------------------------------------------------------------------------
// Instances

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    Py_VISIT(reinterpret_cast<Instance*>(self)->grown.bytes);
    Py_VISIT(reinterpret_cast<Instance*>(self)->watched.dict);
    return 0;
}

// The instance's dict leaves the AdapterDicts domain, so that freeing an adapter is no event for
// the memos of the others (a dict someone else still holds is no longer any memo's concern either).
void leave_adapter_dicts(PyObject* self) { Ref dropped = reinterpret_cast<Instance*>(self)->watched.leave(); }

int instance_clear(PyObject* self) {
    leave_adapter_dicts(self);
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    forget_grown(self);
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    // Unwatching calls no Python code, but must not lose an exception being propagated.
    {
        compat::SavedError saved;
        leave_adapter_dicts(self);
    }
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
// Methods: every one takes the plain fast calling convention (cheaper to call than a method that
// is also given its defining class) and finds the module state through the instance's class.

template <Method Impl>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // An instance of one of the module's own classes (not of a subclass) finds the module one field
    // away; a subclass's walks its MRO.
    PyTypeObject* type = Py_TYPE(self);
    PyObject* module = type->tp_dealloc == instance_dealloc ? PyType_GetModule(type) : PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) return nullptr;
    ModuleState* st = state_of(module);
    if (st->zero == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "qelo.lib.bitstream has been cleared");
        return nullptr;
    }
    return Impl(self, st, args, nargs, kwnames);
}

// The methods both classes share, written once: constant answers and plain attribute reads.
template <const char* Display, bool Answer>
PyObject* constant_answer(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args(Display, nargs, kwnames)) return nullptr;
    return Ref::borrow(Answer ? Py_True : Py_False).release();
}

template <const char* Display, Kind K, Name N>
PyObject* attribute(PyObject* self, ModuleState* st, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args(Display, nargs, kwnames)) return nullptr;
    return Attrs(st, self, K).get(N).release();
}

constexpr char kRestreamedSeekable[] = "RestreamedBytesIO.seekable";
constexpr char kRestreamedTell[] = "RestreamedBytesIO.tell";
constexpr char kRestreamedTellable[] = "RestreamedBytesIO.tellable";
constexpr char kRebufferedSeekable[] = "RebufferedBytesIO.seekable";
constexpr char kRebufferedTell[] = "RebufferedBytesIO.tell";
constexpr char kRebufferedTellable[] = "RebufferedBytesIO.tellable";
constexpr char kRebufferedCachedfrom[] = "RebufferedBytesIO.cachedfrom";
constexpr char kRestreamedGetnewargs[] = "RestreamedBytesIO.__getnewargs__";
constexpr char kRebufferedGetnewargs[] = "RebufferedBytesIO.__getnewargs__";

// Copies and pickles recreate an instance with the class's __new__ and no arguments, then fill its
// dict: the state an ordinary class's instance has. Telling so (no arguments) keeps the default
// state-taking from refusing the class for the fields an instance has beyond its dict and weak
// reference list, which hold only what the adapter remembers about its own dict and rebuilds from it:
// a new instance starts with them empty, whatever dict it is given.
template <const char* Display>
PyObject* no_new_arguments(PyObject*, ModuleState*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args(Display, nargs, kwnames)) return nullptr;
    return PyTuple_New(0);
}

#define QELO_METHOD(name, fn, doc) {name, qelo::as_cfunction(method<fn>), qelo::kFastcall, doc}

PyMethodDef restreamed_methods[] = {
    QELO_METHOD("read", restreamed_read, nullptr),
    QELO_METHOD("write", restreamed_write, nullptr),
    QELO_METHOD("close", restreamed_close, nullptr),
    QELO_METHOD("seek", restreamed_seek, nullptr),
    QELO_METHOD("seekable", (constant_answer<kRestreamedSeekable, false>), nullptr),
    QELO_METHOD("tell", (attribute<kRestreamedTell, kRestreamed, kSincereadwritten>),
                "WARNING: tell is correct only on read-only and write-only instances."),
    QELO_METHOD("tellable", (constant_answer<kRestreamedTellable, true>), nullptr),
    QELO_METHOD("__getnewargs__", no_new_arguments<kRestreamedGetnewargs>, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rebuffered_methods[] = {
    QELO_METHOD("read", rebuffered_read, nullptr),
    QELO_METHOD("write", rebuffered_write, nullptr),
    QELO_METHOD("seek", rebuffered_seek, nullptr),
    QELO_METHOD("seekable", (constant_answer<kRebufferedSeekable, true>), nullptr),
    QELO_METHOD("tell", (attribute<kRebufferedTell, kRebuffered, kOffset>), nullptr),
    QELO_METHOD("tellable", (constant_answer<kRebufferedTellable, true>), nullptr),
    QELO_METHOD("cachedfrom", (attribute<kRebufferedCachedfrom, kRebuffered, kMoved>), nullptr),
    QELO_METHOD("cachedto", rebuffered_cachedto, nullptr),
    QELO_METHOD("__getnewargs__", no_new_arguments<kRebufferedGetnewargs>, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

#undef QELO_METHOD

// ---------------------------------------------------------------------------------------------
// Types

// No tp_new: the classes inherit object.__new__, as an ordinary class does, which also lets the
// reconstructor of pickle protocols 0 and 1 (object.__new__(cls)) make instances.
template <int (*Init)(PyObject*, PyObject*, PyObject*), PyMethodDef* Methods>
PyType_Slot type_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(Init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_methods, Methods},
    {Py_tp_members, instance_members},
    {Py_tp_getset, instance_getset},
    {0, nullptr},
};

constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec restreamed_spec = {"qelo.lib.bitstream.RestreamedBytesIO", sizeof(Instance), 0, kTypeFlags,
                               type_slots<restreamed_init, restreamed_methods>};
PyType_Spec rebuffered_spec = {"qelo.lib.bitstream.RebufferedBytesIO", sizeof(Instance), 0, kTypeFlags,
                               type_slots<rebuffered_init, rebuffered_methods>};

// ---------------------------------------------------------------------------------------------
// Module

// from <module> import <name>
bool import_name(PyObject* module, const char* source, const char* name) {
    Ref imported(PyImport_ImportModule(source));
    if (!imported) return false;
    Ref value(PyObject_GetAttrString(imported.get(), name));
    if (!value) return false;
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

// The class is named as an ordinary class is: its bare __name__, which is also what the
// interpreter's messages about its instances show ("'RestreamedBytesIO' object has no attribute
// ..."); __module__ stays qelo.lib.bitstream.
bool add_class(PyObject* module, PyType_Spec* type_spec, PyObject** slot) {
    PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
    if (type == nullptr) return false;
    *slot = type;
    const char* dot = std::strrchr(type_spec->name, '.');
    Ref name(PyUnicode_FromString(dot + 1));
    if (!name || PyObject_SetAttrString(type, "__name__", name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, dot + 1, type) == 0;
}

// `name` of `cls` when it is a C method that the class itself defines (its __objclass__), else null.
Ref own_c_method(PyTypeObject* cls, PyObject* name) {
    PyObject* found = compat::type_lookup(cls, name);
    if (found == nullptr || !Py_IS_TYPE(found, &PyMethodDescr_Type)) return Ref();
    Ref held = Ref::borrow(found);
    Ref owner(PyObject_GetAttrString(held.get(), "__objclass__"));
    if (!owner) {
        PyErr_Clear();
        return Ref();
    }
    return owner.get() == reinterpret_cast<PyObject*>(cls) ? std::move(held) : Ref();
}

// Remembers io.BytesIO when its read and write are the C methods the class itself defines and
// nobody can rebind them (an immutable type): an instance of exactly that class, with nothing in its
// own attribute dict, then reads and writes through those methods and runs no Python code doing so.
bool capture_bytesio(ModuleState* st) {
    Ref io(PyImport_ImportModule("io"));
    if (!io) return false;
    Ref type(PyObject_GetAttrString(io.get(), "BytesIO"));
    if (!type) return false;
    if (!PyType_Check(type.get())) return true;
    auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
    if (std::strcmp(cls->tp_name, "_io.BytesIO") != 0 || !PyType_HasFeature(cls, Py_TPFLAGS_IMMUTABLETYPE) ||
        cls->tp_getattro != PyObject_GenericGetAttr || cls->tp_dictoffset <= 0) {
        return true;
    }
    Ref read = own_c_method(cls, st->names[kRead]);
    Ref write = own_c_method(cls, st->names[kWrite]);
    if (!read || !write) return true;
    st->bytesio_direct = compat::bytesio_layout_verified(type.get());
    st->bytesio_read = read.release();
    st->bytesio_write = write.release();
    st->bytesio_type = type.release();
    return true;
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    st->module = module;
    // The domain's watcher is shared by every instance of the module in this interpreter (and by a
    // re-import); none (memos off) when every watcher slot is taken.
    if (!st->adapter_dicts.open()) return -1;
    if (!st->names.init(kNameTexts)) return -1;
    st->zero = PyLong_FromLong(0);
    st->one = PyLong_FromLong(1);
    st->poll_size = PyLong_FromSsize_t(kPollSize);
    if (st->zero == nullptr || st->one == nullptr || st->poll_size == nullptr) return -1;
    const bool ok = import_name(module, "io", "BlockingIOError") && import_name(module, "time", "sleep") &&
                    import_name(module, "sys", "maxsize") && add_class(module, &restreamed_spec, &st->restreamed_type) &&
                    add_class(module, &rebuffered_spec, &st->rebuffered_type) && capture_bytesio(st);
    return ok ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    if (int err = st->names.traverse(visit, arg)) return err;
    Py_VISIT(st->restreamed_type);
    Py_VISIT(st->rebuffered_type);
    Py_VISIT(st->bytesio_type);
    Py_VISIT(st->bytesio_read);
    Py_VISIT(st->bytesio_write);
    Py_VISIT(st->kernels_owner.ref);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.clear();
    Py_CLEAR(st->restreamed_type);
    Py_CLEAR(st->rebuffered_type);
    Py_CLEAR(st->zero);
    Py_CLEAR(st->one);
    Py_CLEAR(st->poll_size);
    st->plain[0].forget();
    st->plain[1].forget();
    Py_CLEAR(st->bytesio_type);
    st->bytesio_direct = false;
    Py_CLEAR(st->bytesio_read);
    Py_CLEAR(st->bytesio_write);
    st->kernels_owner.clear();
    st->bytes2bits_ready_at = 0;
    st->kernels = nullptr;
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= QELO_PY312
    // All state is per module object, so each interpreter (and its own GIL) is independent.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qelo.lib.bitstream",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace qelo::bitstream

PyMODINIT_FUNC PyInit_bitstream() { return PyModuleDef_Init(&qelo::bitstream::module_def); }
