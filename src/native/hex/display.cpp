// The display classes: plain classes derived from int, bytes and dict whose only behaviour of
// their own is str(). They are made by calling the base's metaclass, as a class statement does,
// so layout, instance dictionaries and subclassing are exactly those of any Python class.
#include "state.hpp"

#include <initializer_list>
#include <utility>

namespace qelo::hex {
namespace {

PyObject* parse_self(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"self"};
    const Signature sig{name, params, 1, 1};
    PyObject* arg[1];
    return parse_args(sig, args, nargs, kwnames, arg) ? arg[0] : nullptr;
}

// "0x" + format(self, self.fmtstr).upper()
PyObject* integer_str(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = parse_self("__str__", args, nargs, kwnames);
    if (self == nullptr) return nullptr;
    // An empty fmtstr formats through str() again: end that in RecursionError.
    RecursionGuard guard(" while converting a HexDisplayedInteger to str");
    if (!guard) return nullptr;
    ModuleState* st = state_of(module);
    Ref fmtstr(PyObject_GetAttr(self, st->names[kFmtstr]));
    if (!fmtstr) return nullptr;
    Ref format = module_global(module, kFormat);
    if (!format) return nullptr;
    PyObject* format_args[] = {self, fmtstr.get()};
    Ref formatted(PyObject_Vectorcall(format.get(), format_args, 2, nullptr));
    if (!formatted) return nullptr;
    Ref upper(PyObject_CallMethodNoArgs(formatted.get(), st->names[kUpper]));
    if (!upper) return nullptr;
    return PyNumber_Add(st->texts[kHexPrefixText], upper.get());
}

// HexDisplayedInteger.new(intvalue, fmtstr)
PyObject* integer_new(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"intvalue", "fmtstr"};
    static const Signature sig{"new", params, 2, 2};
    PyObject* arg[2];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    Ref cls = module_global(module, kHexDisplayedInteger);
    if (!cls) return nullptr;
    Ref obj(PyObject_CallOneArg(cls.get(), arg[0]));
    if (!obj || PyObject_SetAttr(obj.get(), state_of(module)->names[kFmtstr], arg[1]) < 0) return nullptr;
    return obj.release();
}

// "unhexlify(%s)" % (trimstring(binascii.hexlify(x)),)
Ref unhexlify_text(PyObject* module, PyObject* shown) {
    ModuleState* st = state_of(module);
    Ref binascii = module_global(module, kBinascii);
    if (!binascii) return {};
    Ref hexlify(PyObject_GetAttr(binascii.get(), st->names[kHexlify]));
    if (!hexlify) return {};
    Ref digits(PyObject_CallOneArg(hexlify.get(), shown));
    if (!digits) return {};
    Ref trimstring = module_global(module, kTrimstring);
    if (!trimstring) return {};
    Ref trimmed(PyObject_CallOneArg(trimstring.get(), digits.get()));
    if (!trimmed) return {};
    Ref fields(PyTuple_Pack(1, trimmed.get()));
    if (!fields) return {};
    return Ref(PyUnicode_Format(st->texts[kUnhexlifyText], fields.get()));
}

// hexdump(x, 16)
Ref dump_text(PyObject* module, PyObject* shown) {
    Ref hexdump = module_global(module, kHexdump);
    if (!hexdump) return {};
    Ref sixteen(PyLong_FromLong(16));
    if (!sixteen) return {};
    PyObject* call_args[] = {shown, sixteen.get()};
    return Ref(PyObject_Vectorcall(hexdump.get(), call_args, 2, nullptr));
}

enum class Shown { self, data_entry };

using TextMaker = Ref (*)(PyObject* module, PyObject* shown);

// if not hasattr(self, "render"): self.render = <text>; return self.render
template <Shown shown, TextMaker make_text>
PyObject* cached_str(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = parse_self("__str__", args, nargs, kwnames);
    if (self == nullptr) return nullptr;
    PyObject* render = state_of(module)->names[kRender];
    Ref present(PyObject_GetAttr(self, render));
    if (!present) {
        // hasattr() answers False for AttributeError only; other errors propagate.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        Ref entry;
        if constexpr (shown == Shown::data_entry) {
            entry = Ref(PyObject_GetItem(self, state_of(module)->names[kData]));
            if (!entry) return nullptr;
        }
        Ref text = make_text(module, shown == Shown::self ? self : entry.get());
        if (!text || PyObject_SetAttr(self, render, text.get()) < 0) return nullptr;
    }
    return PyObject_GetAttr(self, render);
}

