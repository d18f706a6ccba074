// The one place where qelo touches interpreter internals. Module code includes this header and
// calls the named functions of compat/; each says which releases its trick is for, why it is
// sound, and what the public C API does in its place (see compat/config.hpp).
#pragma once

#include "compat/config.hpp"
#include "compat/dict.hpp"
#include "compat/bytesio.hpp"
#include "compat/inplace.hpp"
#include "compat/lifecycle.hpp"
#include "compat/longbytes.hpp"
#include "compat/recursion.hpp"
#include "compat/refcount.hpp"
#include "compat/structs.hpp"
#include "compat/text.hpp"
#include "compat/textwriter.hpp"
#include "compat/type.hpp"
#include "compat/typenames.hpp"
