// The application object built in a process of its own: installerprobe.exe,
// copied under the installer's name beside an INI file, runs the start of
// setup.exe and reports what it built.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/InstallerState.h"
#include "common/Handles.h"
#include "i18n/LanguageResources.h"
#include "support/TestEnv.h"
#include "tools/installerprobe/ProbeRunner.h"

using kavri_test::ProbeResult;
using kavri_test::TempDir;

namespace {

const wchar_t kUrl[] = L"http://127.0.0.1:9/first.exe";

class InstallerProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kavri_test::InstallProbe(m_dir, L"setup.exe"), 0u)
            << kavri_test::ToolPath(L"installerprobe.exe");
    }
    std::wstring Exe() const { return m_dir.File(L"setup.exe"); }
    void WriteIni(const std::string& text) {
        ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"setup.ini"), text));
    }
    ProbeResult Run(const std::wstring& args,
                    const std::vector<std::pair<std::wstring, std::wstring>>& env = {}) {
        ProbeResult r = kavri_test::RunProbeAsFirst(Exe(), args, env);
        EXPECT_TRUE(r.started);
        EXPECT_TRUE(r.finished);
        return r;
    }
    // Runs while this process holds the installer's single-instance mutex, so
    // the probe is a second instance.
    ProbeResult RunAsSecondInstance(const std::wstring& args,
                                    const std::vector<std::pair<std::wstring, std::wstring>>& env = {}) {
        EXPECT_TRUE(kavri_test::WaitForNoInstance(60000));
        kavri::ScopedKernelHandle mutex(CreateMutexW(nullptr, FALSE, kavri_test::InstanceMutexName()));
        EXPECT_TRUE(mutex.IsValid());
        return kavri_test::RunProbe(Exe(), args, env);
    }
    TempDir m_dir;
};

}  // namespace

TEST(InstallerState, TwelveExactNames) {
    const wchar_t* names[] = {
        L"stubinstaller_Started", L"stubinstaller_Cancelled_UnsupportedOS",
        L"stubinstaller_Cancelled_CPUnotSupported", L"stubinstaller_Cancelled_InsufficentRAM",
        L"stubinstaller_Cancelled_DiskSpace", L"stubinstaller_CancelledByUser",
        L"stubInstaller_CheckNewVersion", L"stubInstaller_InstallFromCD",
        L"stubinstaller_DownloadStarted", L"stubInstaller_DownloadError",
        L"stubinstaller_StartMainInstaller", L"stubInstaller_UnexpectedError",
    };
    for (int i = 0; i < 12; ++i) EXPECT_STREQ(GetInstallerStateName(i), names[i]) << i;
    EXPECT_EQ(GetInstallerStateName(-1), nullptr);
    EXPECT_EQ(GetInstallerStateName(12), nullptr);
    EXPECT_EQ(stubInstaller_UnexpectedError, 11);
}

TEST_F(InstallerProcess, NoIniAndNoUrlEndsWithMinus2) {
    ProbeResult r = Run(L"");
    EXPECT_EQ(r.Value("instance"), "null");
    EXPECT_EQ(static_cast<int>(r.exitCode), -2);
}

TEST_F(InstallerProcess, RetryAfterRefusalIsNotTakenForASecondInstance) {
    ProbeResult r = Run(L"", {{L"KAVRI_PROBE_RETRY", L"1"}, {L"KAVRI_DEBUG_LEVEL", L"1"}});
    EXPECT_EQ(r.Value("error"), "-2") << r.out;
    EXPECT_EQ(r.Value("retry"), "null");
    EXPECT_EQ(r.Value("retryerror"), "-2");
    // The refused attempts wrote their lines, and no exit line follows.
    std::string log = kavri_test::ReadFileBytes(m_dir.File(L"setup.log"));
    EXPECT_NE(log.find("[INFO] CInstaller:Application starts\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Application exits"), std::string::npos) << log;
}

TEST_F(InstallerProcess, UrlOnTheCommandLineAloneIsEnough) {
    ProbeResult r = Run(kUrl);
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.Value("running"), "0");
    EXPECT_EQ(r.Value("url"), kavri_test::Utf8(kUrl));
    EXPECT_EQ(r.Value("logpath"), kavri_test::Utf8(m_dir.File(L"setup.log")));
}

