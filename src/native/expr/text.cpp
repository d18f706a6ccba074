// qelo.expr: the two text forms. A tree of exact, plain nodes is written in one pass into one
// writer; any other object in it (an operand, a node of a subclass or of a changed class) gives
// its text through repr() or str() as the formats do.
#include "text.hpp"
#include "classes.hpp"
#include "depth.hpp"
#include "eval.hpp"
#include "fields.hpp"

namespace qelo::expr {

Ref symbol_of(ModuleState* st, PyObject* op) {
    Ref opnames = module_global(st, kOpnames);
    if (!opnames) return Ref();
    return Ref(PyObject_GetItem(opnames.get(), op));
}

void clear_text_caches(ModuleState* st) {
    for (PyObject*& o : st->padded_symbols.values) Py_CLEAR(o);
    st->padded_symbols.renew(nullptr, 0);
    for (PyObject*& o : st->named_functions) Py_CLEAR(o);
    for (PyObject*& o : st->function_names) Py_CLEAR(o);
}

namespace {

// " <opnames[op]> " for an original operator function, from the cache while opnames and the
// namespace are unchanged (a borrowed reference); null with no exception when it must be looked up.
PyObject* cached_padded_symbol(ModuleState* st, PyObject* op) {
    const auto& memo = st->padded_symbols;
    const int index = original_index(st, op);
    if (index < 0 || !memo.holds(memo.bit(index)) || !memo.current(memo.dict, st->namespaces.stamp(st->globals, memo.dict))) {
        return nullptr;
    }
    return memo.values[index];
}

// Remembers " <symbol> " for `op` when it is an original and opnames, the exact dict bound in
// the namespace, can be watched. Never raises.
void remember_symbol(ModuleState* st, PyObject* op, PyObject* symbol) {
    const int index = original_index(st, op);
    if (index < 0 || !PyUnicode_CheckExact(symbol) || !st->globals_watched) return;
    PyObject* opnames = peek_global(st, kOpnames);
    if (opnames == nullptr || !PyDict_CheckExact(opnames)) return;
    auto& memo = st->padded_symbols;
    if (opnames != memo.dict) {
        clear_text_caches(st);
        if (!st->namespaces.watch(opnames)) return;
        memo.renew(opnames, 0);
    }
    const std::uint64_t stamp = globals_stamp_with(st, opnames);
    if (stamp == 0) return;
    if (!memo.current(opnames, stamp)) {
        for (PyObject*& o : memo.values) Py_CLEAR(o);
        memo.renew(opnames, stamp);
    }
    // Confirmed afresh: the symbol is still what opnames holds for op (no code runs here: the
    // key is a builtin function, hashed and compared by identity).
    if (PyDict_GetItemWithError(opnames, op) != symbol) {
        PyErr_Clear();
        return;
    }
    PyObject* padded = PyUnicode_FromFormat(" %U ", symbol);
    if (padded == nullptr) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(memo.values[index]);
    memo.put(index, padded);
}

// func.__name__, remembered for the builtin functions of modules (len, abs ...), whose name
// cannot change; a builtin method bound to some other object is not kept alive here.
Ref function_name(ModuleState* st, PyObject* func) {
    bool fixed = PyCFunction_CheckExact(func);
    if (fixed) {
        PyObject* owner = PyCFunction_GET_SELF(func);
        fixed = owner == nullptr || PyModule_CheckExact(owner);
    }
    if (fixed) {
        for (int i = 0; i < ModuleState::kNames; ++i) {
            if (st->named_functions[i] == func) return Ref::borrow(st->function_names[i]);
        }
    }
    Ref name(PyObject_GetAttr(func, st->name(kDunderName)));
    if (name && fixed && PyUnicode_CheckExact(name.get())) {
        const int slot = st->next_name;
        st->next_name = (slot + 1) % ModuleState::kNames;
        Py_XSETREF(st->named_functions[slot], Py_NewRef(func));
        Py_XSETREF(st->function_names[slot], Py_NewRef(name.get()));
    }
    return name;
}

// True when func.__name__ is remembered (function_name then runs no code).
bool function_name_known(ModuleState* st, PyObject* func) {
    for (PyObject* known : st->named_functions) {
        if (known == func) return true;
    }
    return false;
}

const char kTextWhere[] = " while getting the text of an expression";

// True while the exact class `kind` has the text slots it was created with. Path2 has no __str__
// of its own: its str is object's, which asks its repr.
bool own_text_slots(PyTypeObject* tp, Kind kind) {
    static const std::array<std::pair<reprfunc, reprfunc>, kKindCount> kOriginal{{
        {nullptr, nullptr},
        {uniexpr_repr, uniexpr_str},
        {binexpr_repr, binexpr_str},
        {path_repr, path_str},
        {path2_repr, PyBaseObject_Type.tp_str},
        {funcpath_repr, funcpath_str},
    }};
    return tp->tp_repr == kOriginal[kind].first && tp->tp_str == kOriginal[kind].second;
}

// Which of the module's exact, plain classes `obj` is an instance of, when that class's text forms
// are still its own (no __repr__ or __str__ assigned on it or a base since); kExprMixinKind otherwise.
// The text forms format operands and parents through their classes' methods, so only then may a
// node's text be written inline instead of asked of repr() or str().
Kind text_kind(ModuleState* st, PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    for (int k = kUniExprKind; k < kKindCount; ++k) {
        if (tp != st->types[k]) continue;
        const Kind kind = static_cast<Kind>(k);
        return own_text_slots(tp, kind) && is_plain(st, kind) ? kind : kExprMixinKind;
    }
    return kExprMixinKind;
}

struct Text {
    ModuleState* st;
    PyThreadState* ts;
    compat::TextWriter& out;
    int depth = 0;

