// Runs installerprobe.exe, copied under another name into a test directory,
// with a chosen environment and command line, and collects its exit code,
// stdout and stderr (support/ProcessRunner). Shared by the log and the app
// tests, which link the test support library.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "support/InstanceMutex.h"
#include "support/ProcessRunner.h"
#include "support/TestEnv.h"

namespace kavri_test {

struct ProbeResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::string out;
    std::string err;

    // The last "key=value" line for key, or "<missing>".
    std::string Value(const std::string& key) const {
        std::string found = "<missing>";
        for (const std::string& line : OutputLines(out))
            if (line.compare(0, key.size() + 1, key + "=") == 0) found = line.substr(key.size() + 1);
        return found;
    }
};

// Variables the probe's behaviour depends on; each run starts without them.
inline const std::vector<std::wstring>& ProbeVariables() {
    static const std::vector<std::wstring> names = {L"KAVRI_DEBUG_LEVEL", L"KAVRI_PROBE_TRACE",
                                                    L"KAVRI_PROBE_WEBCONFIG", L"KAVRI_PROBE_RETRY"};
    return names;
}

// Copies the probe to dir\exeName (for example "setup.exe"). Returns 0, or
// the system error of the copy.
inline DWORD InstallProbe(const TempDir& dir, const std::wstring& exeName) {
    if (CopyFileW(ToolPath(L"installerprobe.exe").c_str(), dir.File(exeName).c_str(), FALSE)) return 0;
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

// Runs exePath with args (the text after the program name) in its own
// directory, waiting at most timeoutMs for it to end; stdout and stderr are
// read as it runs.
inline ProbeResult RunProbe(const std::wstring& exePath, const std::wstring& args,
                            const std::vector<std::pair<std::wstring, std::wstring>>& env,
                            DWORD timeoutMs = 60000) {
    ProcessOptions options;
    options.commandLine = L"\"" + exePath + L"\"";
    if (!args.empty()) options.commandLine += L" " + args;
    options.timeoutMs = timeoutMs;
    options.workDir = exePath.substr(0, exePath.rfind(L'\\') + 1);
    options.unset = ProbeVariables();
    options.set = env;
    ProcessOutput run = RunChildProcess(options);
    ProbeResult result;
    result.started = run.started;
    result.finished = run.Finished();
    result.exitCode = run.exitCode;
    result.out = std::move(run.out);
    result.err = std::move(run.err);
    return result;
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
