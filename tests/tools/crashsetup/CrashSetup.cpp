// Test-only twin of setup.exe: runs the real start-up (kavri::RunSetup) and,
// on command, fails on a thread of its own once a dialog of this process is
// on screen (within 60 s), for the crash handler's end-to-end tests:
//   KAVRI_CRASH=fault   an access violation on that thread
//   KAVRI_CRASH=throw   an uncaught C++ exception there (std::terminate)
//   (unset)             exactly setup.exe; the command line is the installer's
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "app/Startup.h"

static BOOL CALLBACK IsOwnDialog(HWND window, LPARAM found) {
    DWORD pid = 0;
    wchar_t cls[32] = {};
    GetWindowThreadProcessId(window, &pid);
    GetClassNameW(window, cls, 32);
    if (pid == GetCurrentProcessId() && IsWindowVisible(window) && !wcscmp(cls, L"#32770"))
        *reinterpret_cast<bool*>(found) = true;
    return TRUE;
}

static void Trigger(bool throwInstead) {
    bool shown = false;
    for (const ULONGLONG deadline = GetTickCount64() + 60000; !shown && GetTickCount64() < deadline; Sleep(50))
        EnumWindows(&IsOwnDialog, reinterpret_cast<LPARAM>(&shown));
    if (!shown) return;
    if (throwInstead) throw std::runtime_error("injected failure");
    int* volatile target = reinterpret_cast<int*>(0x10);
    *target = 1;
}

int wmain(int, wchar_t**) {
    const char* mode = std::getenv("KAVRI_CRASH");
    if (mode && (!strcmp(mode, "fault") || !strcmp(mode, "throw")))
        std::thread(Trigger, !strcmp(mode, "throw")).detach();
    return kavri::RunSetup();
}
