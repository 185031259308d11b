// For C++ tests: the UI driver or a test tool in a process of its own with a
// bounded wait (support/ProcessRunner), and the driver's JSON lines.
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
    bool finished = false;  // false: not started, or killed after the timeout
    DWORD exitCode = 0;
    std::string out;        // stdout
};

// The current environment with some variables set ("" value: removed).
inline std::vector<wchar_t> EnvironmentWith(const std::map<std::wstring, std::wstring>& changes) {
    std::vector<std::pair<std::wstring, std::wstring>> set;
    std::vector<std::wstring> unset;
    for (const auto& kv : changes) kv.second.empty() ? unset.push_back(kv.first) : set.push_back(kv);
    return EnvironmentBlock(set, unset);
}

// Runs commandLine (the program quoted as needed); kills it after timeoutMs.
// env: variables to set ("" value: removed). The child's stderr is ours.
inline ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs,
                                const std::map<std::wstring, std::wstring>& env = {},
                                const std::wstring& workDir = L"") {
    ProcessOptions options{commandLine, timeoutMs, workDir};
    options.inheritStderr = true;
    for (const auto& kv : env) kv.second.empty() ? options.unset.push_back(kv.first) : options.set.push_back(kv);
    ProcessOutput run = RunChildProcess(options);
    return ProcessResult{run.Finished(), run.exitCode, std::move(run.out)};
}

// uidriver.exe from the test's own bin directory; args already quoted.
inline ProcessResult RunUiDriver(const std::wstring& args, DWORD timeoutMs = 30000) {
    return RunProcess(L"\"" + OwnBinDir() + L"uidriver.exe\" " + args, timeoutMs);
}

// The raw value of "key" in a flat JSON line: a string's contents (escapes
// kept as written), a number, true/false, or "[..]". "" when absent.
inline std::string JsonField(const std::string& line, const std::string& key) {
    const std::string pat = "\"" + key + "\":";
    size_t v = line.find(pat);
    if (v == std::string::npos || (v += pat.size()) >= line.size()) return "";
    if (line[v] == '[') return line.substr(v, line.find(']', v) - v + 1);
    if (line[v] != '"') return line.substr(v, line.find_first_of(",}", v) - v);
    std::string out;
    for (size_t i = v + 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) out += line[i++];
        out += line[i];
    }
    return out;
}

}  // namespace kavri_test
