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
    EXPECT_EQ(Global(INTERNET_OPTION_CONNECT_TIMEOUT), 30000u);  // the session's, process-wide
    CSession::SetMaxConnectionsPerServer(7, nullptr);
    CSession::SetMaxConnectionsPerServer(2, nullptr);  // two or fewer: left as it is
    EXPECT_EQ(Global(INTERNET_OPTION_MAX_CONNS_PER_SERVER), 7u);
    EXPECT_EQ(Global(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER), 7u);
}

// The browser's own proxy, end to end: the test server as the proxy, named in
// the files under the profile (which is also the current directory; "%P" in
// a text is its path, "%H" the test server's host:port).
TEST(Session, ProxyOfTheDefaultBrowser) {
    const std::string ini = "[General]\r\nVersion=2\r\n[Profile0]\r\nIsRelative=1\r\nPath=Profiles/a.b\r\n";
    auto type = [](int t) {
        return Pref("type", std::to_string(t)) + Pref("http", "\"127.0.0.1\"") + Pref("http_port", "%N");
    };
    const std::wstring opera = L"C:\\Opera\\opera.exe \"%1\"", prefs = kFirefoxDir + L"Profiles\\a.b\\prefs.js";
    const std::string use = "[PROXY]\r\nUse HTTP=";
    // command empty: no browser registered; profiles.ini (Firefox) and one file under the profile.
    struct Row {
        const char* what;
        std::wstring command;
        std::string profiles;
        std::wstring file;
        std::string text;
        bool proxied;
    } rows[] = {
        {"firefox, manual proxy", kFirefox, ini, prefs, type(1), true},
        {"firefox, no proxy", kFirefox, ini, prefs, type(0), false},
        {"firefox, absolute profile path", kFirefox, "[Profile0]\r\nIsRelative=0\r\nPath=%P\\abs\r\n", L"abs\\prefs.js",
         type(1), true},
        {"firefox, no Profile0", kFirefox, "[Profile1]\r\nIsRelative=1\r\nPath=Profiles/a.b\r\n", prefs, type(1),
         false},
        {"firefox, never a prefs.js of the current directory", kFirefox, "", L"prefs.js", type(1), false},
        {"firefox, a relative path given as absolute", kFirefox, "[Profile0]\r\nIsRelative=0\r\nPath=rel\r\n",
         L"rel\\prefs.js", type(1), false},
        {"firefox command too long to read", L"\"C:\\" + std::wstring(120, L'x') + L"\\firefox.exe\" \"%1\"", ini, prefs,
         type(1), false},
        {"opera, proxy", opera, "", kOperaIni, use + "1\r\nHTTP Server=%H\r\n", true},
        {"opera, no server", opera, "", kOperaIni, use + "1\r\n", false},
        {"opera, proxy not used", opera, "", kOperaIni, use + "0\r\nHTTP Server=%H\r\n", false},
        {"opera, use left empty", opera, "", kOperaIni, use + "\r\nHTTP Server=%H\r\n", false},
        {"opera, another section", opera, "", kOperaIni, "[Proxy Settings]\r\nUse HTTP=1\r\nHTTP Server=%H\r\n",
         false},
        {"opera, no file", opera, "", L"", "", false},
        {"other browser", L"\"C:\\x\\iexplore.exe\" %1", ini, prefs, type(1), false},
        {"no browser", L"", ini, prefs, type(1), false},
    };
    int host = 1;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ScopedProfile profile;
        const std::string port = std::to_string(kavri_test::TestServerPort());
        auto fill = [&](std::string t) {
            for (const auto& kv : {std::make_pair("%P", kavri_test::Utf8(profile.dir.Path())),
                                   std::make_pair("%H", "127.0.0.1:" + port), std::make_pair("%N", port)})
                for (size_t at; (at = t.find(kv.first)) != t.npos;) t.replace(at, 2, kv.second);
            return t;
        };
        if (!r.profiles.empty()) profile.Write(kFirefoxDir + L"profiles.ini", fill(r.profiles));
        if (!r.file.empty()) profile.Write(r.file, fill(r.text));
        ScopedClassesRoot classes(r.command);
        ASSERT_TRUE(classes.ok);
        wchar_t saved[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, saved);
        SetCurrentDirectoryW(profile.dir.Path().c_str());
        CSession session(0);
        session.SetTimeoutsForTest(5000, 5000);
        ASSERT_NE(session.GetSession(false), nullptr);
        SetCurrentDirectoryW(saved);
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
