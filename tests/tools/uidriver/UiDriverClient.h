// For C++ tests: run the UI driver or a test tool in a process of its own,
// with a bounded wait (support/ProcessRunner), and read the driver's JSON
// lines. Include it as "tools/uidriver/UiDriverClient.h"; the test
// executable links the test support library.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/JsonText.h"  // JsonEscaped: the driver's spelling of a text
#include "support/ProcessRunner.h"

namespace kavri_test {

struct ProcessResult {
    bool finished = false;  // false: started but killed after the timeout, or not started
    DWORD exitCode = 0;
    std::string out;        // stdout
};

// The current environment with some variables set ("" value: removed), as a
// block for CreateProcessW.
inline std::vector<wchar_t> EnvironmentWith(const std::map<std::wstring, std::wstring>& changes) {
    std::vector<std::pair<std::wstring, std::wstring>> set;
    std::vector<std::wstring> unset;
    for (const auto& kv : changes) {
        if (kv.second.empty())
            unset.push_back(kv.first);
        else
            set.push_back(kv);
    }
    return EnvironmentBlock(set, unset);
}

// Runs commandLine (the program quoted as needed), waits at most timeoutMs,
// kills it after that. env: variables to set ("" value: removed); empty map
// inherits. The child's stderr goes to this process's.
inline ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs,
                                const std::map<std::wstring, std::wstring>& env = {},
                                const std::wstring& workDir = L"") {
    ProcessOptions options;
    options.commandLine = commandLine;
    options.timeoutMs = timeoutMs;
    options.workDir = workDir;
    options.inheritStderr = true;
    for (const auto& kv : env) {
        if (kv.second.empty())
            options.unset.push_back(kv.first);
        else
            options.set.push_back(kv);
    }
    ProcessOutput run = RunChildProcess(options);
    ProcessResult result;
    result.finished = run.Finished();
    result.exitCode = run.exitCode;
    result.out = std::move(run.out);
    return result;
}

// Runs uidriver.exe from the test's own bin directory with the given
// arguments (already quoted where needed).
inline ProcessResult RunUiDriver(const std::wstring& args, DWORD timeoutMs = 30000) {
    return RunProcess(L"\"" + OwnBinDir() + L"uidriver.exe\" " + args, timeoutMs);
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

}  // namespace kavri_test
