// Runs installerprobe.exe, copied under another name into a test directory,
// with a chosen environment and command line, and collects its exit code,
// stdout and stderr. Header-only: shared by the log and the app tests.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "support/TestEnv.h"

namespace kavri_test {

// The application object's single-instance mutex.
inline const wchar_t* InstanceMutexName() { return L"{71FC2A2E-F39A-4360-9381-8B5BB3243854}"; }

struct ProbeResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::string out;
    std::string err;

    // The last "key=value" line for key, or "<missing>".
    std::string Value(const std::string& key) const {
        std::string found = "<missing>";
        size_t pos = 0;
        while (pos < out.size()) {
            size_t end = out.find('\n', pos);
            if (end == std::string::npos) end = out.size();
            std::string line = out.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.compare(0, key.size() + 1, key + "=") == 0) found = line.substr(key.size() + 1);
            pos = end + 1;
        }
        return found;
    }
};

// Variables the probe's behaviour depends on; each run starts without them.
inline const std::vector<std::wstring>& ProbeVariables() {
    static const std::vector<std::wstring> names = {L"KAVRI_DEBUG_LEVEL", L"KAVRI_PROBE_TRACE",
                                                    L"KAVRI_PROBE_WEBCONFIG", L"KAVRI_PROBE_RETRY"};
    return names;
}

// This process's environment without the probe variables, plus extra.
inline std::vector<wchar_t> BuildEnvironment(
    const std::vector<std::pair<std::wstring, std::wstring>>& extra) {
    std::vector<wchar_t> block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; p && *p; p += wcslen(p) + 1) {
        std::wstring entry(p);
        bool drop = false;
        for (const std::wstring& name : ProbeVariables()) {
            if (entry.size() > name.size() && entry[name.size()] == L'=' &&
                _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0)
                drop = true;
        }
        if (!drop) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    if (env) FreeEnvironmentStringsW(env);
    for (const auto& kv : extra) {
        std::wstring entry = kv.first + L"=" + kv.second;
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    block.push_back(L'\0');
    return block;
}

// The directory of the test tools: the build's bin directory, which is also
// where the running test executable lies (used when the environment does not
// name the build directory).
inline std::wstring ToolDir() {
    std::wstring dir = BinDir();
    if (!dir.empty()) return dir;
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return dir;
    dir.assign(self, n);
    return dir.substr(0, dir.rfind(L'\\'));
}

// Copies the probe to dir\exeName (for example "setup.exe"). Returns 0, or
// the system error of the copy.
inline DWORD InstallProbe(const TempDir& dir, const std::wstring& exeName) {
    if (CopyFileW((ToolDir() + L"\\installerprobe.exe").c_str(), dir.File(exeName).c_str(), FALSE))
        return 0;
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

// Runs exePath with args (the text after the program name), waiting at most
// timeoutMs for it to end; stdout and stderr are read as it runs.
inline ProbeResult RunProbe(const std::wstring& exePath, const std::wstring& args,
                            const std::vector<std::pair<std::wstring, std::wstring>>& env,
                            DWORD timeoutMs = 60000) {
    ProbeResult result;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &sa, 0)) return result;
    if (!CreatePipe(&errRead, &errWrite, &sa, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return result;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = L"\"" + exePath + L"\"";
    if (!args.empty()) commandLine += L" " + args;
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    std::vector<wchar_t> block = BuildEnvironment(env);
    std::wstring dir = exePath.substr(0, exePath.rfind(L'\\') + 1);

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi = {};
    result.started = CreateProcessW(exePath.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                                    CREATE_UNICODE_ENVIRONMENT, block.data(), dir.c_str(), &si,
                                    &pi) != FALSE;
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (result.started) {
        HANDLE pipes[2] = {outRead, errRead};
        std::string* sinks[2] = {&result.out, &result.err};
        bool open[2] = {true, true};
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while ((open[0] || open[1]) && GetTickCount64() < deadline) {
            bool read = false;
            for (int i = 0; i < 2; ++i) {
                if (!open[i]) continue;
                DWORD avail = 0;
                if (!PeekNamedPipe(pipes[i], nullptr, 0, nullptr, &avail, nullptr)) {
                    open[i] = false;  // every writer is gone
                    continue;
                }
                if (avail == 0) continue;
                char buffer[4096];
                DWORD got = 0;
                if (ReadFile(pipes[i], buffer, sizeof buffer < avail ? sizeof buffer : avail, &got,
                             nullptr) && got > 0) {
                    sinks[i]->append(buffer, got);
                    read = true;
                }
            }
            if (!read) WaitForSingleObject(pi.hProcess, 10);  // bounded poll
        }
        DWORD remaining = static_cast<DWORD>(
            deadline > GetTickCount64() ? deadline - GetTickCount64() : 0);
        result.finished = WaitForSingleObject(pi.hProcess, remaining) == WAIT_OBJECT_0;
        if (!result.finished) TerminateProcess(pi.hProcess, 99);
        GetExitCodeProcess(pi.hProcess, &result.exitCode);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

// Waits, within timeoutMs, until no process holds the instance mutex.
inline bool WaitForNoInstance(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, InstanceMutexName());
        if (!h) return true;
        CloseHandle(h);
        if (GetTickCount64() >= deadline) return false;
        // Poll with a bound: another test's installer holds it for a moment.
        HANDLE timer = GetCurrentProcess();
        WaitForSingleObject(timer, 50);
    }
}

// Runs the probe as the only instance: other test processes that build the
// application object hold the instance mutex for a while, so the run waits
// for it to be free and is repeated when the probe still found it taken.
inline ProbeResult RunProbeAsFirst(const std::wstring& exePath, const std::wstring& args,
                                   const std::vector<std::pair<std::wstring, std::wstring>>& env) {
    ProbeResult result;
    const ULONGLONG deadline = GetTickCount64() + 120000;
    do {
        WaitForNoInstance(60000);
        result = RunProbe(exePath, args, env);
        if (result.Value("running") != "1") break;
    } while (GetTickCount64() < deadline);
    return result;
}

}  // namespace kavri_test
