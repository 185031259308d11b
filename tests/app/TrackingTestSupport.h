// Helpers of the tracking and installation-flow tests: a private copy of
// flowprobe.exe with its own INI file, run as a process of its own, and the
// test server's record of the tracking requests it received.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/TestEnv.h"
#include "tools/uidriver/UiDriverClient.h"

namespace kavri_test {

// A tag no other test uses, for the test server's request records.
inline std::wstring UniqueTag(const char* name) {
    return UniqueTag(std::wstring(name, name + strlen(name)));
}

inline bool WriteUtf16File(const std::wstring& path, const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return WriteFileBytes(path, bytes);
}

// flowprobe.exe and argrecorder.exe (as rec.exe) copied into "<temp>\probe dir"
// (a blank in the directory on purpose), with flowprobe.ini written there.
class ProbeDir {
public:
    ProbeDir() : m_dir(m_temp.Path() + L"\\probe dir") {
        CreateDirectoryW(m_dir.c_str(), nullptr);
        std::wstring bin = OwnBinDir();
        m_ok = CopyFileW((bin + L"flowprobe.exe").c_str(), File(L"flowprobe.exe").c_str(), FALSE) &&
               CopyFileW((bin + L"argrecorder.exe").c_str(), File(L"rec.exe").c_str(), FALSE);
    }
    bool Ok() const { return m_ok; }
    const std::wstring& Dir() const { return m_dir; }
    std::wstring File(const std::wstring& name) const { return m_dir + L"\\" + name; }

    void WriteIni(const std::wstring& text) { ASSERT_TRUE(WriteUtf16File(File(L"flowprobe.ini"), text)); }

    // Runs flowprobe with these command-line arguments and operations
    // (KAVRI_PROBE). Its output lines are returned.
    std::vector<std::string> Run(const std::wstring& args, const std::wstring& operations) {
        ProcessResult r;
        // Exit code 11: another installer instance held the single-instance
        // mutex at that moment (tests run in parallel); nothing was done.
        for (int attempt = 0; attempt < 5; ++attempt) {
            r = RunProcess(L"\"" + File(L"flowprobe.exe") + L"\" " + args, 180000,
                           {{L"KAVRI_PROBE", operations}, {L"KAVRI_DEBUG_LEVEL", L"1"}}, m_dir);
            if (!r.finished || r.exitCode != 11) break;
        }
        EXPECT_TRUE(r.finished) << "flowprobe did not finish";
        EXPECT_EQ(0u, r.exitCode) << r.out;
        return OutputLines(r.out);
    }

    std::string Log() const { return ReadFileBytes(File(L"flowprobe.log")); }

private:
    TempDir m_temp;
    std::wstring m_dir;
    bool m_ok = false;
};

// The raw request targets (path and query exactly as sent) that the test
// server recorded for a tag, oldest first.
inline std::vector<std::string> RecordedTargets(const std::wstring& tag) {
    std::string json = HttpGetText(TestServerUrl(L"/_requests?tag=" + tag));
    std::vector<std::string> targets;
    const std::string key = "\"target\":";
    for (size_t k = json.find(key); k != std::string::npos; k = json.find(key, k + 1)) {
        size_t q = json.find('"', k + key.size());
        if (q == std::string::npos) break;
        std::string value;
        for (size_t i = q + 1; i < json.size() && json[i] != '"'; ++i) {
            if (json[i] == '\\' && i + 1 < json.size()) {
                char e = json[++i];
                if (e == 'u' && i + 4 < json.size()) {
                    value += static_cast<char>(std::stoi(json.substr(i + 1, 4), nullptr, 16));
                    i += 4;
                } else {
                    value += e;
                }
            } else {
                value += json[i];
            }
        }
        targets.push_back(value);
    }
    return targets;
}

inline std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += static_cast<char>(c < 0x80 ? c : '?');
    return s;
}

// The value of key in a query string (raw, not decoded); "" when absent.
inline std::string QueryValue(const std::string& target, const std::string& key) {
    size_t q = target.find('?');
    if (q == std::string::npos) return "";
    std::string query = target.substr(q + 1);
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        std::string pair = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == key) return eq == std::string::npos ? "" : pair.substr(eq + 1);
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return "";
}

}  // namespace kavri_test