TEST_F(InstallerProcess, OverlongUrlIsRefusedAndLogged) {
    std::wstring url = L"http://127.0.0.1/" + std::wstring(2100, L'a');
    ProbeResult r = Run(url, {{L"KAVRI_DEBUG_LEVEL", L"4"}});
    EXPECT_EQ(static_cast<int>(r.exitCode), -2) << r.out;
    std::string log = kavri_test::ReadFileBytes(m_dir.File(L"setup.log"));
    EXPECT_NE(log.find("][WARNING] -2:CInstaller::ParseCommandLine, argument 1 is longer than 2047 "
                       "characters and was ignored.\r\n"),
              std::string::npos)
        << log;
}

TEST_F(InstallerProcess, LocalInstallerWithWebConfigIsASource) {
    WriteIni("[PRODUCT]\r\nInstaller=local setup.exe /S /v\r\nConfig=http://127.0.0.1:9/web.ini\r\n");
    ProbeResult r = Run(L"");
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.Value("url"), "(null)");
    EXPECT_EQ(r.Value("cd"), "1");
    // Qualified against the working directory, arguments as written.
    EXPECT_EQ(r.Value("installer"), kavri_test::Utf8(m_dir.Path() + L"\\local setup.exe /S /v"));
}

TEST_F(InstallerProcess, InstallerWithoutWebConfigIsNoSource) {
    WriteIni("[PRODUCT]\r\nInstaller=C:\\cd\\setup.exe\r\n");
    ProbeResult r = Run(L"");
    EXPECT_EQ(static_cast<int>(r.exitCode), -2) << r.out;
}

TEST_F(InstallerProcess, CommandLineOverIniOverDefaults) {
    WriteIni(
        "[DOWNLOADER]\r\nMaxAllowedSegments=6\r\n"
        "[RUNTIME]\r\nOSVersion=5.1\r\nRAM=256\r\nCPU=800\r\nHDD=100\r\n"
        "[PRODUCT]\r\nURL=http://127.0.0.1:9/ini.exe\r\nName=Kavri Test\r\nVer=3\r\n"
        "[CAMPAIGN]\r\nURL=http://track/?e=%1\r\n");
    ProbeResult r = Run(L"http://127.0.0.1:9/cmd.exe -s 4 -c 1031");
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.Value("url"), "http://127.0.0.1:9/cmd.exe");
    EXPECT_EQ(r.Value("segments"), "4");
    EXPECT_EQ(r.Value("lcid"), "1031");
    EXPECT_EQ(r.Value("os"), "5.1");
    EXPECT_EQ(r.Value("ram"), "256");
    EXPECT_EQ(r.Value("cpu"), "800");
    EXPECT_EQ(r.Value("hdd"), "100");
    EXPECT_EQ(r.Value("product"), "Kavri Test");
    EXPECT_EQ(r.Value("version"), "3");
    EXPECT_EQ(r.Value("tracking"), "1");

    ProbeResult off = Run(L"http://127.0.0.1:9/cmd.exe -s 4 -t 0");
    EXPECT_EQ(off.Value("tracking"), "0");
    EXPECT_EQ(off.Value("template"), "");
}

TEST_F(InstallerProcess, WebConfigReplacesTheRecordOnlyWithAHigherVersion) {
    const struct {
        const char* name;
        const wchar_t* args;
        const char* webIni;
        const char* replaced;
        const char* key;  // and its value afterwards
        const char* value;
    } cases[] = {
        {"same version changes nothing", L"", "[PRODUCT]\r\nURL=http://127.0.0.1:9/second.exe\r\nVer=3\r\n", "0",
         "url", "http://127.0.0.1:9/first.exe"},
        // The command line is not applied again to the new record.
        {"higher version replaces", L"-s 2", "[PRODUCT]\r\nURL=http://127.0.0.1:9/second.exe\r\nVer=4\r\n", "1",
         "url", "http://127.0.0.1:9/second.exe"},
        {"log level applies without a higher version", L"", "[DEBUG]\r\nLogLevel=1\r\n[PRODUCT]\r\nVer=2\r\n",
         "0", "loglevel", "1"},
    };
    WriteIni("[PRODUCT]\r\nURL=http://127.0.0.1:9/first.exe\r\nVer=3\r\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The probe reads web.ini as the configuration fetched from the web.
        ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"web.ini"), c.webIni));
        ProbeResult r = Run(c.args, {{L"KAVRI_PROBE_WEBCONFIG", m_dir.File(L"web.ini")}});
        EXPECT_EQ(r.Value("replaced"), c.replaced) << r.out;
        EXPECT_EQ(r.Value(c.key), c.value);
    }
}

