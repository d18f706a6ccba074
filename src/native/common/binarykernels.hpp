// What qelo.lib.binary lends other extensions through its private `_kernels` attribute (a capsule
// named kBinaryKernelsCapsule, one per module object): a way to tell whether one of its functions
// would take its direct route, and that route itself, so that a caller holding many inputs for the
// same function can convert them in one go when that gives what separate calls would.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace qelo {

inline constexpr const char kBinaryKernelsCapsule[] = "qelo.lib.binary._kernels";

struct BinaryKernels {
    // The C function behind bytes2bits: a callable whose m_self is the binary module and whose
    // function is this one is that module's own bytes2bits.
    PyCFunction bytes2bits;
    // 1 when bytes2bits of `module` (an instance of qelo.lib.binary) would convert exact bytes of
    // about `work` bytes with bytes_to_bits right now (its helpers and table are the originals), 0
    // when not or when `module` is not such a module; never runs Python code, never sets an error.
    int (*bytes2bits_ready)(PyObject* module, Py_ssize_t work);
    // Eight bytes 0x00/0x01 per input byte, most significant bit first (`out` holds 8 * n bytes).
    void (*bytes_to_bits)(const unsigned char* in, std::size_t n, unsigned char* out);
    // The same three for bits2bytes: its C function; 1 when bits2bytes of `module` would convert an
    // exact bytes bit string of about `work` groups of 8 with bits_to_bytes right now (its table is
    // the original), else 0, never running Python code or setting an error; and the kernel, which
    // packs `n_groups` groups of 8 bytes into `out` (n_groups bytes) and returns false, with `out`
    // partly written, when a byte is neither 0x00 nor 0x01 (bits2bytes then raises the table's error).
    PyCFunction bits2bytes;
    int (*bits2bytes_ready)(PyObject* module, Py_ssize_t work);
    bool (*bits_to_bytes)(const unsigned char* in, std::size_t n_groups, unsigned char* out);
    // A number that stays the same as long as the answers of bytes2bits_ready and bits2bytes_ready
    // for `module` cannot change, so that a caller may keep an answer while it does; 0 when there is
    // none (then ask every time). Never runs Python code, never sets an error.
    std::uint64_t (*ready_stamp)(PyObject* module);
};

}  // namespace qelo
