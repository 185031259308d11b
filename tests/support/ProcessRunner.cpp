#include "support/ProcessRunner.h"

#include <cwctype>
#include <map>

#include "common/Handles.h"

namespace kavri_test {
namespace {

using kavri::ScopedKernelHandle;

// After the child has ended, everything it wrote is already in the pipe. A
// pipe that still does not report its end by then is held open by a
// grandchild that inherited it; its output is not the child's.
const DWORD kDrainAfterExitMs = 2000;
// The wait for a terminated child to be gone.
const DWORD kKillWaitMs = 5000;

std::wstring UpperName(const std::wstring& name) {
    std::wstring key = name;
    for (auto& c : key) c = static_cast<wchar_t>(towupper(c));
    return key;
}

struct PipeReader {
    ScopedKernelHandle read;
    std::string* sink = nullptr;
    bool open = false;

    // Reads what the pipe holds now, without blocking. False when nothing was read.
    bool ReadAvailable() {
        bool any = false;
        while (open) {
            DWORD avail = 0;
            if (!PeekNamedPipe(read.Get(), nullptr, 0, nullptr, &avail, nullptr)) {
                open = false;  // every writer is gone: end of the output
                break;
            }
            if (avail == 0) break;
            char buffer[4096];
            DWORD got = 0;
            const DWORD want = avail < sizeof buffer ? avail : static_cast<DWORD>(sizeof buffer);
            if (!ReadFile(read.Get(), buffer, want, &got, nullptr) || got == 0) {
                open = false;
                break;
            }
            sink->append(buffer, got);
            any = true;
        }
        return any;
    }
};

// A pipe whose read end stays here (not inherited) and whose write end the
// child inherits.
bool MakePipe(PipeReader& reader, ScopedKernelHandle& write, std::string* sink) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) return false;
    reader.read.Reset(r);
    write.Reset(w);
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
    reader.sink = sink;
    reader.open = true;
    return true;
}

// The environment block for options.set / unset.
std::vector<wchar_t> EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& set,
                                      const std::vector<std::wstring>& unset) {
    std::map<std::wstring, std::wstring> vars;  // upper-case name -> "Name=value", sorted as Windows wants
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        const size_t eq = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
        vars[UpperName(entry.substr(0, eq))] = entry;
    }
    if (block) FreeEnvironmentStringsW(block);
    for (const auto& name : unset) vars.erase(UpperName(name));
    for (const auto& kv : set) vars[UpperName(kv.first)] = kv.first + L"=" + kv.second;
    std::vector<wchar_t> out;
    for (const auto& kv : vars) {
        out.insert(out.end(), kv.second.begin(), kv.second.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

}  // namespace

ProcessOutput RunChildProcess(const ProcessOptions& options) {
    ProcessOutput result;
    PipeReader reader;
    ScopedKernelHandle outWrite;
    if (!MakePipe(reader, outWrite, &result.out)) return result;

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite.Get();
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::vector<wchar_t> cmd(options.commandLine.begin(), options.commandLine.end());
    cmd.push_back(L'\0');
    std::vector<wchar_t> env;
    if (!options.set.empty() || !options.unset.empty()) env = EnvironmentBlock(options.set, options.unset);
    PROCESS_INFORMATION pi = {};
    result.started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                    env.empty() ? nullptr : env.data(),
                                    options.workDir.empty() ? nullptr : options.workDir.c_str(), &si,
                                    &pi) != FALSE;
    // Only the child holds the write end now, so its end closes the pipe.
    outWrite.Reset();
    if (!result.started) return result;
    ScopedKernelHandle process(pi.hProcess);
    CloseHandle(pi.hThread);

    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    ULONGLONG drainEnd = 0;  // set once the child has ended
    for (;;) {
        const bool read = reader.ReadAvailable();
        const ULONGLONG now = GetTickCount64();
        if (drainEnd == 0 && WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0) {
            drainEnd = now + kDrainAfterExitMs;
            if (drainEnd > deadline) drainEnd = deadline > now ? deadline : now;
        }
        if (drainEnd != 0 && (!reader.open || now >= drainEnd)) break;  // ended and read
        if (drainEnd == 0 && now >= deadline) {
            result.timedOut = true;
            TerminateProcess(process.Get(), 99);
            WaitForSingleObject(process.Get(), kKillWaitMs);
            break;
        }
        // Bounded poll: wakes at once when the child ends.
        if (!read) {
            if (drainEnd == 0)
                WaitForSingleObject(process.Get(), 10);
            else
                Sleep(10);
        }
    }
    GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

std::wstring OwnBinDir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n < MAX_PATH ? n : 0);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::vector<std::string> OutputLines(const std::string& out) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < out.size()) {
        const size_t nl = out.find('\n', pos);
        std::string line = out.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return lines;
}

}  // namespace kavri_test
