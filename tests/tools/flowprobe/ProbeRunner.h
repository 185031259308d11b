// For the tests: flowprobe.exe copied with argrecorder.exe (as rec.exe) into
// "<temp>\probe dir" (a blank on purpose) and run there with an INI file; the
// tracking events the test server recorded for the probe's tag.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/ProcessRunner.h"
#include "support/TestEnv.h"

namespace kavri_test {

struct Probe {
    Probe() : dir(temp.Path() + L"\\probe dir"), tag(UniqueTag(L"probe")) {
        CreateDirectoryW(dir.c_str(), nullptr);
        CopyTools();
    }
    void CopyTools() const {
        CopyFileW((OwnBinDir() + L"flowprobe.exe").c_str(), File(L"flowprobe.exe").c_str(), FALSE);
        CopyFileW((OwnBinDir() + L"argrecorder.exe").c_str(), File(L"rec.exe").c_str(), FALSE);
    }
    std::wstring File(const std::wstring& name) const { return dir + L"\\" + name; }
    // text with each "<dir>" replaced by the probe's directory.
    std::wstring In(std::wstring text) const {
        for (size_t at; (at = text.find(L"<dir>")) != std::wstring::npos;) text.replace(at, 5, dir);
        return text;
    }
    // A tracking template whose requests the test server files under the tag.
    std::wstring Tracking(const std::wstring& path = L"/t?e=%1") const { return TestServerUrl(path) + L"&tag=" + tag; }
    // UTF-16 with a byte-order mark: the profile API reads UTF-8 as ANSI.
    void Ini(const std::wstring& text, const std::wstring& name = L"flowprobe.ini") const {
        WriteFileBytes(File(name), "\xFF\xFE" + std::string(reinterpret_cast<const char*>(&text[0]), text.size() * 2));
    }
    // The exit code; 999 when the probe did not finish in time.
    int Run(const std::wstring& args, const std::wstring& ops,
            std::vector<std::pair<std::wstring, std::wstring>> env = {{L"KAVRI_DEBUG_LEVEL", L"1"}}) {
        ProcessOptions options;
        options.commandLine = L"\"" + File(L"flowprobe.exe") + L"\" " + args;
        options.timeoutMs = 90000;
        options.workDir = dir;
        options.unset = {L"KAVRI_DEBUG_LEVEL"};
        options.set = env;
        options.set.push_back({L"KAVRI_PROBE", ops});
        out = RunChildProcess(options);
        if (!out.started) {  // under load Wine now and then fails a start (or the copy before it): once more
            CopyTools();
            out = RunChildProcess(options);
        }
        return out.Finished() ? static_cast<int>(out.exitCode) : 999;
    }
    // The last "key=..." line printed, for a wanted "key=value" line; "<missing>" when there is none.
    std::string Line(const std::string& want) const {
        std::string found = "<missing>";
        for (const std::string& line : OutputLines(out.out))
            if (line.compare(0, want.find('=') + 1, want, 0, want.find('=') + 1) == 0) found = line;
        return found;
    }
    // The targets the test server recorded for the tag, oldest first; with
    // key "e=", only the event each carries.
    std::vector<std::string> Targets(const std::string& key = "") const {
        const std::string json = HttpGetText(TestServerUrl(L"/_requests?tag=" + tag)), mark = "\"target\": \"";
        std::vector<std::string> found;
        for (size_t at = json.find(mark); at != std::string::npos; at = json.find(mark, at + 1)) {
            const std::string t = json.substr(at + mark.size(), json.find('"', at + mark.size()) - at - mark.size());
            const size_t from = t.find(key) + key.size();
            found.push_back(key.empty() ? t : t.substr(from, t.find('&', from) - from));
        }
        return found;
    }

    TempDir temp;
    std::wstring dir, tag;
    ProcessOutput out;
};

}  // namespace kavri_test
