// Crash handler. See CrashHandler.h.
//
// The fault guard uses a vectored handler that is armed per thread: while a
// guarded step runs, a hardware fault raised by this program's own code on
// that thread jumps back to the guard (longjmp) instead of travelling on to
// the unhandled-exception filter. Faults raised inside system code are left
// alone: Windows functions raise and handle exceptions of their own (the
// loader, RPC, IsBadReadPtr), and jumping out of them would leave their
// locks held. Disarmed, the vectored handler passes everything on untouched.
#include "app/CrashHandler.h"

#include <csetjmp>
#include <cstdlib>
#include <exception>

#include <atomic>

#include "app/Installer.h"
#include "app/TrackingSender.h"
#include "i18n/LanguageResources.h"
#include "log/Log.h"
#include "ui/ProgressWindow.h"

#if defined(__GLIBCXX__)
// libstdc++'s initial terminate handler writes the exception's demangled
// type to stderr, which a windowed program has not got; its demangler alone
// was a tenth of setup.exe. This one stands in until InstallCrashHandler sets
// OnTerminate, early in start-up.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

namespace {

thread_local jmp_buf* t_faultJump = nullptr;

// True when the address lies in this executable's image.
bool IsInOwnImage(const void* address) {
    static const HMODULE self = GetModuleHandleW(nullptr);
    HMODULE owner = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &owner))
        return false;
    return owner == self;
}

LONG CALLBACK StepFaultHandler(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // Only real faults (severity "error"), only while a step is armed, and
    // only those raised by this program's own code.
    if ((code & 0xF0000000u) != 0xC0000000u || !t_faultJump) return EXCEPTION_CONTINUE_SEARCH;
    if (!IsInOwnImage(info->ExceptionRecord->ExceptionAddress)) return EXCEPTION_CONTINUE_SEARCH;
    jmp_buf* target = t_faultJump;
    t_faultJump = nullptr;
    longjmp(*target, 1);
}

// The C++ half of the guard lives in its own frame, so setjmp's frame holds
// no object with a destructor.
__declspec(noinline) bool RunCatching(void (*step)(void*), void* context) {
    try {
        step(context);
        return true;
    } catch (...) {
        return false;
    }
}

std::atomic<DWORD> g_handlingThread{0};
HANDLE g_handledEvent = nullptr;  // set when the first crash has been handled

void LogStep(void* context) {
    const int code = *static_cast<int*>(context);
    CLog crt(L"CRT");
    LogError(&crt, -1, L"Unexpected error ocured. \n %d", code);
}

void MessageStep(void*) { ShowErrorMessage(nullptr, IDS_MSG_UNEXPECTED_ERROR, 0); }

void MessageBoxStep(void*) {
    const CInstaller* app = CInstaller::GetInstance();
    const wchar_t* caption = app ? app->GetProductName() : GetString(IDS_PRODUCT_NAME);
    MessageBoxW(nullptr, GetString(IDS_MSG_UNEXPECTED_ERROR), caption,
                MB_ICONERROR | MB_SETFOREGROUND);
}

void EventStep(void*) {
    if (CInstaller* app = CInstaller::GetInstance()) app->SetState(stubInstaller_UnexpectedError);
}

void LocalInstallerStep(void*) {
    if (CInstaller* app = CInstaller::GetInstance()) app->InstallFromCD(nullptr);
}

[[noreturn]] void OnTerminate() {
    kavri::HandleUnexpectedError(kavri::kTerminateExitCode);
    TerminateProcess(GetCurrentProcess(), kavri::kTerminateExitCode);
    for (;;) Sleep(INFINITE);  // TerminateProcess does not return for the own process
}

}  // namespace

namespace kavri {

bool RunFaultGuarded(void (*step)(void* context), void* context) {
    static PVOID handler = AddVectoredExceptionHandler(1, StepFaultHandler);
    (void)handler;
    jmp_buf target;
    jmp_buf* const previous = t_faultJump;
    if (setjmp(target) != 0) {
        t_faultJump = previous;
        return false;
    }
    t_faultJump = &target;
    const bool finished = RunCatching(step, context);
    t_faultJump = previous;
    return finished;
}

bool HandleUnexpectedError(int code) {
    const DWORD self = GetCurrentThreadId();
    DWORD expected = 0;
    if (!g_handlingThread.compare_exchange_strong(expected, self)) {
        // A second crash: on the thread already handling one, let the system
        // end the process; on another thread, let the first handler finish
        // (the user may still be reading its message) before the process ends.
        if (expected != self && g_handledEvent) WaitForSingleObject(g_handledEvent, 5 * 60 * 1000);
        return false;
    }
    int value = code;
    RunFaultGuarded(&LogStep, &value);
    if (!RunFaultGuarded(&MessageStep, nullptr)) RunFaultGuarded(&MessageBoxStep, nullptr);
    RunFaultGuarded(&EventStep, nullptr);
    RunFaultGuarded(&LocalInstallerStep, nullptr);
    FlushTracking(kTrackingFlushMs);
    if (g_handledEvent) SetEvent(g_handledEvent);
    return true;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info) {
    int code = 0;
    if (info && info->ExceptionRecord) code = static_cast<int>(info->ExceptionRecord->ExceptionCode);
    HandleUnexpectedError(code);
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallCrashHandler() {
    if (!g_handledEvent) g_handledEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetUnhandledExceptionFilter(&CrashFilter);
    std::set_terminate(&OnTerminate);
}

}  // namespace kavri
