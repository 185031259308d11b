// Exception guard for thread entry points, notifications, clean-up steps,
// event recording, log writing and the crash handler's steps.
//
// It catches C++ exceptions only. Hardware faults (access violations and the
// like) are not recoverable here: they go to the process-wide crash handler,
// which logs, tells the user and ends the process.
#pragma once

#include <utility>

namespace kavri {

// Runs f(); returns false when it threw anything. Never throws.
template <class F>
bool Guarded(F&& f) noexcept {
    try {
        std::forward<F>(f)();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace kavri
