// For C++ tests: run a program (the UI driver or a test tool) in a process of
// its own, with a bounded wait, and read what it printed. Header-only, so a
// test folder can include it as "tools/uidriver/UiDriverClient.h".
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace kavri_test {

struct ProcessResult {
    bool finished = false;  // false: started but killed after the timeout, or not started
    DWORD exitCode = 0;
    std::string out;        // stdout
};

// The directory of the running executable, with a trailing backslash. Tests
// and tools are built into the same bin directory.
inline std::wstring OwnBinDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

// The current environment with some variables set ("" value: removed), as a
// block for CreateProcessW.
inline std::vector<wchar_t> EnvironmentWith(const std::map<std::wstring, std::wstring>& changes) {
    std::map<std::wstring, std::wstring> vars;  // upper-case name -> "Name=value"
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t eq = entry.find(L'=', 1);  // "=C:=..." entries start with '='
        std::wstring name = entry.substr(0, eq);
        std::wstring key = name;
        for (auto& c : key) c = static_cast<wchar_t>(towupper(c));
        vars[key] = entry;
    }
    if (block) FreeEnvironmentStringsW(block);
    for (const auto& kv : changes) {
        std::wstring key = kv.first;
        for (auto& c : key) c = static_cast<wchar_t>(towupper(c));
        if (kv.second.empty())
            vars.erase(key);
        else
            vars[key] = kv.first + L"=" + kv.second;
    }
    std::vector<wchar_t> out;
    for (const auto& kv : vars) {
        out.insert(out.end(), kv.second.begin(), kv.second.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

// Runs commandLine (the program quoted as needed), waits at most timeoutMs,
// kills it after that. env: variables to set or remove; empty map inherits.
inline ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs,
                                const std::map<std::wstring, std::wstring>& env = {},
                                const std::wstring& workDir = L"") {
    ProcessResult result;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    std::vector<wchar_t> block;
    if (!env.empty()) block = EnvironmentWith(env);
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                             block.empty() ? nullptr : block.data(),
                             workDir.empty() ? nullptr : workDir.c_str(), &si, &pi);
    CloseHandle(writeEnd);
    if (!ok) {
        CloseHandle(readEnd);
        return result;
    }
    CloseHandle(pi.hThread);

    // Read on this thread while waiting, so a chatty child never blocks on
    // a full pipe.
    DWORD start = GetTickCount();
    for (;;) {
        DWORD avail = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
            char buf[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, buf, sizeof buf, &got, nullptr) || got == 0) break;
            result.out.append(buf, got);
        }
        DWORD elapsed = GetTickCount() - start;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
        if (elapsed >= timeoutMs) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
            CloseHandle(pi.hProcess);
            CloseHandle(readEnd);
            return result;
        }
        WaitForSingleObject(pi.hProcess, 10);
    }
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0) result.out.append(buf, got);
    result.finished = GetExitCodeProcess(pi.hProcess, &result.exitCode) != 0;
    CloseHandle(pi.hProcess);
    CloseHandle(readEnd);
    return result;
}

// Runs uidriver.exe from the test's own bin directory with the given
// arguments (already quoted where needed).
inline ProcessResult RunUiDriver(const std::wstring& args, DWORD timeoutMs = 30000) {
    return RunProcess(L"\"" + OwnBinDir() + L"uidriver.exe\" " + args, timeoutMs);
}

// Splits output into its lines (without line ends).
inline std::vector<std::string> OutputLines(const std::string& out) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        std::string line = out.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return lines;
}

// The raw value of "key" in a flat JSON line: a string's contents (escapes
// kept as written), a number, true/false, or "[..]". "" when absent.
inline std::string JsonField(const std::string& line, const std::string& key) {
    std::string pat = "\"" + key + "\":";
    size_t k = line.find(pat);
    if (k == std::string::npos) return "";
    size_t v = k + pat.size();
    if (v >= line.size()) return "";
    if (line[v] == '"') {
        std::string out;
        for (size_t i = v + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                out += line[i];
                out += line[++i];
            } else if (line[i] == '"') {
                break;
            } else {
                out += line[i];
            }
        }
        return out;
    }
    if (line[v] == '[') return line.substr(v, line.find(']', v) - v + 1);
    size_t end = line.find_first_of(",}", v);
    return line.substr(v, end - v);
}

// A wide text as the driver writes it inside a JSON string (ASCII, \uXXXX).
inline std::string JsonEscaped(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

}  // namespace kavri_test
