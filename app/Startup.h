// The start-up of the installer: process preparation, the application
// object, the single instance, the language, the requirement checks and the
// progress window. The entry point of setup.exe only calls RunSetup.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kavri {

// Exit codes of the process besides 0 (README: "Exit codes").
enum EStartupExit : int {
    kExitNoAppOrOs = -1,  // usage box, another instance, or OS too old
    kExitCpu = -2,
    kExitRam = -3,
    kExitDisk = -4,
    kExitDownloadFailed = -5,  // quiet: the download failed after the retries
    kExitNotVerified = -6,     // quiet: the download was refused by verification
    kExitLaunchFailed = -7,    // the main installer could not be started
    kExitOtherInstance = -8,   // quiet: another instance is running
    kExitProxyAuth = -9,       // quiet: the proxy asks for credentials
};

// The whole start-up; returns the process exit code (a refusal above, or the
// progress window's result).
int RunSetup();

// The text of the usage box (caption "Stub Installer").
const wchar_t* GetUsageText();

// True when the machine's major.minor is at least the required one.
bool IsOsVersionSupported(DWORD major, DWORD minor, DWORD requiredMajor, DWORD requiredMinor);

}  // namespace kavri