    // repr(obj) or str(obj), as "%r" and "%s" format it.
    bool object(PyObject* obj, bool as_repr) {
        if (PyUnicode_CheckExact(obj)) return as_repr ? str_repr(obj) : out.write_str(obj);
        if (PyLong_CheckExact(obj)) {
            // An exact int that fits a long reads the same in both forms: its decimal digits. (An
            // exact int is read without calling anything, so this never raises: `overflow` tells.)
            int overflow = 0;
            const long value = PyLong_AsLongAndOverflow(obj, &overflow);
            if (overflow == 0) {
                char digits[24];
                char* end = digits + sizeof digits;
                char* p = end;
                unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
                do {
                    *--p = static_cast<char>('0' + magnitude % 10);
                    magnitude /= 10;
                } while (magnitude != 0);
                if (value < 0) *--p = '-';
                return out.write_ascii(p, end - p);
            }
        }
        if (Kind kind = text_kind(st, obj); kind != kExprMixinKind) return node(obj, kind, as_repr);
        Ref text(as_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
        return text && out.write_str(text.get());
    }

    // repr of an exact str: a printable ASCII text without quotes or backslashes is written between
    // single quotes, as str's own repr writes it; anything else is left to that repr.
    bool str_repr(PyObject* text) {
        if (plain_ascii(text)) return out.write_ascii("'", 1) && out.write_str(text) && out.write_ascii("'", 1);
        Ref shown(PyObject_Repr(text));
        return shown && out.write_str(shown.get());
    }
    // An exact str of printable ASCII without quotes or backslashes.
    static bool plain_ascii(PyObject* text) {
        if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const auto* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char c = chars[i];
            if (c < 0x20 || c >= 0x7f || c == '\'' || c == '\\') return false;
        }
        return true;
    }

    // The fields of a node being written, read as its class's method reads them: each one only
    // when the method reads it, in the same order. From the field cache while it is current (no
    // code ran since it was taken), else the general way.
    struct FieldReader {
        Text& text;
        PyObject* self;
        Kind kind;
        PyObject* const* cached;

        Ref get(int i) {
            if (cached != nullptr) return Ref::borrow(cached[i]);
            return read_slot(text.st, self, kind, i, exact_plain(text.st, self, kind));
        }
        // After something that may have run code: the cache is asked again before the next read.
        bool ran() { return fields_if_plain(text.st, self, kind, cached) != Fast::Failed; }
    };

