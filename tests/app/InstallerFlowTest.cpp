// Installation events and the launches of the local and the main installer,
// run in a real process (flowprobe) that starts a recording stand-in
// installer (argrecorder, copied as rec.exe) through the shell.
#include <gtest/gtest.h>

#include <string>

#include "TrackingTestSupport.h"

using namespace kavri_test;

namespace {

// The recorder writes its file after it starts; the shell does not wait for
// it. Bounded wait for the complete file (it appears by rename).
std::string WaitForRecord(const std::wstring& path) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(50)) {
        if (FileExists(path)) return ReadFileBytes(path);
    }
    return "";
}

std::string RecordValue(const std::string& record, const std::string& key) {
    size_t at = record.find(key + "=");
    if (at == std::string::npos) return "<absent>";
    size_t start = at + key.size() + 1;
    return record.substr(start, record.find('\n', start) - start);
}

class InstallerFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestServerPort() == 0) GTEST_SKIP() << "no test server in this run";
        ASSERT_TRUE(probe.Ok());
        tag = UniqueTag(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void WriteIni(const std::wstring& installerLine) {
        probe.WriteIni(L"[PRODUCT]\r\nURL=http://127.0.0.1:1/none.exe\r\n" + installerLine +
                       L"[CAMPAIGN]\r\nURL=http://127.0.0.1:" + std::to_wstring(TestServerPort()) +
                       L"/t?e=%1&tag=" + tag + L"\r\n");
    }
    std::vector<std::string> Events() {
        std::vector<std::string> events;
        for (const auto& t : RecordedTargets(tag)) events.push_back(QueryValue(t, "e"));
        return events;
    }
    ProbeDir probe;
    std::wstring tag;
};

TEST_F(InstallerFlowTest, LocalInstallerInADirectoryWithBlanksGetsItsArguments) {
    WriteIni(L"Installer=" + probe.File(L"rec.exe") + L" /silent \"two words\" --lang=en\r\n");
    auto lines = probe.Run(L"-c 1033", L"installcd");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("true", JsonField(lines[1], "result"));

    const std::string record = WaitForRecord(probe.File(L"rec.args.txt"));
    ASSERT_FALSE(record.empty()) << "the installer did not start";
    EXPECT_EQ(Narrow(probe.File(L"rec.exe")), RecordValue(record, "exe"));
    EXPECT_EQ("3", RecordValue(record, "argc"));
    EXPECT_EQ("/silent", RecordValue(record, "arg1"));
    EXPECT_EQ("two words", RecordValue(record, "arg2"));
    EXPECT_EQ("--lang=en", RecordValue(record, "arg3"));

    EXPECT_EQ(std::vector<std::string>{"stubInstaller_InstallFromCD"}, Events());
    EXPECT_NE(std::string::npos, probe.Log().find("CInstaller::SetState(\"stubInstaller_InstallFromCD\")"));
}

TEST_F(InstallerFlowTest, LocalInstallerTheShellRefusesRecordsNothing) {
    WriteIni(L"Installer=" + probe.File(L"missing.exe") + L" /silent\r\n");
    auto lines = probe.Run(L"-c 1033", L"installcd|state:0");
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("false", JsonField(lines[1], "result"));
    // Only the event recorded afterwards on purpose reaches the server.
    EXPECT_EQ(std::vector<std::string>{"stubinstaller_Started"}, Events());
    EXPECT_EQ(std::string::npos, probe.Log().find("SetState(\"stubInstaller_InstallFromCD\")"));
}

TEST_F(InstallerFlowTest, NoLocalInstallerConfiguredReturnsFalse) {
    WriteIni(L"");
    auto lines = probe.Run(L"-c 1033", L"installcd");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("false", JsonField(lines[1], "result"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(InstallerFlowTest, MainInstallerStartsWithoutArgumentsAndIsRecorded) {
    WriteIni(L"");
    auto lines = probe.Run(L"-c 1033", L"main:" + probe.File(L"rec.exe"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("true", JsonField(lines[1], "result"));
    const std::string record = WaitForRecord(probe.File(L"rec.args.txt"));
    ASSERT_FALSE(record.empty()) << "the installer did not start";
    EXPECT_EQ("0", RecordValue(record, "argc"));
    EXPECT_EQ(std::vector<std::string>{"stubinstaller_StartMainInstaller"}, Events());
}

TEST_F(InstallerFlowTest, MainInstallerTheShellRefusesRecordsNothing) {
    WriteIni(L"");
    auto lines = probe.Run(L"-c 1033", L"main:" + probe.File(L"missing.exe"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("false", JsonField(lines[1], "result"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(InstallerFlowTest, SetStateKeepsEveryValueAndRefusesUnknownOnes) {
    WriteIni(L"");
    auto lines = probe.Run(L"-c 1033", L"state:4|state:11|state:12");
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("4", JsonField(lines[1], "state"));
    EXPECT_EQ("true", JsonField(lines[1], "result"));
    EXPECT_EQ("11", JsonField(lines[2], "state"));
    // A value outside the twelve events: kept as a record, nothing sent.
    EXPECT_EQ("12", JsonField(lines[3], "state"));
    EXPECT_EQ("false", JsonField(lines[3], "result"));
    EXPECT_EQ((std::vector<std::string>{"stubinstaller_Cancelled_DiskSpace", "stubInstaller_UnexpectedError"}),
              Events());
}

}  // namespace
