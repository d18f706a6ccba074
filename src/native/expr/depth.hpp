// qelo.expr: the recursion guard of a walk through a tree.
#pragma once

#include "compat.hpp"

#include <optional>

namespace qelo::expr {

// One level of recursion through a tree (evaluation, text forms, deriving paths). `depth` counts
// the levels of one walk (evaluation or text of one tree).
//
// compat::DepthGuard charges the interpreter's own guard. From 3.14 on that guard checks the real
// stack, which a tree of small C frames may not exhaust for a very long time: a tree 100000 levels
// deep would then be walked to the bottom where a plain Python class (and this module on earlier
// releases) raises RecursionError. So from 3.14 on the levels of a walk are also counted, against
// the limit the C recursion counter of 3.13 had. And as the interpreter keeps a margin of several
// kilobytes below its stack limit, far more than a few of this module's frames take, the stack is
// checked at every eighth level of a walk (each walk begins with a check).
inline constexpr int kDepthLimit = 10000;

// The thread state compat::DepthGuard charges: only its counter trick (3.11-3.13) reads it, so
// other builds skip fetching it (a thread-local read through the interpreter library).
inline PyThreadState* guard_thread_state() { return compat::depth_guard_thread_state(); }

class DepthGuard {
public:
    DepthGuard(PyThreadState* ts, const char* where, int& depth) noexcept {
#if PY_VERSION_HEX >= QELO_PY314
        if (depth >= kDepthLimit) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        if ((depth & 7) == 0) {
            guard_.emplace(ts, where);
            if (!*guard_) return;
        }
        depth_ = &depth;
        ++depth;
        entered_ = true;
#else
        (void)depth;
        guard_.emplace(ts, where);
        entered_ = static_cast<bool>(*guard_);
#endif
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() {
        if (depth_ != nullptr) --*depth_;
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    std::optional<compat::DepthGuard> guard_;
    int* depth_ = nullptr;
    bool entered_ = false;
};

}  // namespace qelo::expr
