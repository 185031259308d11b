// The configuration record: command-line rules, version text, command split,
// and the INI file read through the real profile API.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Installer.h"
#include "app/InstallerConfig.h"
#include "log/Log.h"
#include "support/TestEnv.h"

namespace {

const wchar_t kOldUrl[] = L"http://old/x.exe";

InstallerConfig KnownConfig() {
    InstallerConfig cfg;
    cfg.product.downloadUrl = kOldUrl;
    cfg.localization.maxSegments = 10;
    cfg.localization.lcid = 1033;
    cfg.campaign.trackingUrlTemplate = L"http://track/%1";
    return cfg;
}

class LogLevelRestore {
public:
    LogLevelRestore() : m_level(GetLogLevel()) {}
    ~LogLevelRestore() { SetLogLevel(m_level); }

private:
    int m_level;
};

}  // namespace

TEST(CommandLine, SwitchWordsAndValues) {
    struct Case {
        const char* name;
        std::vector<std::wstring> args;
        std::wstring url;
        uint32_t segments;
        uint32_t lcid;
        bool tracking;
    } cases[] = {
        {"-u", {L"-u", L"http://a/1"}, L"http://a/1", 10, 1033, true},
        {"/U", {L"/U", L"http://a/2"}, L"http://a/2", 10, 1033, true},
        {"-Url", {L"-Url", L"http://a/3"}, L"http://a/3", 10, 1033, true},
        {"-ufoo", {L"-ufoo", L"http://a/4"}, L"http://a/4", 10, 1033, true},
        {"-UrlOfMine", {L"-UrlOfMine", L"http://a/5"}, L"http://a/5", 10, 1033, true},
        {"later wins", {L"-u", L"http://a/6", L"/url", L"http://a/7"}, L"http://a/7", 10, 1033, true},
        {"value with -", {L"-s", L"-4"}, kOldUrl, 10, 1033, true},
        {"value with /", {L"-u", L"/x"}, kOldUrl, 10, 1033, true},
        {"switch last", {L"-c", L"1031", L"-s"}, kOldUrl, 10, 1031, true},
        {"one character", {L"-", L"5", L"/", L"6"}, kOldUrl, 10, 1033, true},
        {"unknown letter", {L"-x", L"3", L"-Q", L"4"}, kOldUrl, 10, 1033, true},
        {"first arg is URL", {L"http://first/a.exe"}, L"http://first/a.exe", 10, 1033, true},
        {"URL -s 4 -t 0", {L"http://b/a.exe", L"-s", L"4", L"-t", L"0"}, L"http://b/a.exe", 4, 1033, false},
        {"-t 1 keeps", {L"-t", L"1"}, kOldUrl, 10, 1033, true},
        {"-t text is 0", {L"-Tracking", L"off"}, kOldUrl, 10, 1033, false},
        {"culture", {L"-CultureCode", L"1041"}, kOldUrl, 10, 1041, true},
        {"segments no number", {L"-SegmentCount", L"many"}, kOldUrl, 0, 1033, true},
        {"several switches", {L"-c", L"5", L"-s", L"4"}, kOldUrl, 4, 5, true},
        {"first /switch", {L"/s", L"3"}, kOldUrl, 3, 1033, true},
        {"value never a switch", {L"-u", L"x", L"y", L"-s", L"2"}, L"x", 2, 1033, true},
    };
    for (const Case& c : cases) {
        InstallerConfig cfg = KnownConfig();
        kavri::ApplyCommandLine(c.args, &cfg);
        EXPECT_EQ(cfg.product.downloadUrl, c.url) << c.name;
        EXPECT_EQ(cfg.localization.maxSegments, c.segments) << c.name;
        EXPECT_EQ(cfg.localization.lcid, c.lcid) << c.name;
        EXPECT_EQ(!cfg.campaign.trackingUrlTemplate.empty(), c.tracking) << c.name;
    }
}

TEST(CommandLine, LogLevelSwitchSetsTheGlobalLevel) {
    LogLevelRestore restore;
    SetLogLevel(0);
    InstallerConfig cfg = KnownConfig();
    kavri::ApplyCommandLine({L"-LogLevel", L"4"}, &cfg);
    EXPECT_EQ(GetLogLevel(), 4);
    kavri::ApplyCommandLine({L"-l", L"-1"}, &cfg);  // a value beginning with '-' is no value
    EXPECT_EQ(GetLogLevel(), 4);
}

TEST(CommandLine, OverlongValuesAreRefusedNotCut) {
    const std::wstring longest = L"http://h/" + std::wstring(kavri::kMaxValueChars - 9, L'a');
    const std::wstring tooLong = longest + L"b";
    struct Case { std::vector<std::wstring> args; std::wstring url; } cases[] = {
        {{longest}, longest},
        {{tooLong}, kOldUrl},
        {{L"-u", tooLong}, kOldUrl},
        {{L"-u", tooLong, L"-s", L"3"}, kOldUrl},
    };
    for (const Case& c : cases) {
        InstallerConfig cfg = KnownConfig();
        kavri::ApplyCommandLine(c.args, &cfg);
        EXPECT_EQ(cfg.product.downloadUrl, c.url) << c.args[0].size();
    }
    InstallerConfig cfg = KnownConfig();
    kavri::ApplyCommandLine({L"-u", tooLong, L"-s", L"3"}, &cfg);
    EXPECT_EQ(cfg.localization.maxSegments, 3u);  // the rest still applies
}

