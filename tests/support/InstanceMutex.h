// The installer's single-instance mutex, as the tests and the test tools see
// it: test processes that build the application object take turns through it.
// Header-only and free of the support library, so the tools can include it.
#pragma once

#include <windows.h>

namespace kavri_test {

// The name the application object gives its mutex.
inline const wchar_t* InstanceMutexName() { return L"{71FC2A2E-F39A-4360-9381-8B5BB3243854}"; }

// Waits, within timeoutMs, until no process holds the mutex. Polls: another
// test's installer holds it for a moment, and there is nothing to wait on.
inline bool WaitForNoInstance(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, InstanceMutexName());
        if (!h) return true;
        CloseHandle(h);
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
}

}  // namespace kavri_test
