// Member-table constants under the names each supported interpreter gives them
// (structmember.h before 3.12, Python.h from 3.12 on).
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define QELO_T_PYSSIZET T_PYSSIZET
#define QELO_READONLY READONLY
#else
#define QELO_T_PYSSIZET Py_T_PYSSIZET
#define QELO_READONLY Py_READONLY
#endif