PyMethodDef integer_str_def = {"__str__", as_cfunction(integer_str), kFastcall, nullptr};
PyMethodDef integer_new_def = {"new", as_cfunction(integer_new), kFastcall, nullptr};
PyMethodDef bytes_str_def = {"__str__", as_cfunction(cached_str<Shown::self, unhexlify_text>), kFastcall, nullptr};
PyMethodDef dict_str_def = {"__str__", as_cfunction(cached_str<Shown::data_entry, unhexlify_text>), kFastcall,
                            nullptr};
PyMethodDef dump_bytes_str_def = {"__str__", as_cfunction(cached_str<Shown::self, dump_text>), kFastcall, nullptr};
PyMethodDef dump_dict_str_def = {"__str__", as_cfunction(cached_str<Shown::data_entry, dump_text>), kFastcall,
                                 nullptr};

enum class Binding { instance, static_method };

// A module-level C function that binds like a function defined in a class body.
Ref class_member(PyObject* module, PyMethodDef* def, Binding binding) {
    Ref function(PyCFunction_NewEx(def, module, state_of(module)->texts[kModuleNameText]));
    if (!function) return {};
    return Ref(binding == Binding::instance ? PyInstanceMethod_New(function.get())
                                            : PyStaticMethod_New(function.get()));
}

struct Member {
    PyMethodDef* def;
    Binding binding;
};

bool add_class(PyObject* module, const char* class_name, PyObject* base, std::initializer_list<Member> members) {
    ModuleState* st = state_of(module);
    Ref qualname(PyUnicode_InternFromString(class_name));
    Ref body(PyDict_New());
    if (!qualname || !body) return false;
    if (PyDict_SetItemString(body.get(), "__module__", st->texts[kModuleNameText]) < 0 ||
        PyDict_SetItemString(body.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(body.get(), "__doc__", st->texts[kClassDocText]) < 0) {
        return false;
    }
    for (const Member& member : members) {
        Ref value = class_member(module, member.def, member.binding);
        if (!value || PyDict_SetItemString(body.get(), member.def->ml_name, value.get()) < 0) return false;
    }
    Ref bases(PyTuple_Pack(1, base));
    if (!bases) return false;
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base));
    PyObject* call_args[] = {qualname.get(), bases.get(), body.get()};
    Ref cls(PyObject_Vectorcall(metaclass, call_args, 3, nullptr));
    if (!cls) return false;
    return PyDict_SetItem(PyModule_GetDict(module), qualname.get(), cls.get()) == 0;
}

}  // namespace

bool add_display_classes(PyObject* module) {
    Ref integertypes = module_global(module, kIntegertypes);
    if (!integertypes) return false;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return false;
    Ref integer_base(PyObject_GetItem(integertypes.get(), zero.get()));
    if (!integer_base) return false;
    if (!add_class(module, "HexDisplayedInteger", integer_base.get(),
                   {{&integer_str_def, Binding::instance}, {&integer_new_def, Binding::static_method}})) {
        return false;
    }
    // Each base is looked up when its class statement runs, as in a module body.
    const auto base_of = [module](Name which) { return module_global(module, which); };
    Ref base = base_of(kBytestringtype);
    if (!base || !add_class(module, "HexDisplayedBytes", base.get(), {{&bytes_str_def, Binding::instance}})) return false;
    base = base_of(kDict);
    if (!base || !add_class(module, "HexDisplayedDict", base.get(), {{&dict_str_def, Binding::instance}})) return false;
    base = base_of(kBytestringtype);
    if (!base || !add_class(module, "HexDumpDisplayedBytes", base.get(), {{&dump_bytes_str_def, Binding::instance}})) {
        return false;
    }
    base = base_of(kDict);
    return base && add_class(module, "HexDumpDisplayedDict", base.get(), {{&dump_dict_str_def, Binding::instance}});
}

}  // namespace qelo::hex
