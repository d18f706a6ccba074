// Telling cheaply whether a struct.Struct object still has the format it had when it was captured.
// Struct.__init__ re-initialises a live Struct in place (3.15 warns that this will stop working), so
// the bound `pack` of a Struct(">B") that the package recognised at import can later pack ">H";
// the bound method itself stays the same object.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

#include <cstring>

namespace qelo::compat {

class StructFormatWatch {
public:
    // Records the format `packer` (a Struct) has now. False with an exception set.
    //
    // Trick (3.11-3.15): the object the Struct keeps as its format (bytes through 3.14, str from
    // 3.15), found through the type's traverse function (what gc.get_referents reports), never
    // through the object's layout: it is the one referent equal to the `format` attribute. Every
    // re-initialisation replaces it with a new object, and the captured one is kept alive here, so
    // its address cannot be reused: "still referenced" means "not re-initialised".
    // Public: the `format` attribute, read and compared by value on every check.
    bool capture(PyObject* packer) {
        Ref name(PyUnicode_InternFromString("format"));
        if (!name) return false;
        Ref text(PyObject_GetAttr(packer, name.get()));
        if (!text) return false;
        name_ = std::move(name);
#if QELO_TRICKS
        traverse_ = reinterpret_cast<traverseproc>(PyType_GetSlot(Py_TYPE(packer), Py_tp_traverse));
        if (traverse_ == nullptr && PyErr_Occurred()) return false;
        if (traverse_ != nullptr && PyUnicode_Check(text.get())) {
            Ref encoded(PyUnicode_AsASCIIString(text.get()));
            if (!encoded) return false;
            Found found{text.get(), encoded.get(), nullptr};
            traverse_(packer, find_format, &found);
            if (found.result != nullptr) {
                format_ = Ref::borrow(found.result);
                by_identity_ = true;
                return true;
            }
        }
        traverse_ = nullptr;
#endif
        format_ = std::move(text);
        by_identity_ = false;
        return true;
    }

    // 1 when `packer` (the Struct given to capture) still has the captured format, 0 when it was
    // re-initialised (or nothing was captured), -1 with an exception set.
    int unchanged(PyObject* packer) const {
        if (!format_) return 0;
#if QELO_TRICKS
        if (by_identity_) {
            Holds holds{format_.get(), false};
            traverse_(packer, holds_format, &holds);
            return holds.seen ? 1 : 0;
        }
#endif
        Ref now(PyObject_GetAttr(packer, name_.get()));
        if (!now) return -1;
        return PyObject_RichCompareBool(now.get(), format_.get(), Py_EQ);
    }

    int traverse(visitproc visit, void* arg) const {
        if (format_) {
            if (int r = visit(format_.get(), arg)) return r;
        }
        return name_ ? visit(name_.get(), arg) : 0;
    }
    void clear() {
        format_ = Ref();
        name_ = Ref();
    }

private:
#if QELO_TRICKS
    struct Found {
        PyObject* text;
        PyObject* encoded;
        PyObject* result;
    };
    // Only exact str and bytes are compared, so no Python code runs inside the traverse.
    static int find_format(PyObject* referent, void* arg) {
        auto* found = static_cast<Found*>(arg);
        const bool same =
            (PyUnicode_CheckExact(referent) && PyUnicode_Compare(referent, found->text) == 0) ||
            (PyBytes_CheckExact(referent) && PyBytes_GET_SIZE(referent) == PyBytes_GET_SIZE(found->encoded) &&
             std::memcmp(PyBytes_AS_STRING(referent), PyBytes_AS_STRING(found->encoded),
                         static_cast<size_t>(PyBytes_GET_SIZE(referent))) == 0);
        if (same) found->result = referent;
        return 0;
    }
    struct Holds {
        PyObject* format;
        bool seen;
    };
    static int holds_format(PyObject* referent, void* arg) {
        auto* holds = static_cast<Holds*>(arg);
        if (referent == holds->format) holds->seen = true;
        return 0;
    }
    traverseproc traverse_ = nullptr;
#endif
    Ref format_;
    Ref name_;  // "format"
    bool by_identity_ = false;
};

}  // namespace qelo::compat