TEST(OsVersionText, SplitAtTheLastDot) {
    struct Case { const wchar_t* text; DWORD major; DWORD minor; } cases[] = {
        {L"6.1", 6, 1}, {L"6", 6, 0}, {L"6.1.7600", 6, 7600}, {L"", 0, 0},
        {L"5.1", 5, 1}, {L"10.0", 10, 0}, {L"x.y", 0, 0},
    };
    for (const Case& c : cases) {
        OSVERSIONINFOW info;
        memset(&info, 0xAB, sizeof(info));
        kavri::ParseOsVersion(c.text, &info);
        EXPECT_EQ(info.dwMajorVersion, c.major) << c.text;
        EXPECT_EQ(info.dwMinorVersion, c.minor) << c.text;
        EXPECT_EQ(info.dwOSVersionInfoSize, 276u);
        EXPECT_EQ(info.dwBuildNumber, 0u);
    }
}

TEST(SplitCommand, CommandsOfFilesThatDoNotExist) {
    struct Case { const wchar_t* command; const wchar_t* file; const wchar_t* args; } cases[] = {
        {L"C:\\no such\\dir x\\setup.exe /S /v", L"C:\\no such\\dir x\\setup.exe", L"/S /v"},
        {L"C:\\no such\\setup.exe", L"C:\\no such\\setup.exe", L""},
        {L"setup.exe -q", L"setup.exe", L"-q"},
        {L"\"C:\\no such\\a b.exe\" /S \"x y\"", L"C:\\no such\\a b.exe", L"/S \"x y\""},
        // A backslash in the arguments moves the split into them: without the
        // file on disk there is nothing better to go by.
        {L"C:\\no such\\setup.exe /log=C:\\t\\x.log", L"C:\\no such\\setup.exe /log=C:\\t\\x.log", L""},
        {L"", L"", L""},
    };
    for (const Case& c : cases) {
        std::wstring file, args;
        CInstaller::SplitCommand(c.command, &file, &args);
        EXPECT_EQ(file, c.file) << c.command;
        EXPECT_EQ(args, c.args) << c.command;
    }
}

TEST(SplitCommand, ExistingFileWithBlanksAndBackslashInArguments) {
    kavri_test::TempDir dir;
    std::wstring folder = dir.File(L"dir with blanks");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring exe = folder + L"\\my setup.exe";
    ASSERT_TRUE(kavri_test::WriteFileBytes(exe, "MZ"));

    struct Case { std::wstring command; std::wstring file; std::wstring args; } cases[] = {
        {exe + L" /S /log=C:\\tmp\\x.log", exe, L"/S /log=C:\\tmp\\x.log"},
        {exe, exe, L""},
        {exe + L"  /two", exe, L" /two"},
    };
    for (const Case& c : cases) {
        std::wstring file, args;
        CInstaller::SplitCommand(c.command.c_str(), &file, &args);
        EXPECT_EQ(file, c.file) << c.command;
        EXPECT_EQ(args, c.args) << c.command;
    }
}

