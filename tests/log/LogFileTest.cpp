// The log file as a run of the installer leaves it: installerprobe.exe,
// copied under the installer's name, builds the application object (which
// installs the file writer) and writes one line of each level.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/TestEnv.h"
#include "tools/installerprobe/ProbeRunner.h"

using kavri_test::ProbeResult;
using kavri_test::TempDir;

namespace {

const wchar_t kUrl[] = L"http://127.0.0.1:9/product.exe";
const char kErrorLine[] = "[ERROR] -503:CDownloader::Run, failed to create new internet session.";
const char kWarningLine[] = "[WARNING] 7:CDownloader::Probe, warning line";
const char kInfoLine[] = "[INFO] CDownloader::Probe, information line";

// The file's lines without their time stamps. Each line must begin with
// "[HH:MM.SS]" and end in CR LF; a line that does not shows up as "<bad>".
std::vector<std::string> Lines(const std::string& bytes) {
    static const std::regex stamp(R"(^\[[0-2]\d:[0-5]\d\.[0-6]\d\](.*)\r$)");
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(pos, end - pos);
        std::smatch m;
        lines.push_back(std::regex_match(line, m, stamp) ? m[1].str() : "<bad>" + line);
        pos = end + 1;
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines)
        if (l == line) return true;
    return false;
}

class LogFile : public ::testing::Test {
protected:
    void Install(const std::wstring& name) {
        m_exe = m_dir.File(name);
        ASSERT_EQ(kavri_test::InstallProbe(m_dir, name), 0u)
            << kavri_test::ToolPath(L"installerprobe.exe");
    }
    ProbeResult Run(const std::wstring& args,
                    const std::vector<std::pair<std::wstring, std::wstring>>& env) {
        ProbeResult r = kavri_test::RunProbeAsFirst(m_exe, args, env);
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.Value("running"), "0") << r.out;
        return r;
    }
    TempDir m_dir;
    std::wstring m_exe;
};

}  // namespace

TEST_F(LogFile, EnvironmentLevelSelectsTheLines) {
    struct Case {
        const wchar_t* level;  // null: variable unset
        bool file;
        bool info;
        bool warning;
        bool error;
    } cases[] = {
        {L"5", true, false, false, true},
        {L"4", true, false, true, true},
        {L"-1", true, true, true, true},
        {L"1", true, true, true, true},
        {L"7", false, false, false, false},
        {nullptr, false, false, false, false},
    };
    Install(L"setup.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level ? c.level : L"(unset)");
        // A log left from an earlier run is always replaced.
        ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"setup.log"), "stale\r\n"));
        std::vector<std::pair<std::wstring, std::wstring>> env = {{L"KAVRI_PROBE_TRACE", L"1"}};
        if (c.level) env.push_back({L"KAVRI_DEBUG_LEVEL", c.level});
        Run(kUrl, env);

        EXPECT_EQ(kavri_test::FileExists(m_dir.File(L"setup.log")), c.file);
        std::vector<std::string> lines = Lines(kavri_test::ReadFileBytes(m_dir.File(L"setup.log")));
        EXPECT_FALSE(Contains(lines, "<bad>stale\r"));
        EXPECT_EQ(Contains(lines, kInfoLine), c.info);
        EXPECT_EQ(Contains(lines, "[INFO] CInstaller:Application starts"), c.info);
        EXPECT_EQ(Contains(lines, kWarningLine), c.warning);
        EXPECT_EQ(Contains(lines, kErrorLine), c.error);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("<bad>"), std::string::npos) << line;
            if (!c.info) {
                EXPECT_EQ(line.find("[INFO]"), std::string::npos) << line;
            }
        }
    }
}

