// What the files of RestreamedBytesIO share: restreamed.cpp (construction, close, seek),
// restreamed_read.cpp (read: the decoder rounds and the routes that stand in for them) and
// restreamed_write.cpp (write: the encoder rounds and the bulk encoding).
#pragma once

#include "bitstream.hpp"

namespace qelo::bitstream {

// What a decoder or encoder does to exact bytes, as far as a bulk round may stand in for the rounds:
// nothing it can stand in for, the identity (`bytes`), or qelo.lib.binary's bit kernels.
enum class Coder { kNone, kIdentity, kBits };

// The current encoderunit, refused with ValueError when below 1 (the unit loop would not end).
Ref checked_encoderunit(const Attrs& self);

}  // namespace qelo::bitstream