TEST(InstallerValue, QualifiedFileAndArgumentsKeptAsWritten) {
    wchar_t cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
    std::wstring base = cwd;
    if (base.back() != L'\\') base += L'\\';
    struct Case { std::wstring value; std::wstring expected; } cases[] = {
        {L"C:\\Kavri\\setup.exe /S /v", L"C:\\Kavri\\setup.exe /S /v"},
        {L"C:/Kavri/setup.exe /S /v", L"C:\\Kavri\\setup.exe /S /v"},
        {L"nosuch-local.exe /S /v\"/qn\"", base + L"nosuch-local.exe /S /v\"/qn\""},
        {L"\"C:\\Program Files\\K\\setup.exe\" /S", L"\"C:\\Program Files\\K\\setup.exe\" /S"},
        {L"C:\\Kavri\\setup.exe", L"C:\\Kavri\\setup.exe"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kavri::QualifyInstallerCommand(c.value), c.expected) << c.value;
}

TEST(IniFile, PresentEmptyAndMissingKeys) {
    LogLevelRestore restore;
    kavri_test::TempDir dir;
    std::wstring ini = dir.File(L"setup.ini");
    ASSERT_TRUE(kavri_test::WriteFileBytes(ini,
        "[DOWNLOADER]\r\nMaxAllowedSegments=-1\r\n"
        "[DEBUG]\r\nLogLevel=4\r\n"
        "[RUNTIME]\r\nOSVersion=\r\nRAM=-2\r\nCPU=abc\r\nHDD=300MB\r\n"
        "[PRODUCT]\r\nURL=http://127.0.0.1/p.exe\r\nName=\r\nHelp=http://help/\r\n"
        "Installer=C:\\CD dir\\setup.exe /S /v\r\nVer=3\r\n"
        "[CAMPAIGN]\r\nSOURCE=mail\r\nURL=\r\n"));

    InstallerConfig cfg = KnownConfig();
    cfg.product.name = L"Default name";
    cfg.runtime.osVersion.dwMajorVersion = 6;
    cfg.runtime.osVersion.dwMinorVersion = 1;
    cfg.campaign.information = L"undefined";
    SetLogLevel(0);
    kavri::ReadIniFile(ini.c_str(), &cfg);

    EXPECT_EQ(GetLogLevel(), 4);
    EXPECT_EQ(cfg.localization.maxSegments, 0xFFFFFFFFu);  // negative wraps
    EXPECT_EQ(cfg.localization.lcid, 1033u);               // no INI key
    EXPECT_EQ(cfg.runtime.osVersion.dwMajorVersion, 6u);   // empty value keeps it
    EXPECT_EQ(cfg.runtime.osVersion.dwMinorVersion, 1u);
    EXPECT_EQ(cfg.runtime.ramMB, 0xFFFFFFFEu);
    EXPECT_EQ(cfg.runtime.cpuMHz, 0u);    // not a number
    EXPECT_EQ(cfg.runtime.hddMB, 300u);   // stops at the first other character
    EXPECT_EQ(cfg.product.downloadUrl, L"http://127.0.0.1/p.exe");
    EXPECT_EQ(cfg.product.name, L"Default name");
    EXPECT_EQ(cfg.product.helpUrl, L"http://help/");
    EXPECT_EQ(cfg.product.installer, L"C:\\CD dir\\setup.exe /S /v");
    EXPECT_EQ(cfg.product.webConfigUrl, L"");
    EXPECT_EQ(cfg.product.version, 3u);
    EXPECT_EQ(cfg.campaign.source, L"mail");
    EXPECT_EQ(cfg.campaign.trackingUrlTemplate, L"http://track/%1");
    EXPECT_EQ(cfg.campaign.information, L"undefined");
}

TEST(IniFile, OsVersionAndRelativeInstaller) {
    kavri_test::TempDir dir;
    std::wstring ini = dir.File(L"a.ini");
    ASSERT_TRUE(kavri_test::WriteFileBytes(ini,
        "[RUNTIME]\r\nOSVersion=5.1\r\n[PRODUCT]\r\nInstaller=local-setup.exe /S\r\n"));
    InstallerConfig cfg = KnownConfig();
    kavri::ReadIniFile(ini.c_str(), &cfg);
    EXPECT_EQ(cfg.runtime.osVersion.dwMajorVersion, 5u);
    EXPECT_EQ(cfg.runtime.osVersion.dwMinorVersion, 1u);
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring base = cwd;
    if (base.back() != L'\\') base += L'\\';
    EXPECT_EQ(cfg.product.installer, base + L"local-setup.exe /S");
}

TEST(IniFile, MissingFileKeepsEverything) {
    kavri_test::TempDir dir;
    InstallerConfig cfg = KnownConfig();
    kavri::ReadIniFile(dir.File(L"none.ini").c_str(), &cfg);
    EXPECT_EQ(cfg.product.downloadUrl, kOldUrl);
    EXPECT_EQ(cfg.localization.maxSegments, 10u);
    EXPECT_EQ(cfg.campaign.trackingUrlTemplate, L"http://track/%1");
}

TEST(IniFile, OverlongValueIsRefused) {
    kavri_test::TempDir dir;
    std::wstring ini = dir.File(L"long.ini");
    std::string longest = "http://h/" + std::string(kavri::kMaxValueChars - 9, 'a');
    ASSERT_TRUE(kavri_test::WriteFileBytes(ini, "[PRODUCT]\r\nURL=" + longest + "b\r\nConfig=" +
                                                    longest + "\r\n"));
    InstallerConfig cfg = KnownConfig();
    kavri::ReadIniFile(ini.c_str(), &cfg);
    EXPECT_EQ(cfg.product.downloadUrl, kOldUrl);
    EXPECT_EQ(cfg.product.webConfigUrl.size(), kavri::kMaxValueChars);
}

TEST(Defaults, FixedValuesOfTheRecord) {
    InstallerConfig cfg;
    EXPECT_EQ(cfg.localization.maxSegments, 10u);
    EXPECT_EQ(cfg.localization.lcid, static_cast<uint32_t>(GetUserDefaultLCID()));
    EXPECT_EQ(cfg.campaign.source, L"undefined");
    EXPECT_EQ(cfg.campaign.information, L"undefined");
    EXPECT_EQ(cfg.campaign.medium, L"undefined");
    EXPECT_EQ(cfg.product.version, 0u);
    EXPECT_TRUE(cfg.product.downloadUrl.empty());
    EXPECT_TRUE(cfg.product.installer.empty());
    EXPECT_TRUE(cfg.product.webConfigUrl.empty());
    EXPECT_EQ(cfg.runtime.osVersion.dwOSVersionInfoSize, 276u);
    EXPECT_EQ(cfg.product.name, L"Kavri Skyguard");
}
