// The process-wide crash handler: any unhandled fault, on any thread, and any
// uncaught C++ exception or std::terminate is logged, told to the user,
// recorded as an installation event and answered with the local installer.
//
// Each of those steps runs under a fault guard, so a step that itself faults
// (the state that caused the crash may be damaged) does not keep the next one
// from running.
#pragma once

#include <windows.h>

namespace kavri {

// Registers the unhandled-exception filter and the terminate handler.
void InstallCrashHandler();

// The unhandled-exception filter; returns EXCEPTION_CONTINUE_SEARCH so the
// system ends the process.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info);

// The crash handler's steps for an exception code: the "CRT" log line, the
// message 590 (with a plain message box as fallback), the event
// stubInstaller_UnexpectedError and the local installer. Runs once per
// process; a second thread that crashes meanwhile waits (bounded) for the
// first to finish. Returns false when another crash was already handled.
bool HandleUnexpectedError(int code);

// Runs step(context) and reports whether it finished: false when it threw a
// C++ exception or raised a hardware fault (access violation, division by
// zero, ...) on this thread. Frames between the guard and a fault are left
// without running their destructors, so keep guarded steps small.
bool RunFaultGuarded(void (*step)(void* context), void* context);

// The code logged for an uncaught C++ exception or std::terminate (they carry
// no exception code), which is also the process exit code then.
constexpr int kTerminateExitCode = 3;

}  // namespace kavri
