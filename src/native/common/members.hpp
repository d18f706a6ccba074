// Member-table constants under the names each supported interpreter gives them
// (structmember.h before 3.12, Python.h from 3.12 on).
#pragma once

#include "compat/config.hpp"

#if PY_VERSION_HEX < QELO_PY312
#include <structmember.h>
#define QELO_T_PYSSIZET T_PYSSIZET
#define QELO_READONLY READONLY
#else
#define QELO_T_PYSSIZET Py_T_PYSSIZET
#define QELO_READONLY Py_READONLY
#endif
