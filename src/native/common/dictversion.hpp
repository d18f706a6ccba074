// Transitional: the dict version helpers now live in compat/dict.hpp.
#pragma once

#include "compat/dict.hpp"

namespace qelo {
inline std::uint64_t dict_version(PyObject* dict) { return compat::dict_version_tag(dict); }
inline bool dict_is_watched(PyObject* dict) { return compat::dict_is_watched(dict); }
}  // namespace qelo
