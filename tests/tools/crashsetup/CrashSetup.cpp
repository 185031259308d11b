// Test-only twin of setup.exe: runs the real start-up (kavri::RunSetup) and,
// on command, faults on a thread of its own once the progress window is on
// screen, so the end-to-end tests can watch the crash handler at work. The
// shipped setup.exe has no such trigger.
//
//   KAVRI_CRASH=fault      access violation on the trigger thread
//   KAVRI_CRASH=throw      an uncaught C++ exception there (std::terminate)
//   (unset)                behaves exactly like setup.exe
//
// The command line is left alone: the application object reads it as usual.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "app/Startup.h"

namespace {

struct FindContext {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindOwnDialog(HWND window, LPARAM param) {
    FindContext* ctx = reinterpret_cast<FindContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    if (pid == ctx->process && IsWindowVisible(window) && wcscmp(cls, L"#32770") == 0) {
        ctx->found = window;
        return FALSE;
    }
    return TRUE;
}

// Waits (at most 60 s) until this process shows a dialog window.
bool WaitForOwnWindow() {
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetTickCount64() < deadline) {
        FindContext ctx = {GetCurrentProcessId(), nullptr};
        EnumWindows(&FindOwnDialog, reinterpret_cast<LPARAM>(&ctx));
        if (ctx.found) return true;
        Sleep(50);
    }
    return false;
}

void Trigger(bool throwInstead) {
    if (!WaitForOwnWindow()) return;
    if (throwInstead) throw std::runtime_error("injected failure");
    int* volatile target = reinterpret_cast<int*>(0x10);
    *target = 1;
}

}  // namespace

int wmain(int, wchar_t**) {
    const char* mode = std::getenv("KAVRI_CRASH");
    if (mode && (strcmp(mode, "fault") == 0 || strcmp(mode, "throw") == 0)) {
        const bool throwInstead = strcmp(mode, "throw") == 0;
        std::thread(Trigger, throwInstead).detach();
    }
    return kavri::RunSetup();
}