    // The node's text written out; a root path is its stored name, which must be a str.
    bool node(PyObject* self, Kind kind, bool as_repr) {
        DepthGuard guard(ts, kTextWhere, depth);
        if (!guard) return false;
        // The node is of the exact, plain class `kind` here (the caller checked, and no code ran).
        FieldReader f{*this, self, kind, nullptr};
        if (plain_fields(st, self, kind, f.cached) == Fast::Failed) return false;
        switch (kind) {
            case kBinExprKind: {
                // lhs read, the symbol looked up, rhs read, then formatted.
                Ref lhs = f.get(1);
                if (!lhs) return false;
                Ref op = f.get(0);
                if (!op) return false;
                if (PyObject* padded = cached_padded_symbol(st, op.get())) {
                    Ref held = Ref::borrow(padded);
                    Ref rhs = f.get(2);
                    return rhs && out.write_ascii("(", 1) && object(lhs.get(), as_repr) && out.write_str(padded) &&
                           object(rhs.get(), as_repr) && out.write_ascii(")", 1);
                }
                Ref symbol = symbol_of(st, op.get());
                if (!symbol || !f.ran()) return false;
                remember_symbol(st, op.get(), symbol.get());
                Ref rhs = f.get(2);
                return rhs && out.write_ascii("(", 1) && object(lhs.get(), as_repr) && out.write_ascii(" ", 1) &&
                       object(symbol.get(), false) && out.write_ascii(" ", 1) && object(rhs.get(), as_repr) &&
                       out.write_ascii(")", 1);
            }
            case kUniExprKind: {
                Ref op = f.get(0);
                if (!op) return false;
                Ref symbol = symbol_of(st, op.get());
                if (!symbol || !f.ran()) return false;
                Ref operand = f.get(1);
                return operand && object(symbol.get(), false) && out.write_ascii(" ", 1) &&
                       object(operand.get(), as_repr);
            }
            case kPathKind:
            case kPath2Kind: {
                // The name only for a root; the parent and the key of any other path.
                Ref parent = f.get(2);
                if (!parent) return false;
                if (parent.get() == Py_None) {
                    // str() of a Path2 is object's, which hands back what its repr returned: a
                    // name that is no str is then refused as str()'s result.
                    Ref name = f.get(0);
                    return name && root(self, name.get(), as_repr);
                }
                Ref key = f.get(1);
                if (!key) return false;
                if (kind == kPath2Kind) {
                    // No str of its own: both forms are the repr.
                    return object(parent.get(), true) && out.write_ascii("[", 1) && object(key.get(), true) &&
                           out.write_ascii("]", 1);
                }
                if (!this->parent(parent.get(), as_repr)) return false;
                if (as_repr) return out.write_ascii(".", 1) && object(key.get(), false);
                if (plain_ascii(key.get())) {
                    // ['field'] in three pieces: what str's repr writes, within the brackets.
                    return out.write_ascii("['", 2) && out.write_str(key.get()) && out.write_ascii("']", 2);
                }
                return out.write_ascii("[", 1) && object(key.get(), true) && out.write_ascii("]", 1);
            }
            case kFuncPathKind: {
                Ref operand = f.get(1);
                if (!operand) return false;
                Ref func = f.get(0);
                if (!func) return false;
                // A name that is not one remembered may be a property: the operand is read again after.
                const bool remembered = function_name_known(st, func.get());
                Ref name = function_name(st, func.get());
                if (!name) return false;
                if (operand.get() != Py_None) {
                    if (!remembered) {
                        if (!f.ran()) return false;
                        operand = f.get(1);
                        if (!operand) return false;
                    }
                    return object(name.get(), false) && out.write_ascii("_(", 2) && object(operand.get(), as_repr) &&
                           out.write_ascii(")", 1);
                }
                return object(name.get(), false) && out.write_ascii("_", 1);
            }
            default:
                PyErr_SetString(PyExc_SystemError, "qelo.expr: not a node class");
                return false;
        }
    }

    // The parent of a path: a plain root Path contributes its name without a level of its own.
    bool parent(PyObject* obj, bool as_repr) {
        PyTypeObject* tp = Py_TYPE(obj);
        if (tp == st->types[kPathKind] && own_text_slots(tp, kPathKind) && is_plain(st, kPathKind)) {
            PyObject* const* pf = nullptr;
            if (plain_fields(st, obj, kPathKind, pf) == Fast::Failed) return false;
            if (pf != nullptr && pf[2] == Py_None) {
                Ref name = Ref::borrow(pf[0]);
                return root(obj, name.get(), as_repr);
            }
        }
        return object(obj, as_repr);
    }

