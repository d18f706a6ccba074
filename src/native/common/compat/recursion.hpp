// One level of C recursion, for code that recurses through nested objects (trees, reprs).
#pragma once

#include "config.hpp"

namespace qelo::compat {

// Charged and released exactly as Py_EnterRecursiveCall/Py_LeaveRecursiveCall charge the thread,
// so a deep tree raises RecursionError where the interpreter would.
//
// Trick (3.11-3.13): the counter those calls decrement (`recursion_remaining` on 3.11,
// `c_recursion_remaining` on 3.12/3.13) is decremented inline with the thread state fetched once
// per walk, not once per level; near the limit the interpreter's own call runs and raises.
// 3.14 checks the real stack depth instead of a counter, so from 3.14 on (and in a portable build)
// the public calls run at every level.
class DepthGuard {
public:
    DepthGuard(PyThreadState* ts, const char* where) noexcept : ts_(ts) {
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)
        int& remaining = counter(ts);
        if (remaining > 1) {
            --remaining;
            entered_ = true;
            return;
        }
#endif
        entered_ = Py_EnterRecursiveCall(where) == 0;
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() {
        if (!entered_) return;
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)
        ++counter(ts_);  // what Py_LeaveRecursiveCall does
#else
        Py_LeaveRecursiveCall();
#endif
    }
    explicit operator bool() const noexcept { return entered_; }

private:
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)
    static int& counter(PyThreadState* ts) {
#if PY_VERSION_HEX >= QELO_PY312
        return ts->c_recursion_remaining;
#else
        return ts->recursion_remaining;
#endif
    }
#endif
    [[maybe_unused]] PyThreadState* ts_;
    bool entered_;
};

// The thread state a walk hands to each DepthGuard: only the counter trick reads it, so other
// builds do not fetch it (a thread-local read through the interpreter library). Null there.
inline PyThreadState* depth_guard_thread_state() {
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY314)
    return PyThreadState_Get();
#else
    return nullptr;
#endif
}

}  // namespace qelo::compat