TEST_F(LogFile, FullLevelWritesStartDumpAndExitInOrder) {
    Install(L"setup.exe");
    ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"setup.ini"),
        "[RUNTIME]\r\nOSVersion=6.1\r\nRAM=512\r\nCPU=1200\r\nHDD=300\r\n"
        "[PRODUCT]\r\nName=Kavri Skyguard\r\nHelp=http://help.example/os\r\nVer=3\r\n"
        "[CAMPAIGN]\r\nSOURCE=src1\r\n"));
    Run(L"http://127.0.0.1:9/product.exe -c 1031 -s 4 -t 0", {{L"KAVRI_DEBUG_LEVEL", L"-1"}});

    std::vector<std::string> expected = {
        "[INFO] CInstaller:Application starts",
        "[INFO] CInstaller:[LOCALIZATION]",
        "[INFO] CInstaller:LCID: 1031",
        "[INFO] CInstaller:Lang: de",
        "[INFO] CInstaller:[DOWNLOADER]",
        "[INFO] CInstaller:MaxDownloadSegments: 4",
        "[INFO] CInstaller:[RUNTIME]",
        "[INFO] CInstaller:CPUSpeed: 1200",
        "[INFO] CInstaller:FreeHDD: 300",
        "[INFO] CInstaller:TotalRAM: 512",
        "[INFO] CInstaller:OSversion: 6.1",
        "[INFO] CInstaller:[PRODUCT]",
        "[INFO] CInstaller:Name: Kavri Skyguard",
        "[INFO] CInstaller:Version: 3",
        "[INFO] CInstaller:HelpUrl: http://help.example/os",
        "[INFO] CInstaller:DownloadUrl: http://127.0.0.1:9/product.exe",
        "[INFO] CInstaller:MainInstallerPath: ",
        "[INFO] CInstaller:WebConfig: ",
        "[INFO] CInstaller:[CAMPAIGN]",
        "[INFO] CInstaller:TrackingUrl: ",
        "[INFO] CInstaller:Information: undefined",
        "[INFO] CInstaller:Source: src1",
        "[INFO] CInstaller:Medium: undefined",
        "[INFO] CInstaller:Application exits",
    };
    EXPECT_EQ(Lines(kavri_test::ReadFileBytes(m_dir.File(L"setup.log"))), expected);
}

TEST_F(LogFile, ErrorLinesAlsoGoToStandardErrorOthersDoNot) {
    Install(L"setup.exe");
    ProbeResult r = Run(kUrl, {{L"KAVRI_DEBUG_LEVEL", L"-1"}, {L"KAVRI_PROBE_TRACE", L"1"}});
    EXPECT_NE(r.err.find("CDownloader::Run, failed to create new internet session.\r\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("information line"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warning line"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Application starts"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("CDownloader"), std::string::npos) << r.out;
}

TEST_F(LogFile, ExecutableNameGivesIniAndLogNames) {
    Install(L"web.installer.exe");
    ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"web.installer.ini"),
                                           "[PRODUCT]\r\nURL=http://127.0.0.1:9/from-ini.exe\r\n"));
    ProbeResult r = Run(L"", {{L"KAVRI_DEBUG_LEVEL", L"-1"}});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.Value("url"), "http://127.0.0.1:9/from-ini.exe");
    std::vector<std::string> lines =
        Lines(kavri_test::ReadFileBytes(m_dir.File(L"web.installer.log")));
    EXPECT_TRUE(Contains(lines, "[INFO] CInstaller:Application starts"));
    EXPECT_TRUE(Contains(lines, "[INFO] CInstaller:DownloadUrl: http://127.0.0.1:9/from-ini.exe"));
    EXPECT_FALSE(kavri_test::FileExists(m_dir.File(L"web.log")));
}

TEST_F(LogFile, LevelOnlyFromIniMissesTheStartLine) {
    Install(L"setup.exe");
    ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"setup.ini"), "[DEBUG]\r\nLogLevel=1\r\n"));
    Run(kUrl, {});
    std::vector<std::string> lines = Lines(kavri_test::ReadFileBytes(m_dir.File(L"setup.log")));
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(Contains(lines, "[INFO] CInstaller:Application starts"));
    EXPECT_EQ(lines.front(), "[INFO] CInstaller:[LOCALIZATION]");
    EXPECT_EQ(lines.back(), "[INFO] CInstaller:Application exits");
}

TEST_F(LogFile, LevelFromTheCommandLine) {
    Install(L"setup.exe");
    Run(std::wstring(kUrl) + L" -l 5", {{L"KAVRI_PROBE_TRACE", L"1"}});
    std::vector<std::string> lines = Lines(kavri_test::ReadFileBytes(m_dir.File(L"setup.log")));
    EXPECT_EQ(lines, std::vector<std::string>{kErrorLine});
}
