// For C++ tests: the UI driver in a process of its own with a bounded wait
// (support/ProcessRunner), and the driver's JSON lines.
#pragma once

#include <windows.h>

#include <string>

#include "support/JsonText.h"  // JsonEscaped: the driver's spelling of a text
#include "support/ProcessRunner.h"

namespace kavri_test {

// uidriver.exe from the test's own bin directory; args already quoted. The
// driver's stderr is the test's; killed after timeoutMs.
inline ProcessOutput RunUiDriver(const std::wstring& args, DWORD timeoutMs = 30000) {
    ProcessOptions options{L"\"" + OwnBinDir() + L"uidriver.exe\" " + args, timeoutMs};
    options.inheritStderr = true;
    return RunChildProcess(options);
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
