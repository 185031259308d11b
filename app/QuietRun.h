// The unattended run (-q): no window, dialog or message box of any kind. It
// takes the path a person would take by answering "Yes" to every question:
// a newer web configuration is checked when a local installer is configured,
// failed downloads are retried on their own, and the started installer is
// waited for; its exit code becomes this process's.
//
// Concurrency: runs on the start-up thread; the downloader's notifications
// arrive on its threads and only record the outcome and wake this thread.
#pragma once

#include <windows.h>

#include <cstdint>

class CInstaller;

namespace kavri {

// Up to this many retries after a failed download.
constexpr unsigned kQuietRetries = 5;

// The wait before retry number `retry` (0-based): 1, 2, 4, 8, 16 s, each
// moved by up to 20 % either way; unit in [0, 1) picks where.
DWORD QuietRetryDelayMs(unsigned retry, double unit);

// The whole unattended run; returns the process exit code.
int RunQuiet(CInstaller* app);

}  // namespace kavri
