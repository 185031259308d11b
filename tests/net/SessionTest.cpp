// CSession: its process-wide options, and the proxy it takes from the
// default web browser (registered command -> Firefox profiles.ini/prefs.js
// or Opera's opera6.ini), end to end through the test server as the proxy
// and as tables of the parsers and files behind it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "download/Connection.h"
#include "net/NetTestUtil.h"
#include "net/Session.h"

using kavri_nettest::UniqueTag;

namespace {

const std::wstring kFirefoxDir = L"Application Data\\Mozilla\\Firefox\\";
const wchar_t kOperaIni[] = L"Application Data\\Opera\\Opera\\profile\\opera6.ini";
const wchar_t kFirefox[] = L"\"C:\\Program Files\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"";
// One line of a Firefox prefs.js.
std::string Pref(const char* key, const std::string& value) {
    return "user_pref(\"network.proxy." + std::string(key) + "\", " + value + ");\n";
}
const std::string kManualProxy = Pref("type", "1") + Pref("http", "\"proxy1\"") + Pref("http_port", "3128");

// Redirects HKEY_CLASSES_ROOT of this process to a fresh key whose
// "http\shell\open\command" is the given one (empty: none); removed after.
struct ScopedClassesRoot {
    const std::wstring path = L"Software\\KavriTest\\" + UniqueTag(L"hkcr");
    bool ok = false;
    explicit ScopedClassesRoot(const std::wstring& command) {
        HKEY root = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr);
        if (!command.empty())
            RegSetKeyValueW(root, L"http\\shell\\open\\command", nullptr, REG_SZ, command.c_str(),
                            static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        ok = root && RegOverridePredefKey(HKEY_CLASSES_ROOT, root) == ERROR_SUCCESS;
        if (root) RegCloseKey(root);
    }
    ~ScopedClassesRoot() {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
};

// Points %USERPROFILE% of this process at a fresh directory, restored after.
struct ScopedProfile {
    kavri_test::TempDir dir;
    wchar_t old[1024] = L"";
    ScopedProfile() {
        GetEnvironmentVariableW(L"USERPROFILE", old, 1024);
        SetEnvironmentVariableW(L"USERPROFILE", dir.Path().c_str());
    }
    ~ScopedProfile() { SetEnvironmentVariableW(L"USERPROFILE", old); }
    // Writes a file under the profile, creating its directories.
    void Write(const std::wstring& relative, const std::string& text) {
        const std::wstring path = dir.File(relative);
        for (size_t p = path.find(L'\\', 3); p != std::wstring::npos; p = path.find(L'\\', p + 1))
            CreateDirectoryW(path.substr(0, p).c_str(), nullptr);
        ASSERT_TRUE(kavri_test::WriteFileBytes(path, text));
    }
};

DWORD Global(DWORD option) {
    DWORD value = 0, size = sizeof(value);
    return InternetQueryOptionW(nullptr, option, &value, &size) ? value : 0;
}

}  // namespace

TEST(Session, ProcessWideOptions) {
    CSession session(0);
    EXPECT_EQ(session.GetConnectionTimeout(), 30000u);
    EXPECT_EQ(session.GetReceiveTimeout(), 10000u);
    EXPECT_EQ(Global(INTERNET_OPTION_CONNECT_TIMEOUT), 30000u);
    CSession::SetMaxConnectionsPerServer(7, nullptr);
    CSession::SetMaxConnectionsPerServer(2, nullptr);  // two or fewer: left as it is
    EXPECT_EQ(Global(INTERNET_OPTION_MAX_CONNS_PER_SERVER), 7u);
    EXPECT_EQ(Global(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER), 7u);
}

TEST(Session, ProxyOfTheDefaultBrowser) {
    const std::string port = std::to_string(kavri_test::TestServerPort());
    const std::string hostPort = Pref("http", "\"127.0.0.1\"") + Pref("http_port", port);
    auto type = [&](int t) { return Pref("type", std::to_string(t)) + hostPort; };
    const std::wstring opera = L"C:\\Opera\\opera.exe \"%1\"", prefs = kFirefoxDir + L"Profiles\\a.b\\prefs.js";
    // command empty: no browser registered; file: under the profile, with the text.
    struct Row { const char* what; std::wstring command, file; std::string text; bool proxied; } rows[] = {
        {"firefox, manual proxy", kFirefox, prefs, type(1), true},
        {"firefox, no proxy", kFirefox, prefs, type(0), false},
        {"firefox command too long to read", L"\"C:\\" + std::wstring(120, L'x') + L"\\firefox.exe\" \"%1\"", prefs,
         type(1), false},
        {"opera, proxy", opera, kOperaIni, "[PROXY]\r\nUse HTTP=1\r\nHTTP Server=127.0.0.1:" + port + "\r\n", true},
        {"other browser", L"\"C:\\x\\iexplore.exe\" %1", prefs, type(1), false},
        {"no browser", L"", prefs, type(1), false},
    };
    int host = 1;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ScopedProfile profile;
        profile.Write(kFirefoxDir + L"profiles.ini", "[Profile0]\r\nIsRelative=1\r\nPath=Profiles/a.b\r\n");
        profile.Write(r.file, r.text);
        ScopedClassesRoot classes(r.command);
        ASSERT_TRUE(classes.ok);
        CSession session(0);
        session.SetTimeoutsForTest(5000, 5000);
        ASSERT_NE(session.GetSession(false), nullptr);
        // Nothing listens at the URL: only the proxy (the test server) answers.
        // (A host of its own for each row: WinINet reuses connections by host.)
        const std::wstring tag = UniqueTag(L"proxy");
        CConnection c(&session, (L"http://127.0.0." + std::to_wstring(++host) + L":1/f?size=9&tag=" + tag).c_str());
        EXPECT_EQ(c.Open() == 0, r.proxied);
        EXPECT_EQ(kavri_nettest::RequestsJson(tag).find("\"proxied\": true") != std::string::npos, r.proxied);
    }
}

