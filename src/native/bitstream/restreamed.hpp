// What the files of RestreamedBytesIO share: restreamed.cpp (its methods and the close check),
// restreamed_read.cpp (the decoder rounds and the routes that stand in for them) and
// restreamed_write.cpp (the encoder rounds and the bulk encoding).
#pragma once

#include "bitstream.hpp"

namespace qelo::bitstream {

// What a decoder or encoder does to exact bytes, as far as a bulk round may stand in for the rounds:
// nothing it can stand in for, the identity (`bytes`), or qelo.lib.binary's bit kernels.
enum class Coder { kNone, kIdentity, kBits };

// The current encoderunit, refused with ValueError when below 1 (the unit loop would not end).
Ref checked_encoderunit(const Attrs& self);

// read() and read(None): everything up to the substream's end.
PyObject* read_all(const Attrs& self);
// read(count) for any other count: the routes that stand in for the rounds, in turn, then the rounds.
PyObject* read_count(const Attrs& self, PyObject* count);

// Below this size wbuffer is not grown in place (buffers.cpp): joining copies it either way.
inline constexpr Py_ssize_t kSmallBuffer = 4096;

// Cuts one unit from wbuffer and writes it encoded. 1: written, 0: wbuffer holds less than a
// unit, -1: error.
int flush_unit(const Attrs& self);

// The whole units of wbuffer, encoded and written at once (restreamed_write.cpp). Done: written,
// with `*front_left` false when wbuffer now holds less than a unit, true when the unit now at its
// front is left for its own round; Declined: nothing changed, the rounds run one by one; Failed.
//
// `pending` (exact bytes, or null) is what wbuffer would hold after the write's concatenation, not
// stored yet, and `encoderunit` what the write found bound to that name: a write of exact bytes
// stores only what is left after the units. Then Declined leaves storing `pending` to the caller.
Fast flush_bulk(const Attrs& self, bool* front_left, PyObject* pending = nullptr, PyObject* encoderunit = nullptr);

}  // namespace qelo::bitstream
