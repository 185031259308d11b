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
std::wstring Ascii(const std::string& s) { return std::wstring(s.begin(), s.end()); }
// One line of a Firefox prefs.js.
std::string Pref(const char* key, const std::string& value) {
    return "user_pref(\"network.proxy." + std::string(key) + "\", " + value + ");\n";
}

// Redirects a predefined key (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER) of this
// process to a fresh key, with "name=value" lines (ProxyEnable a DWORD, an
// empty name the default value) under subkey; removed after.
struct ScopedPredefinedKey {
    const HKEY which;
    const std::wstring path = L"Software\\KavriTest\\" + UniqueTag(L"key");
    bool ok = false;
    ScopedPredefinedKey(HKEY predefined, const wchar_t* subkey, const std::string& lines) : which(predefined) {
        HKEY root = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr);
        for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = lines.substr(at, end - at), name = line.substr(0, line.find('='));
            const std::wstring wname = Ascii(name), value = Ascii(line.substr(name.size() + 1));
            const DWORD number = std::stoul("0" + line.substr(name.size() + 1), nullptr, 0);
            const bool dword = name == "ProxyEnable";
            RegSetKeyValueW(root, subkey, wname.empty() ? nullptr : wname.c_str(), dword ? REG_DWORD : REG_SZ,
                            dword ? static_cast<const void*>(&number) : value.c_str(),
                            dword ? 4 : static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
        ok = root && RegOverridePredefKey(which, root) == ERROR_SUCCESS;
        if (root) RegCloseKey(root);
    }
    ~ScopedPredefinedKey() {
        RegOverridePredefKey(which, nullptr);
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
// the files under the profile (which is also the current directory), or in
// the system's settings (file "HKCU": the text's lines are its values) when
// the browser is another. "%P" in a text is the profile's path, "%H" the test
// server's host:port, "%A" the address the row asks for.
TEST(Session, ProxyOfTheDefaultBrowser) {
    const std::string ini = "[General]\r\nVersion=2\r\n[Profile0]\r\nIsRelative=1\r\nPath=Profiles/a.b\r\n";
    auto type = [](int t) {
        return Pref("type", std::to_string(t)) + Pref("http", "\"127.0.0.1\"") + Pref("http_port", "%N");
    };
    const std::wstring opera = L"C:\\Opera\\opera.exe \"%1\"", prefs = kFirefoxDir + L"Profiles\\a.b\\prefs.js";
    const std::string use = "[PROXY]\r\nUse HTTP=", on = "ProxyEnable=1\nProxyServer=%H\n";
    const std::wstring ie = L"\"C:\\x\\iexplore.exe\" %1", pac = kavri_test::NginxUrl(L"/proxy.pac");
    const std::string proxyLine = "PROXY 127.0.0.1:" + std::to_string(kavri_test::TestServerPort());
    ASSERT_TRUE(kavri_test::WriteFileBytes(kavri_test::NginxRoot() + L"\\proxy.pac",
                                           "function FindProxyForURL(u, h) { return \"" + proxyLine + "\"; }\n"));
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
        {"other browser", ie, ini, prefs, type(1), false},
        {"no browser", L"", ini, prefs, type(1), false},
        {"system, a proxy", ie, "", L"HKCU", on, true},
        {"system, no browser, a proxy by protocol", L"", "", L"HKCU", "ProxyEnable=1\nProxyServer=http=%H\n", true},
        {"system, proxy off", ie, "", L"HKCU", "ProxyEnable=0\nProxyServer=%H\n", false},
        {"system, the address bypassed", ie, "", L"HKCU", on + "ProxyOverride=%A\n", false},
        {"system, another address bypassed", ie, "", L"HKCU", on + "ProxyOverride=10.1.1.1;<local>\n", true},
        // Wine's WinINet keeps the URL of a PAC file (one naming the proxy) but does not run it: direct.
        {"system, a PAC file only", ie, "", L"HKCU", "AutoConfigURL=" + kavri_test::Utf8(pac) + "\n", false},
    };
    int host = 1;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ScopedProfile profile;
        const std::string port = std::to_string(kavri_test::TestServerPort()), address = "127.0.0." + std::to_string(++host);
        auto fill = [&](std::string t) {
            for (const auto& kv : {std::make_pair("%P", kavri_test::Utf8(profile.dir.Path())),
                                   std::make_pair("%H", "127.0.0.1:" + port), std::make_pair("%N", port),
                                   std::make_pair("%A", address)})
                for (size_t at; (at = t.find(kv.first)) != t.npos;) t.replace(at, 2, kv.second);
            return t;
        };
        const bool system = r.file == L"HKCU";
        if (!r.profiles.empty()) profile.Write(kFirefoxDir + L"profiles.ini", fill(r.profiles));
        if (!r.file.empty() && !system) profile.Write(r.file, fill(r.text));
        ScopedPredefinedKey classes(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command",
                                    r.command.empty() ? "" : "=" + kavri_test::Utf8(r.command) + "\n");
        ScopedPredefinedKey settings(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                                     system ? fill(r.text) : "");
        ASSERT_TRUE(classes.ok && settings.ok);
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
        CConnection c(&session, (Ascii("http://" + address) + L":1/f?size=9&tag=" + tag).c_str());
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
        {{type1, "user_pref(\"browser.x\", 1);", port}, true, L""}, {{Pref("type", "0"), host, port}, true, L""},
        {{host, port}, false, L""},  // no type: Firefox's default, the system's settings
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
