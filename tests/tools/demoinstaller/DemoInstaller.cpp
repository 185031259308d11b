// demoinstaller: the "main installer" of `make demo`. It says so on stdout and
// leaves a marker file (KAVRI_DEMO_MARKER, else demo-started.txt beside it)
// holding its own path and command line, so the demo script knows the whole
// way has been walked.
#include <windows.h>

#include <cstdio>

int wmain(int, wchar_t**) {
    wchar_t exe[MAX_PATH] = {}, marker[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (!GetEnvironmentVariableW(L"KAVRI_DEMO_MARKER", marker, MAX_PATH)) {
        wcscpy(marker, exe);
        wcscpy(wcsrchr(marker, L'\\') + 1, L"demo-started.txt");
    }
    std::fputs("Kavri Skyguard demo installer started\n", stdout);
    std::fflush(stdout);
    FILE* f = _wfopen(marker, L"wb");
    if (!f) return 1;
    fprintf(f, "Kavri Skyguard demo installer started\nexe=%ls\ncmdline=%ls\n", exe, GetCommandLineW());
    return fclose(f) == 0 ? 0 : 1;
}