TEST_F(InstallerProcess, TitleHandedOutBeforeAReplacingWebConfigStaysReadable) {
    // The getters hand out pointers without a lock; a record replaced while
    // another thread holds one must not be freed under it. The names are long
    // enough to live on the heap, where a freed block is overwritten.
    WriteIni("[PRODUCT]\r\nName=Kavri Held Title Before The Web Configuration\r\n"
             "URL=http://127.0.0.1:9/first.exe\r\nVer=3\r\n");
    ASSERT_TRUE(kavri_test::WriteFileBytes(
        m_dir.File(L"web.ini"),
        "[PRODUCT]\r\nName=Kavri Title From The Web Configuration\r\nVer=4\r\n"));
    ProbeResult r = Run(L"", {{L"KAVRI_PROBE_WEBCONFIG", m_dir.File(L"web.ini")}});
    EXPECT_EQ(r.Value("replaced"), "1") << r.out;
    EXPECT_EQ(r.Value("heldname"), "Kavri Held Title Before The Web Configuration");
    EXPECT_EQ(r.Value("product"), "Kavri Title From The Web Configuration");
}

TEST_F(InstallerProcess, SecondInstanceStopsEarlyAndLeavesTheLogAlone) {
    // UTF-16 with a byte-order mark, so the title keeps its non-ASCII letter.
    std::wstring text = L"[PRODUCT]\r\nName=Kavri Title \u00fc Test\r\nURL=http://127.0.0.1:9/a.exe\r\n";
    std::string utf16 = "\xFF\xFE";
    utf16.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    WriteIni(utf16);
    const std::string previous = "previous run\r\n";
    ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"setup.log"), previous));

    ProbeResult r =
        RunAsSecondInstance(kUrl, {{L"KAVRI_DEBUG_LEVEL", L"-1"}, {L"KAVRI_PROBE_TRACE", L"1"}});

    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.Value("running"), "1");
    EXPECT_EQ(r.Value("logpath"), "");
    // The title the running instance shows: its INI file's product name.
    EXPECT_EQ(r.Value("product"), "Kavri Title \xC3\xBC Test");
    EXPECT_EQ(kavri_test::ReadFileBytes(m_dir.File(L"setup.log")), previous);
}

TEST_F(InstallerProcess, MutexHeldUnderOtherRightsCountsAsAnotherInstanceWithItsTitle) {
    // An instance started with other rights (elevated, another session) holds
    // a mutex this one may not open: CreateMutexW fails with access denied.
    // That is another instance too, and its window is found by its title,
    // not by an empty one that would match some unrelated window.
    WriteIni("[PRODUCT]\r\nName=Kavri Guarded Title\r\nURL=http://127.0.0.1:9/a.exe\r\n");
    ASSERT_TRUE(kavri_test::WaitForNoInstance(60000));
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ACL emptyAcl;
    ASSERT_TRUE(InitializeAcl(&emptyAcl, sizeof emptyAcl, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &emptyAcl, FALSE));  // no one may open it
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    kavri::ScopedKernelHandle mutex(CreateMutexW(&sa, FALSE, kavri_test::InstanceMutexName()));
    ASSERT_TRUE(mutex.IsValid());
    HANDLE denied = CreateMutexW(nullptr, FALSE, kavri_test::InstanceMutexName());
    const DWORD error = GetLastError();
    if (denied) CloseHandle(denied);
    if (denied || error != ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "this system lets the mutex be opened despite its empty DACL";

    ProbeResult r = kavri_test::RunProbe(Exe(), kUrl, {});
    EXPECT_EQ(r.Value("running"), "1") << r.out;
    EXPECT_EQ(r.Value("logpath"), "");
    EXPECT_EQ(r.Value("product"), "Kavri Guarded Title");
}

TEST_F(InstallerProcess, SecondInstanceWithoutIniNameUsesTheBuiltInTitle) {
    ProbeResult r = RunAsSecondInstance(L"");
    EXPECT_EQ(r.Value("running"), "1") << r.out;
    EXPECT_EQ(r.Value("product"), kavri_test::Utf8(GetString(IDS_PRODUCT_NAME)));
    EXPECT_EQ(r.Value("product"), "Kavri Skyguard");
}
