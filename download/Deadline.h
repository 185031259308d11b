// A point in time that bounded waits count down to: every wait of the
// download code that shares one bound takes what is left of it.
//
// Concurrency: a value; copies may be read on any thread.
#pragma once

#include <windows.h>

namespace kavri {

class Deadline {
public:
    explicit Deadline(ULONGLONG fromNowMs) : m_end(GetTickCount64() + fromNowMs) {}
    // Milliseconds left, 0 once it has passed (for WaitForSingleObject).
    DWORD Left() const {
        const ULONGLONG now = GetTickCount64();
        if (now >= m_end) return 0;
        const ULONGLONG left = m_end - now;
        return left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
    }
    bool Passed() const { return Left() == 0; }

private:
    ULONGLONG m_end;
};

}  // namespace kavri
