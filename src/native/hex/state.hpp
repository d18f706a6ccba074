// Module state of qelo.lib.hex and the entry points its source files share.
#pragma once

#include "args.hpp"
#include "compat.hpp"
#include "namespace.hpp"
#include "outcome.hpp"
#include "ref.hpp"

#include <array>
#include <cstdint>

namespace qelo::hex {

// Interned names looked up in the module namespace (or on objects) at call time.
enum Name : std::size_t {
    kHexprint,
    kPrintable,
    kIterateints,
    kInt2byte,
    kBytes2str,
    kHexdump,
    kTrimstring,
    kBinascii,
    kHexlify,
    kIntegertypes,
    kBytestringtype,
    kHexDisplayedInteger,
    kRender,
    kFmtstr,
    kData,
    kFormat,
    kUpper,
    kSplit,
    kJoin,
    kDict,
    kNameCount
};

inline constexpr std::array<const char*, kNameCount> kNameTexts = {
    "HEXPRINT", "PRINTABLE",  "iterateints", "int2byte",     "bytes2str",      "hexdump",
    "trimstring", "binascii", "hexlify",     "integertypes", "bytestringtype", "HexDisplayedInteger",
    "render",   "fmtstr",     "data",        "format",       "upper",          "split",
    "join",     "dict",
};

// Constant texts, kept as interned strings so no call builds them again.
enum Text : std::size_t {
    kHeaderText,
    kClosingText,
    kNewlineText,
    kSpaceText,
    kEmptyText,
    kFmt4Text,
    kFmt8Text,
    kUnhexlifyText,
    kHexPrefixText,
    kUpperHexText,
    kDotText,
    kModuleNameText,
    kClassDocText,
    kTextCount
};

inline constexpr std::array<const char*, kTextCount> kTextTexts = {
    "hexundump(\"\"\"", "\"\"\")", "\n", " ", "", "%%04X   %%-%ds   %%s", "%%08X   %%-%ds   %%s", "unhexlify(%s)",
    "0x", "02X", ".", "qelo.lib.hex", "Used internally.",
};

struct ModuleState {
    NameTable<kNameCount> names;
    NameTable<kTextCount> texts;
    PyObject* empty_bytes;
    // Originals captured at import: a call takes the direct route only while the module
    // namespace still holds these very objects. Identity checks made on every call (the module
    // remembers no binding between calls), as is int2byte_format's.
    PyObject* builtin_iter;
    PyObject* original_int2byte;  // null unless verified to be a one-byte unsigned packer
    compat::StructFormatWatch int2byte_format;  // tells when that packer's Struct is re-initialised
    PyObject* hexprint_snapshot;  // tuple of the 256 strings HEXPRINT was built with
    PyObject* printable_snapshot;
    // The same tables as plain characters, valid when kernel_tables_ok.
    bool kernel_tables_ok;
    std::array<std::uint32_t, 256> hex_quads;  // the pair, then two spaces, as stored in memory
    std::array<char, 256> printable_chars;
};

inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Global-name lookup as a function of the module sees it: module dict, then builtins.
inline Ref module_global(PyObject* module, Name which) {
    return lookup_global(PyModule_GetDict(module), state_of(module)->names[which]);
}

// The line size of an `int` (from PyNumber_Index), clamped to PY_SSIZE_T_MAX, which no real
// text reaches; -1 with ValueError set when it is below 1.
Py_ssize_t positive_linesize(PyObject* index);

PyObject* hexdump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hexundump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Marks an object in use for one call (see the writer and reader): a call that finds it set
// raises RuntimeError instead of touching state that the running call holds pointers into.
struct InUse {
    bool& flag;
    explicit InUse(bool& f) : flag(f) { flag = true; }
    ~InUse() { flag = false; }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
};

// The incremental writer and reader types, private to the package (_HexWriter, _HexReader).
bool add_writer_type(PyObject* module);
bool add_reader_type(PyObject* module);

// Creates the five display classes in the module namespace, in their documented order.
bool add_display_classes(PyObject* module);

}  // namespace qelo::hex
