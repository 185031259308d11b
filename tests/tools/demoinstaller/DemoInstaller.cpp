// demoinstaller: the "main installer" of `make demo`. setup.exe downloads it
// and starts it; it says so on stdout and leaves a marker file, so the demo
// script knows the whole way has been walked.
//
// The marker goes to the file named by KAVRI_DEMO_MARKER (else beside the
// executable as demo-started.txt) and holds the program's own path and its
// command line (UTF-8).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

}  // namespace

int wmain(int, wchar_t**) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);

    std::wstring marker;
    wchar_t env[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(L"KAVRI_DEMO_MARKER", env, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        marker = env;
    } else {
        marker = exe;
        marker.erase(marker.find_last_of(L'\\') + 1);
        marker += L"demo-started.txt";
    }

    const std::string text = "Kavri Skyguard demo installer started\nexe=" + Utf8(exe) +
                             "\ncmdline=" + Utf8(GetCommandLineW()) + "\n";
    std::fputs("Kavri Skyguard demo installer started\n", stdout);
    std::fflush(stdout);

    // Written under a temporary name and renamed, so a reader sees all of it.
    const std::wstring temp = marker + L".tmp";
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok || written != text.size()) return 1;
    return MoveFileExW(temp.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
