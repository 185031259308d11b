// Browser proxy discovery: the browser's name from its registered command,
// Firefox's prefs.js and profiles.ini, Opera's opera6.ini.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/BrowserFixtures.h"
#include "net/NetTestUtil.h"
#include "net/Session.h"

using kavri_nettest::LogCapture;
using kavri_nettest::Narrow;
using kavri_nettest::ScopedClassesRoot;
using kavri_nettest::ScopedUserProfile;

TEST(BrowserName, FromRegisteredCommand) {
    struct Case {
        const wchar_t* command;
        const wchar_t* name;
    } cases[] = {
        {L"\"C:\\Program Files\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"", L"firefox"},
        {L"C:\\Programs\\Opera\\opera.exe \"%1\"", L"opera"},
        {L"\"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE\" -nohome", L"IEXPLORE"},
        {L"\"C:\\windows\\system32\\winebrowser.exe\" \"%1\"", L"winebrowser"},
        {L"\"C:\\Tools\\FireFox.Exe\"", L"FireFox"},
        {L"C:\\Tools\\browser", L"browser"},           // no ".exe": the text stays whole
        {L"C:\\a.exec\\firefox.exe", L"a"},            // the first ".exe" ends the program
        {L"firefox.exe", L"firefox"},
        {L"", L""},
        {L"\"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.command));
        wchar_t out[256] = L"junk";
        kavri::BrowserNameFromCommand(c.command, out, 256);
        EXPECT_STREQ(out, c.name);
    }
    wchar_t small[4];
    kavri::BrowserNameFromCommand(L"ab.exe", small, 4);  // bounded: "ab." then no extension
    EXPECT_STREQ(small, L"ab");
}

TEST(FirefoxPrefs, ParsesTheThreeProxyLines) {
    const std::string type1 = "user_pref(\"network.proxy.type\", 1);";
    const std::string host = "user_pref(\"network.proxy.http\", \"proxy1\");";
    const std::string port = "user_pref(\"network.proxy.http_port\", 3128);";
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        bool result;
        const wchar_t* proxy;
    } cases[] = {
        {"manual host and port", {"# Mozilla User Preferences", host, port, type1}, true, L"proxy1:3128"},
        {"type line first", {type1, "user_pref(\"browser.x\", 1);", host, port}, true, L"proxy1:3128"},
        {"host without port", {type1, host}, true, L"proxy1"},
        {"port without host", {type1, port}, true, L""},
        {"no proxy lines", {"user_pref(\"browser.startup.page\", 3);"}, true, L""},
        {"type 0 with host", {"user_pref(\"network.proxy.type\", 0);", host, port}, true, L""},
        {"type 2 (PAC)", {"user_pref(\"network.proxy.type\", 2);", host, port}, false, L""},
        {"type 4 (auto-detect)", {"user_pref(\"network.proxy.type\", 4);"}, false, L""},
        {"three type lines stop the reading", {type1, type1, type1, host, port}, true, L""},
        {"a repeated line overwrites",
         {host, "user_pref(\"network.proxy.http\", \"proxy9\");", type1}, true, L"proxy9"},
        {"pattern must match exactly", {" user_pref(\"network.proxy.http\", \"x\");", type1}, true, L""},
        {"case matters", {"user_pref(\"network.proxy.HTTP\", \"x\");", type1}, true, L""},
        {"ftp proxy is not http", {"user_pref(\"network.proxy.ftp\", \"x\");", type1}, true, L""},
        {"format text stays text", {"user_pref(\"network.proxy.http\", \"%s%n%ls\");", type1}, true, L"%s%n%ls"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kavri::FirefoxPrefsParser parser;
        for (const auto& line : c.lines)
            if (!parser.AddLine(line.c_str())) break;
        wchar_t out[256] = L"";
        EXPECT_EQ(parser.Finish(out, 256), c.result);
        if (c.result) {
            EXPECT_STREQ(out, c.proxy);
        }
    }
}

TEST(FirefoxPrefs, LongValuesAreCutToTheirBuffers) {
    kavri::FirefoxPrefsParser parser;
    const std::string longHost(400, 'h');
    parser.AddLine(("user_pref(\"network.proxy.http\", \"" + longHost + "\");").c_str());
    parser.AddLine("user_pref(\"network.proxy.type\", 1);");
    wchar_t out[256] = L"";
    ASSERT_TRUE(parser.Finish(out, 256));
    EXPECT_EQ(std::wstring(out), std::wstring(255, L'h'));
    wchar_t small[8] = L"";
    ASSERT_TRUE(parser.Finish(small, 8));
    EXPECT_STREQ(small, L"hhhhhhh");
}

class FirefoxFiles : public ::testing::Test {
protected:
    ScopedUserProfile profile;
    CSession session{0};
};

TEST_F(FirefoxFiles, RelativeProfileWithForwardSlashes) {
    ASSERT_TRUE(profile.WriteRelativeFirefoxProfile(
        "user_pref(\"network.proxy.http\", \"proxy1\");\n"
        "user_pref(\"network.proxy.http_port\", 3128);\n"
        "user_pref(\"network.proxy.type\", 1);\n"));
    wchar_t out[256] = L"";
    EXPECT_TRUE(session.GetFirefoxProxySettings(out, 256));
    EXPECT_STREQ(out, L"proxy1:3128");
}

TEST_F(FirefoxFiles, AbsoluteProfile) {
    const std::wstring dir = profile.Path() + L"\\elsewhere\\my.profile";
    ASSERT_TRUE(ScopedUserProfile::WriteAbsolute(dir + L"\\prefs.js",
                                                 "user_pref(\"network.proxy.type\", 1);\r\n"
                                                 "user_pref(\"network.proxy.http\", \"proxy1\");\r\n"));
    ASSERT_TRUE(profile.WriteProfilesIni("[Profile0]\r\nIsRelative=0\r\nPath=" + Narrow(dir) + "\r\n"));
    wchar_t out[256] = L"";
    EXPECT_TRUE(session.GetFirefoxProxySettings(out, 256));
    EXPECT_STREQ(out, L"proxy1");
}

TEST_F(FirefoxFiles, OnlyTheFirstProfileIsRead) {
    ASSERT_TRUE(profile.WriteProfilesIni("[Profile1]\r\nIsRelative=1\r\nPath=Profiles/other\r\n"));
    ASSERT_TRUE(profile.Write(L"Application Data\\Mozilla\\Firefox\\Profiles\\other\\prefs.js",
                              "user_pref(\"network.proxy.type\", 0);\n"));
    LogCapture log;
    wchar_t out[256] = L"";
    EXPECT_FALSE(session.GetFirefoxProxySettings(out, 256));
    EXPECT_TRUE(log.Has(L"CSession::GetDefaultWebBrowser, failed to open FireFox configuration settings \""));
}

TEST_F(FirefoxFiles, MissingProfileListFailsWithTheOpenLine) {
    LogCapture log;
    wchar_t out[256] = L"";
    EXPECT_FALSE(session.GetFirefoxProxySettings(out, 256));
    const auto line = log.Find(L"CSession::GetDefaultWebBrowser, failed to open FireFox configuration settings \"prefs.js\" file");
    EXPECT_EQ(line.level, LOG_LEVEL_ERROR) << Narrow(log.Dump());
    EXPECT_EQ(line.code, -503);
}

TEST_F(FirefoxFiles, PrefsInTheCurrentDirectoryAreNeverRead) {
    // Without a profile, or with a relative one, the name would resolve in
    // the current directory, where anyone's download may have put a prefs.js.
    kavri_test::TempDir cwd;
    ASSERT_TRUE(kavri_test::WriteFileBytes(cwd.File(L"prefs.js"),
                                           "user_pref(\"network.proxy.type\", 1);\n"
                                           "user_pref(\"network.proxy.http\", \"evil\");\n"));
    ASSERT_TRUE(ScopedUserProfile::WriteAbsolute(cwd.File(L"rel\\prefs.js"), "user_pref(\"network.proxy.type\", 0);\n"));
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.Path().c_str()));
    LogCapture log;
    wchar_t out[256] = L"";
    EXPECT_FALSE(session.GetFirefoxProxySettings(out, 256));  // no profiles.ini
    EXPECT_STREQ(out, L"");
    ASSERT_TRUE(profile.WriteProfilesIni("[Profile0]\r\nIsRelative=0\r\nPath=rel\r\n"));
    EXPECT_FALSE(session.GetFirefoxProxySettings(out, 256));  // a relative "absolute" profile
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(log.Count(L"CSession::GetDefaultWebBrowser, failed to open FireFox configuration settings"), 2);
}

