// argrecorder: stands in for an installer that the stub starts; records what
// it was started with and exits 0. The record goes to the file named by
// ARGRECORDER_OUT, else beside the executable as <exe name>.args.txt: UTF-8,
// one key=value per line: exe, cwd, cmdline, argc (the arguments after the
// program name), arg1..argN. Written under a temporary name and renamed, so a
// reader that sees the file sees all of it.
#include <windows.h>
#include <shellapi.h>

#include <string>

std::string Utf8(const std::wstring& w) {
    std::string out(w.size() * 4 + 1, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    return out.substr(0, n > 0 ? n - 1 : 0);
}

int wmain(int, wchar_t**) {
    wchar_t exe[MAX_PATH * 4] = {}, cwd[MAX_PATH * 4] = {}, out[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH * 4);
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    const std::wstring path = GetEnvironmentVariableW(L"ARGRECORDER_OUT", out, MAX_PATH * 4)
                                  ? out : std::wstring(exe).substr(0, std::wstring(exe).rfind(L'.')) + L".args.txt";
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string text = "exe=" + Utf8(exe) + "\ncwd=" + Utf8(cwd) + "\ncmdline=" + Utf8(GetCommandLineW()) +
                       "\nargc=" + std::to_string(argc - 1) + "\n";
    for (int i = 1; i < argc; ++i) text += "arg" + std::to_string(i) + "=" + Utf8(argv[i]) + "\n";
    HANDLE f = CreateFileW((path + L".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && CloseHandle(f);
    return ok && MoveFileExW((path + L".tmp").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