TEST(BrowserProxy, BrowserNameFromCommand) {
    struct Row { const wchar_t *command, *name; } rows[] = {
        {kFirefox, L"firefox"}, {L"C:\\Programs\\Opera\\opera.exe \"%1\"", L"opera"},
        {L"\"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE\" -nohome", L"IEXPLORE"},
        {L"\"C:\\Tools\\FireFox.Exe\"", L"FireFox"}, {L"C:\\Tools\\browser", L"browser"},  // no ".exe": all of it
        {L"C:\\a.exec\\firefox.exe", L"a"},  // the first ".exe" ends the program
        {L"", L""}, {L"\"", L""},
    };
    for (const Row& r : rows) {
        wchar_t out[256] = L"junk";
        kavri::BrowserNameFromCommand(r.command, out, 256);
        EXPECT_STREQ(out, r.name) << kavri_test::Utf8(r.command);
    }
}

TEST(BrowserProxy, FirefoxPrefsLines) {
    const std::string type1 = Pref("type", "1"), host = Pref("http", "\"h\""), port = Pref("http_port", "3128");
    struct Row { std::vector<std::string> lines; bool ok; std::wstring proxy; } rows[] = {
        {{"# Mozilla User Preferences", host, port, type1}, true, L"h:3128"}, {{type1, host}, true, L"h"},
        {{type1, "user_pref(\"browser.x\", 1);", port}, true, L""}, {{host, port}, true, L""},  // type 0
        {{Pref("type", "2"), host, port}, false, L""},    // PAC: not known here
        {{type1, type1, type1, host, port}, true, L""},  // three matching lines end the reading
        {{host, Pref("http", "\"h9\""), type1}, true, L"h9"}, {{" " + host, Pref("ftp", "\"x\""), type1}, true, L""},
        {{Pref("http", "\"%s%n\""), type1}, true, L"%s%n"},
        {{Pref("http", "\"" + std::string(400, 'h') + "\""), type1}, true, std::wstring(255, L'h')},
    };
    for (const Row& r : rows) {
        kavri::FirefoxPrefsParser parser;
        for (const std::string& line : r.lines)
            if (!parser.AddLine(line.c_str())) break;
        wchar_t out[256] = L"";
        EXPECT_EQ(parser.Finish(out, 256), r.ok) << r.lines[0];
        EXPECT_EQ(std::wstring(out), r.proxy) << r.lines[0];
    }
}

TEST(BrowserProxy, ConfigurationFiles) {
    const std::wstring ini = kFirefoxDir + L"profiles.ini", prefs = kFirefoxDir + L"Profiles\\a.b\\prefs.js";
    const std::string opera = "[PROXY]\r\nUse HTTP=";
    // Two files (empty name: none; the second with kManualProxy) under the profile,
    // which is also the current directory; "%P" in a text is the profile's path.
    struct Row { bool opera; std::wstring file; std::string text; std::wstring js; bool ok; const wchar_t* proxy; };
    const Row rows[] = {
        {false, ini, "[General]\r\nVersion=2\r\n[Profile0]\r\nIsRelative=1\r\nPath=Profiles/a.b\r\n", prefs, true,
         L"proxy1:3128"},
        {false, ini, "[Profile0]\r\nIsRelative=0\r\nPath=%P\\abs\r\n", L"abs\\prefs.js", true, L"proxy1:3128"},
        {false, ini, "[Profile1]\r\nIsRelative=1\r\nPath=Profiles/a.b\r\n", prefs, false, L""},
        {false, L"", "", L"prefs.js", false, L""},  // never a prefs.js of the current directory
        {false, ini, "[Profile0]\r\nIsRelative=0\r\nPath=rel\r\n", L"rel\\prefs.js", false, L""},
        {true, kOperaIni, opera + "1\r\nHTTP Server=proxy2:8080\r\n", L"", true, L"proxy2:8080"},
        {true, kOperaIni, opera + "1\r\n", L"", false, L""},
        {true, kOperaIni, opera + "0\r\nHTTP Server=proxy2:8080\r\n", L"", false, L""},
        {true, kOperaIni, opera + "\r\nHTTP Server=proxy2:8080\r\n", L"", true, L""},
        {true, kOperaIni, "[Proxy Settings]\r\nUse HTTP=1\r\n", L"", false, L""},
        {true, L"", "", L"", false, L""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        ScopedProfile profile;
        std::string t = r.text;
        for (size_t at; (at = t.find("%P")) != t.npos;) t.replace(at, 2, kavri_test::Utf8(profile.dir.Path()));
        if (!r.file.empty()) profile.Write(r.file, t);
        if (!r.js.empty()) profile.Write(r.js, kManualProxy);
        wchar_t saved[MAX_PATH], out[256] = L"";
        GetCurrentDirectoryW(MAX_PATH, saved);
        SetCurrentDirectoryW(profile.dir.Path().c_str());
        CSession session(0);
        const bool ok = r.opera ? session.GetOperaProxySettings(out, 256) : session.GetFirefoxProxySettings(out, 256);
        EXPECT_EQ(ok, r.ok);
        EXPECT_STREQ(out, r.proxy);
        SetCurrentDirectoryW(saved);
    }
}
