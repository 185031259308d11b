// argrecorder: stands in for an installer that the stub starts. It records
// what it was started with and exits 0.
//
// The record goes to the file named by the environment variable
// ARGRECORDER_OUT, else beside the executable as <exe name>.args.txt.
// UTF-8, one "key=value" per line:
//   exe=<module path>
//   cwd=<working directory>
//   cmdline=<the whole command line>
//   argc=<n>
//   arg1=... argN=<each argument after the program name>
// The file is written under a temporary name and then renamed, so a reader
// that sees it sees all of it.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

int wmain(int, wchar_t**) {
    wchar_t exe[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH * 4);
    wchar_t cwd[MAX_PATH * 4] = {};
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);

    std::wstring outPath;
    wchar_t env[MAX_PATH * 4] = {};
    if (GetEnvironmentVariableW(L"ARGRECORDER_OUT", env, MAX_PATH * 4) > 0) {
        outPath = env;
    } else {
        outPath = exe;
        size_t dot = outPath.find_last_of(L'.');
        size_t slash = outPath.find_last_of(L'\\');
        if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) outPath.erase(dot);
        outPath += L".args.txt";
    }

    const wchar_t* cmdline = GetCommandLineW();
    std::string text = "exe=" + Utf8(exe) + "\ncwd=" + Utf8(cwd) + "\ncmdline=" + Utf8(cmdline) + "\n";
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(cmdline, &argc);
    text += "argc=" + std::to_string(argc > 0 ? argc - 1 : 0) + "\n";
    for (int i = 1; argv && i < argc; ++i) text += "arg" + std::to_string(i) + "=" + Utf8(argv[i]) + "\n";
    if (argv) LocalFree(argv);

    std::wstring temp = outPath + L".tmp";
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok || written != text.size()) return 1;
    return MoveFileExW(temp.c_str(), outPath.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
