// qelo.expr: the two text forms. A tree of exact, plain nodes is written in one pass into one
// writer; any other object in it (an operand, a node of a subclass or of a changed class) gives
// its text through repr() or str() as the formats do.
#include "expr.hpp"

namespace qelo::expr {

Ref symbol_of(ExprState* st, PyObject* op) {
    Ref opnames = module_global(st, N_opnames);
    if (!opnames) return Ref();
    return Ref(PyObject_GetItem(opnames.get(), op));
}

namespace {

const char kTextWhere[] = " while getting the text of an expression";

// Which of the module's exact, plain classes `obj` is an instance of; EXPRMIXIN for none.
Kind plain_kind(ExprState* st, PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    for (int k = UNIEXPR; k < KIND_COUNT; ++k) {
        if (tp == st->types[k]) return is_plain(st, static_cast<Kind>(k)) ? static_cast<Kind>(k) : EXPRMIXIN;
    }
    return EXPRMIXIN;
}

struct Text {
    ExprState* st;
    PyThreadState* ts;
    compat::TextWriter& out;

    // repr(obj) or str(obj), as "%r" and "%s" format it.
    bool object(PyObject* obj, bool as_repr) {
        if (!as_repr && PyUnicode_CheckExact(obj)) return out.write_str(obj);
        if (Kind kind = plain_kind(st, obj); kind != EXPRMIXIN) return node(obj, kind, as_repr);
        Ref text(as_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
        return text && out.write_str(text.get());
    }

    // The fields of an exact, plain node, held (code runs while they are written).
    bool fields(PyObject* self, Kind kind, std::array<Ref, 3>& held) {
        PyObject* const* fields = plain_fields(st, self, kind);
        if (fields != nullptr) {
            for (std::size_t i = 0; i < kFields[kind].count; ++i) held[i] = Ref::borrow(fields[i]);
            return true;
        }
        if (PyErr_Occurred()) return false;
        for (std::size_t i = 0; i < kFields[kind].count; ++i) {
            held[i] = read_slot(st, self, kind, static_cast<int>(i), false);
            if (!held[i]) return false;
        }
        return true;
    }

    // The node's text written out; a root path is its stored name, which must be a str.
    bool node(PyObject* self, Kind kind, bool as_repr) {
        compat::DepthGuard guard(ts, kTextWhere);
        if (!guard) return false;
        std::array<Ref, 3> f;
        if (!fields(self, kind, f)) return false;
        switch (kind) {
            case BINEXPR: {
                // lhs read, symbol looked up, rhs read, then formatted (fields hold all three).
                Ref symbol = symbol_of(st, f[0].get());
                if (!symbol) return false;
                return out.write_ascii("(", 1) && object(f[1].get(), as_repr) && out.write_ascii(" ", 1) &&
                       object(symbol.get(), false) && out.write_ascii(" ", 1) && object(f[2].get(), as_repr) &&
                       out.write_ascii(")", 1);
            }
            case UNIEXPR: {
                Ref symbol = symbol_of(st, f[0].get());
                if (!symbol) return false;
                return object(symbol.get(), false) && out.write_ascii(" ", 1) && object(f[1].get(), as_repr);
            }
            case PATH:
                if (f[2].get() == Py_None) return root(f[0].get(), as_repr);
                if (as_repr) return object(f[2].get(), true) && out.write_ascii(".", 1) && object(f[1].get(), false);
                return object(f[2].get(), false) && out.write_ascii("[", 1) && object(f[1].get(), true) &&
                       out.write_ascii("]", 1);
            case PATH2:
                // No str of its own: both forms are the repr.
                if (f[2].get() == Py_None) return root(f[0].get(), true);
                return object(f[2].get(), true) && out.write_ascii("[", 1) && object(f[1].get(), true) &&
                       out.write_ascii("]", 1);
            case FUNCPATH: {
                Ref name(PyObject_GetAttr(f[0].get(), st->name(N___name__)));
                if (!name || !object(name.get(), false) || !out.write_ascii("_", 1)) return false;
                if (f[1].get() == Py_None) return true;
                return out.write_ascii("(", 1) && object(f[1].get(), as_repr) && out.write_ascii(")", 1);
            }
            default:
                PyErr_SetString(PyExc_SystemError, "qelo.expr: not a node class");
                return false;
        }
    }

    // A root's text is its name, which repr() and str() insist be a str.
    bool root(PyObject* name, bool as_repr) {
        if (PyUnicode_CheckExact(name)) return out.write_str(name);
        if (PyUnicode_Check(name)) {
            Ref exact(PyUnicode_FromObject(name));
            return exact && out.write_str(exact.get());
        }
        PyErr_Format(PyExc_TypeError, "%s returned non-string (type %.200s)", as_repr ? "__repr__" : "__str__",
                     Py_TYPE(name)->tp_name);
        return false;
    }
};

// The general route, for a node of any class (a subclass, a changed class, another object given
// to a method by name): every field read through getattr, children formatted by repr()/str().
PyObject* general_text(ExprState* st, PyObject* self, Kind kind, bool as_repr) {
    RecursionGuard guard(kTextWhere);
    if (!guard) return nullptr;
    auto field = [&](int i) { return read_slot(st, self, kind, i, false); };
    switch (kind) {
        case UNIEXPR: {
            Ref op = field(0);
            if (!op) return nullptr;
            Ref symbol = symbol_of(st, op.get());
            if (!symbol) return nullptr;
            Ref operand = field(1);
            if (!operand) return nullptr;
            return PyUnicode_FromFormat(as_repr ? "%S %R" : "%S %S", symbol.get(), operand.get());
        }
        case BINEXPR: {
            Ref lhs = field(1);
            if (!lhs) return nullptr;
            Ref op = field(0);
            if (!op) return nullptr;
            Ref symbol = symbol_of(st, op.get());
            if (!symbol) return nullptr;
            Ref rhs = field(2);
            if (!rhs) return nullptr;
            return PyUnicode_FromFormat(as_repr ? "(%R %S %R)" : "(%S %S %S)", lhs.get(), symbol.get(), rhs.get());
        }
        case PATH:
        case PATH2: {
            Ref parent = field(2);
            if (!parent) return nullptr;
            if (parent.get() == Py_None) return field(0).release();
            Ref key = field(1);
            if (!key) return nullptr;
            if (kind == PATH2) return PyUnicode_FromFormat("%R[%R]", parent.get(), key.get());
            return PyUnicode_FromFormat(as_repr ? "%R.%S" : "%S[%R]", parent.get(), key.get());
        }
        case FUNCPATH: {
            Ref operand = field(1);
            if (!operand) return nullptr;
            Ref func = field(0);
            if (!func) return nullptr;
            Ref name(PyObject_GetAttr(func.get(), st->name(N___name__)));
            if (!name) return nullptr;
            if (operand.get() == Py_None) return PyUnicode_FromFormat("%S_", name.get());
            return PyUnicode_FromFormat(as_repr ? "%S_(%R)" : "%S_(%S)", name.get(), operand.get());
        }
        default:
            PyErr_SetString(PyExc_SystemError, "qelo.expr: not a node class");
            return nullptr;
    }
}

template <Kind K, bool AsRepr>
PyObject* text_slot(PyObject* self) {
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return node_text(st, self, K, AsRepr);
}

}  // namespace

PyObject* node_text(ExprState* st, PyObject* self, Kind kind, bool as_repr) {
    if (!exact_plain(st, self, kind)) return general_text(st, self, kind, as_repr);
    if (kind == PATH || kind == PATH2) {
        // A root's text is the stored name object itself.
        Ref parent = read_slot(st, self, kind, 2, true);
        if (!parent) return nullptr;
        if (parent.get() == Py_None) return read_slot(st, self, kind, 0, exact_plain(st, self, kind)).release();
    }
    compat::TextWriter out;
    if (!out.ok()) return nullptr;
    Text text{st, PyThreadState_Get(), out};
    if (!text.node(self, kind, as_repr)) return nullptr;
    return out.finish();
}

PyObject* uniexpr_repr(PyObject* self) { return text_slot<UNIEXPR, true>(self); }
PyObject* uniexpr_str(PyObject* self) { return text_slot<UNIEXPR, false>(self); }
PyObject* binexpr_repr(PyObject* self) { return text_slot<BINEXPR, true>(self); }
PyObject* binexpr_str(PyObject* self) { return text_slot<BINEXPR, false>(self); }
PyObject* path_repr(PyObject* self) { return text_slot<PATH, true>(self); }
PyObject* path_str(PyObject* self) { return text_slot<PATH, false>(self); }
PyObject* path2_repr(PyObject* self) { return text_slot<PATH2, true>(self); }
PyObject* funcpath_repr(PyObject* self) { return text_slot<FUNCPATH, true>(self); }
PyObject* funcpath_str(PyObject* self) { return text_slot<FUNCPATH, false>(self); }

}  // namespace qelo::expr