TEST_F(FirefoxFiles, ProxyTypeTwoFailsSilently) {
    ASSERT_TRUE(profile.WriteRelativeFirefoxProfile("user_pref(\"network.proxy.type\", 2);\n"));
    LogCapture log;
    wchar_t out[256] = L"";
    EXPECT_FALSE(session.GetFirefoxProxySettings(out, 256));
    EXPECT_EQ(log.CountLevel(LOG_LEVEL_ERROR), 0);
}

class OperaFiles : public ::testing::Test {
protected:
    ScopedUserProfile profile;
    CSession session{0};
};

TEST_F(OperaFiles, IniVariants) {
    struct Case {
        const char* name;
        const char* ini;  // null: no file
        bool result;
        const wchar_t* proxy;
        bool errorLine;
    } cases[] = {
        {"server given", "[PROXY]\r\nUse HTTP=1\r\nHTTP Server=proxy2:8080\r\n", true, L"proxy2:8080", false},
        {"use but no server", "[PROXY]\r\nUse HTTP=1\r\n", false, L"", true},
        {"not used", "[PROXY]\r\nUse HTTP=0\r\nHTTP Server=proxy2:8080\r\n", false, L"", false},
        {"use empty", "[PROXY]\r\nUse HTTP=\r\nHTTP Server=proxy2:8080\r\n", true, L"", false},
        {"other section", "[Proxy Settings]\r\nUse HTTP=1\r\n", false, L"", false},
        {"no file", nullptr, false, L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring ini = profile.Path() + L"\\Application Data\\Opera\\Opera\\profile\\opera6.ini";
        DeleteFileW(ini.c_str());
        if (c.ini) {
            ASSERT_TRUE(profile.WriteOperaIni(c.ini));
        }
        LogCapture log;
        wchar_t out[256] = L"";
        EXPECT_EQ(session.GetOperaProxySettings(out, 256), c.result);
        if (c.result) {
            EXPECT_STREQ(out, c.proxy);
        }
        const auto line = log.Find(L"CSession::GetOperaProxySettings, failed on reading Opera configuration settings \"" + ini + L"\" file");
        EXPECT_EQ(line.level == LOG_LEVEL_ERROR, c.errorLine) << Narrow(log.Dump());
        if (c.errorLine) {
            EXPECT_EQ(line.code, -503);
        } else {
            EXPECT_EQ(log.CountLevel(LOG_LEVEL_ERROR), 0);
        }
    }
}

TEST(DefaultBrowser, ReadFromTheRegisteredOpenCommand) {
    struct Case {
        const wchar_t* command;  // null: no key
        const wchar_t* name;
    } cases[] = {
        {L"\"C:\\Program Files\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"", L"firefox"},
        {L"\"C:\\Program Files\\Opera\\Opera.exe\" \"%1\"", L"Opera"},
        {L"\"C:\\Program Files\\Internet Explorer\\iexplore.exe\" %1", L"iexplore"},
        {nullptr, L""},
        // Longer than the 256 bytes read: treated as unreadable.
        {L"\"C:\\Program Files\\A very long directory name that goes on and on and on and on and on and on and on and on and on\\"
         L"firefox.exe\" -osint -url \"%1\"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command ? Narrow(c.command) : "no key");
        ScopedClassesRoot classes(c.command);
        ASSERT_TRUE(classes.Ok());
        CSession session(0);
        wchar_t out[256] = L"junk";
        session.GetDefaultWebBrowser(out, 256);
        EXPECT_STREQ(out, c.name);
    }
}