    // A root's text is its name, which repr() and str() insist be a str.
    // Any other name is refused by repr()/str() of the root itself, in the interpreter's own
    // words (which differ between releases).
    bool root(PyObject* node, PyObject* name, bool as_repr) {
        if (PyUnicode_CheckExact(name)) return out.write_str(name);
        if (PyUnicode_Check(name)) {
            Ref exact(PyUnicode_FromObject(name));
            return exact && out.write_str(exact.get());
        }
        Ref held = Ref::borrow(node);
        Ref text(as_repr ? PyObject_Repr(node) : PyObject_Str(node));
        return text && out.write_str(text.get());
    }
};

// The general route, for a node of any class (a subclass, a changed class, another object given
// to a method by name): every field read through getattr, children formatted by repr()/str().
[[gnu::noinline]] PyObject* general_text(ModuleState* st, PyObject* self, Kind kind, bool as_repr) {
    int depth = 0;  // one level: each child's text is a call of its own
    DepthGuard guard(guard_thread_state(), kTextWhere, depth);
    if (!guard) return nullptr;
    auto field = [&](int i) { return read_slot(st, self, kind, i, false); };
    switch (kind) {
        case kUniExprKind: {
            Ref op = field(0);
            if (!op) return nullptr;
            Ref symbol = symbol_of(st, op.get());
            if (!symbol) return nullptr;
            Ref operand = field(1);
            if (!operand) return nullptr;
            return PyUnicode_FromFormat(as_repr ? "%S %R" : "%S %S", symbol.get(), operand.get());
        }
        case kBinExprKind: {
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
        case kPathKind:
        case kPath2Kind: {
            // As the methods read: the parent, then the name of a root, or the parent again and the key.
            Ref parent = field(2);
            if (!parent) return nullptr;
            if (parent.get() == Py_None) return field(0).release();
            parent = field(2);
            if (!parent) return nullptr;
            Ref key = field(1);
            if (!key) return nullptr;
            if (kind == kPath2Kind) return PyUnicode_FromFormat("%R[%R]", parent.get(), key.get());
            return PyUnicode_FromFormat(as_repr ? "%R.%S" : "%S[%R]", parent.get(), key.get());
        }
        case kFuncPathKind: {
            // The operand, the function's name, and the operand again when there is one.
            Ref operand = field(1);
            if (!operand) return nullptr;
            const bool bound = operand.get() != Py_None;
            Ref func = field(0);
            if (!func) return nullptr;
            Ref name(PyObject_GetAttr(func.get(), st->name(kDunderName)));
            if (!name) return nullptr;
            if (!bound) return PyUnicode_FromFormat("%S_", name.get());
            operand = field(1);
            if (!operand) return nullptr;
            return PyUnicode_FromFormat(as_repr ? "%S_(%R)" : "%S_(%S)", name.get(), operand.get());
        }
        default:
            PyErr_SetString(PyExc_SystemError, "qelo.expr: not a node class");
            return nullptr;
    }
}

// The text of an exact, plain node in one walk. Out of line: the writer's buffer must not weigh
// on the frames of the general route, which recurses through repr() once per level.
[[gnu::noinline]] PyObject* plain_text(ModuleState* st, PyObject* self, Kind kind, bool as_repr) {
    compat::TextWriter out(128);
    Text text{st, guard_thread_state(), out};
    if (!text.node(self, kind, as_repr)) return nullptr;
    return out.finish();
}

template <Kind K, bool AsRepr>
PyObject* text_slot(PyObject* self) {
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return node_text(st, self, K, AsRepr);
}

}  // namespace

PyObject* node_text(ModuleState* st, PyObject* self, Kind kind, bool as_repr) {
    if (!exact_plain(st, self, kind)) return general_text(st, self, kind, as_repr);
    if (kind == kPathKind || kind == kPath2Kind) {
        // A root's text is the stored name object itself.
        Ref parent = read_slot(st, self, kind, 2, true);
        if (!parent) return nullptr;
        if (parent.get() == Py_None) return read_slot(st, self, kind, 0, exact_plain(st, self, kind)).release();
    }
    return plain_text(st, self, kind, as_repr);
}

PyObject* uniexpr_repr(PyObject* self) { return text_slot<kUniExprKind, true>(self); }
PyObject* uniexpr_str(PyObject* self) { return text_slot<kUniExprKind, false>(self); }
PyObject* binexpr_repr(PyObject* self) { return text_slot<kBinExprKind, true>(self); }
PyObject* binexpr_str(PyObject* self) { return text_slot<kBinExprKind, false>(self); }
PyObject* path_repr(PyObject* self) { return text_slot<kPathKind, true>(self); }
PyObject* path_str(PyObject* self) { return text_slot<kPathKind, false>(self); }
PyObject* path2_repr(PyObject* self) { return text_slot<kPath2Kind, true>(self); }
PyObject* funcpath_repr(PyObject* self) { return text_slot<kFuncPathKind, true>(self); }
PyObject* funcpath_str(PyObject* self) { return text_slot<kFuncPathKind, false>(self); }

}  // namespace qelo::expr
