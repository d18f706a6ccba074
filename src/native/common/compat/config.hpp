// Which interpreter internals this build may use.
//
// Every function of the compat layer does one job in two ways: a trick that reads or writes the
// interpreter's internals (a private call, a struct field, a layout or reference-count argument),
// and the public C API. QELO_TRICKS selects the trick. It is on only for the releases each trick
// was written and tested against (3.11 to 3.15) and off in a portable build (QELO_PORTABLE, set
// by the build for QELO_PORTABLE=1 in the environment and for any interpreter newer than this
// layer knows), so a new release costs speed, never the build or correctness.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define QELO_PY311 0x030B0000
#define QELO_PY312 0x030C0000
#define QELO_PY313 0x030D0000
#define QELO_PY314 0x030E0000
#define QELO_PY315 0x030F0000
#define QELO_PY316 0x03100000

#if defined(QELO_PORTABLE) || defined(Py_GIL_DISABLED) || defined(Py_LIMITED_API) || PY_VERSION_HEX >= QELO_PY316
#define QELO_TRICKS 0
#else
#define QELO_TRICKS 1
#endif

// A trick for the releases [from, to): QELO_TRICKS_FOR(QELO_PY311, QELO_PY314).
#define QELO_TRICKS_FOR(from, to) (QELO_TRICKS && PY_VERSION_HEX >= (from) && PY_VERSION_HEX < (to))

// How a cache tells that a dict still binds what it looked up, where the build has a way:
//  * QELO_DICT_VERSION_TAGS: compat::dict_version_tag, unique per change (a trick, 3.11-3.13);
//  * QELO_DICT_WATCHERS: a dict watcher of the caller's own (public API, 3.12+), on interpreters
//    with the GIL: without it another thread could rebind a key between a stamp and its use.
#define QELO_DICT_VERSION_TAGS QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)
#if PY_VERSION_HEX >= QELO_PY312 && !defined(Py_GIL_DISABLED)
#define QELO_DICT_WATCHERS 1
#else
#define QELO_DICT_WATCHERS 0
#endif

namespace qelo::compat {

// Whether this build uses any trick at all (tests and benchmarks report it).
inline constexpr bool kTricks = QELO_TRICKS != 0;

}  // namespace qelo::compat
