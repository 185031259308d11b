// Prints what GetOsVersion reports in this process, as "major.minor.build".
// The tool carries the installer's manifest, so the version it prints is the
// one the installer's own requirement check would see on this system.
#include <windows.h>

#include <cstdio>

#include "app/SystemProbes.h"

int wmain(int, wchar_t**) {
    OSVERSIONINFOW info;
    GetOsVersion(&info);
    char line[64];
    int length = _snprintf(line, sizeof(line) - 1, "%lu.%lu.%lu\n", info.dwMajorVersion, info.dwMinorVersion,
                           info.dwBuildNumber);
    line[sizeof(line) - 1] = '\0';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    return info.dwMajorVersion != 0 ? 0 : 1;
}
