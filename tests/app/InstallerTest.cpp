// The application object and the installation flow, mostly in a process of
// their own (flowprobe): what gets built from INI file and command line, the
// single instance, the web configuration, which event each branch sends and
// what it starts (argrecorder as rec.exe records its command line), and the
// tracking requests that carry the events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Tracking.h"
#include "common/Handles.h"
#include "i18n/LanguageResources.h"
#include "support/InstanceMutex.h"
#include "tools/flowprobe/ProbeRunner.h"

TEST(Installer, ApplicationObject) {
    const std::wstring url = L"[PRODUCT]\nURL=http://127.0.0.1:9/ini.exe\nVer=3\n";
    const struct {
        std::wstring ini, args, ops, web;
        bool holdMutex;  // held by this test: the probe is a second instance
        std::vector<std::wstring> want;
    } rows[] = {
        {L"", L"", L"app", L"", false, {L"app=-2"}},  // no download source
        {L"", L"", L"app|app", L"", false, {L"app=-2"}},  // a retry does not find its own mutex
        {L"", L"http://127.0.0.1:9/cmd.exe", L"app", L"", false,
         {L"app=0", L"url=http://127.0.0.1:9/cmd.exe", L"cd=0", L"level=1"}},  // level: KAVRI_DEBUG_LEVEL
        {L"[PRODUCT]\nInstaller=C:\\cd\\setup.exe\n", L"", L"app", L"", false, {L"app=-2"}},
        {L"[PRODUCT]\nInstaller=local setup.exe /S\nConfig=http://127.0.0.1:9/w.ini\n", L"", L"app", L"", false,
         {L"app=0", L"cd=1", L"installer=<dir>\\local setup.exe /S"}},
        {L"[DOWNLOADER]\nMaxAllowedSegments=6\n[DEBUG]\nLogLevel=5\n" + url, L"http://127.0.0.1:9/cmd.exe -s 4 -t 0",
         L"app", L"", false, {L"url=http://127.0.0.1:9/cmd.exe", L"segments=4", L"template=", L"level=5"}},
        {L"[PRODUCT]\nName=Kavri \u00fc Title\n", L"http://x/", L"app", L"", true,
         {L"app=0", L"running=1", L"name=Kavri \u00fc Title"}},
        // A web configuration replaces the record only with a higher version
        // (which ones: Trust.HostileWebConfigurations); its log level applies either way.
        {url + L"Name=Kavri Held Title Longer Than A Short String\n", L"", L"app|webconfig:<dir>\\web.ini",
         L"[PRODUCT]\nURL=http://127.0.0.1:9/web.exe\nName=Kavri Web Title\nVer=4\n[DEBUG]\nLogLevel=4\n", false,
         {L"replaced=1", L"url=http://127.0.0.1:9/web.exe", L"name=Kavri Web Title",
          L"held=Kavri Held Title Longer Than A Short String", L"level=4"}},
        {url, L"", L"app|webconfig:<dir>\\web.ini", L"[DEBUG]\nLogLevel=4\n[PRODUCT]\nVer=2\n", false,
         {L"replaced=0", L"level=4"}},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const auto& r = rows[i];
        kavri_test::Probe probe;
        probe.Ini(r.ini);
        probe.Ini(r.web, L"web.ini");
        kavri_test::WriteFileBytes(probe.File(L"flowprobe.log"), "stale\r\n");
        ASSERT_TRUE(kavri_test::WaitForNoInstance(30000));
        kavri::ScopedKernelHandle mutex(r.holdMutex ? CreateMutexW(nullptr, FALSE, kavri_test::InstanceMutexName())
                                                    : nullptr);
        EXPECT_EQ(probe.Run(r.args, probe.In(r.ops)), 0) << "row " << i;
        for (const std::wstring& w : r.want)
            EXPECT_EQ(probe.Line(kavri_test::Utf8(probe.In(w))), kavri_test::Utf8(probe.In(w))) << "row " << i;
        // Every run starts a new log, but another instance owns it: this one leaves it alone.
        const bool stale = kavri_test::ReadFileBytes(probe.File(L"flowprobe.log")).find("stale") != std::string::npos;
        EXPECT_EQ(stale, r.holdMutex) << "row " << i;
    }
}

// Each branch of the flow: its result, the events it sends, and what it started.
TEST(Installer, FlowBranches) {
    const struct {
        std::wstring installer, args, ops;
        const char* result;
        std::vector<std::string> events;
        const char* started;  // argrecorder's argc= and argN= lines; null: nothing
    } rows[] = {
        // The file in a directory with a blank, a backslash in the arguments.
        {L"<dir>\\rec.exe /silent \"two words\" /log=C:\\t\\x.log", L"", L"installcd", "installcd=1",
         {"stubInstaller_InstallFromCD"}, "argc=3\narg1=/silent\narg2=two words\narg3=/log=C:\\t\\x.log\n"},
        {L"<dir>\\missing.exe /silent", L"", L"installcd", "installcd=0", {}, nullptr},
        {L"", L"", L"installcd", "installcd=0", {}, nullptr},
        {L"", L"", L"main:<dir>\\rec.exe", "main=1", {"stubinstaller_StartMainInstaller"}, "argc=0\n"},
        {L"", L"", L"main:<dir>\\missing.exe", "main=0", {}, nullptr},
        {L"", L"", L"state:4|state:11|state:12", "state=0",
         {"stubinstaller_Cancelled_DiskSpace", "stubInstaller_UnexpectedError"}, nullptr},
        {L"", L"-t 0", L"state:0", "state=0", {}, nullptr},  // tracking off
    };
    for (const auto& r : rows) {
        kavri_test::Probe probe;
        probe.Ini(L"[PRODUCT]\nURL=http://127.0.0.1:1/none.exe\nInstaller=" + probe.In(r.installer) +
                  L"\n[CAMPAIGN]\nURL=" + probe.Tracking() + L"\n");
        ASSERT_EQ(probe.Run(L"-c 1033 " + r.args, probe.In(r.ops)), 0) << probe.out.out;
        EXPECT_EQ(probe.Line(r.result), r.result);
        EXPECT_EQ(probe.Targets("e="), r.events) << kavri_test::Utf8(r.ops);
        if (!r.started) continue;
        std::string record;  // the shell does not wait for the started program
        for (DWORD start = GetTickCount(); record.empty() && GetTickCount() - start < 30000; Sleep(50))
            record = kavri_test::ReadFileBytes(probe.File(L"rec.args.txt"));
        EXPECT_NE(record.find("exe=" + kavri_test::Utf8(probe.File(L"rec.exe")) + "\n"), std::string::npos) << record;
        EXPECT_NE(record.find(r.started), std::string::npos) << record;
    }
}

// The first insert varies; the others are "de", "0A", "s", "i", "m".
TEST(Tracking, TemplatesAndEncodedInserts) {
    const struct { const wchar_t *tmpl, *insert, *url; } rows[] = {
        {L"h?x=%1", L"AZaz09-_.~", L"h?x=AZaz09-_.~"},
        {L"h?x=%1", L"summer sale & more", L"h?x=summer%20sale%20%26%20more"},
        {L"h?x=%1", L"#;+=?/:@", L"h?x=%23%3B%2B%3D%3F%2F%3A%40"},
        {L"h?x=%1", L"a%20b%2f", L"h?x=a%20b%2f"},  // an existing escape stays as it is
        {L"h?x=%1", L"100%", L"h?x=100%25"}, {L"h?x=%1", L"%2", L"h?x=%252"}, {L"h?x=%1", L"%zz", L"h?x=%25zz"},
        {L"h?x=%1", L"\u00fc\u20ac", L"h?x=%C3%BC%E2%82%AC"},  // non-ASCII as UTF-8
        {L"h?x=%1", L"\U0001F600", L"h?x=%F0%9F%98%80"}, {L"h?x=%1", L"x\xD800y", L"h?x=x%EF%BF%BDy"},
        {L"h/%1/%2?%3&%4&%5&%6&lit=%%41%%", L"e v", L"h/e%20v/de?0A&s&i&m&lit=%41%"},
        {L"h?x=%1!s!&l=%2!ls!", L"e", L"h?x=e&l=de"}, {L"h?x=%%7", L"e", L"h?x=%7"},
        // Refused: no template, an insert above %6, formats reading beyond the six or writing.
        {L"", L"e", L""}, {L"h?x=%7", L"e", L""}, {L"h?x=%10", L"e", L""}, {L"h/%1/%99", L"e", L""},
        {L"h?x=%6!*s!", L"e", L""}, {L"h?x=%1!.*s!", L"e", L""}, {L"h?x=%1!n!", L"e", L""}, {L"h?x=%1!s", L"e", L""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(kavri::BuildTrackingUrl(r.tmpl, r.insert, L"de", L"0A", L"s", L"i", L"m"), r.url) << r.tmpl;
    // The built-in template carries the event and the language in its page path.
    EXPECT_NE(kavri::BuildTrackingUrl(GetString(IDS_TRACKING_URL), L"ev", L"en", L"0A", L"s", L"i", L"m")
                  .find(L"utmp=%2Fen%2Fev%2F"), std::wstring::npos);
}

TEST(Tracking, EventRequestFromTheConfiguration) {
    kavri_test::Probe probe;
    probe.Ini(L"[PRODUCT]\nURL=http://127.0.0.1:1/none.exe\n[CAMPAIGN]\nURL=" +
              probe.Tracking(L"/c/%1/%2?m=%3&s=%4&i=%5&c=%6&keep=%%41") +
              L"\nSOURCE=summer sale & more\nINFORMATION=a#b;c+d=e\nMEDIUM=\u00fcber %41\n");
    ASSERT_EQ(probe.Run(L"-c 1031", L"state:6"), 0) << probe.out.out;
    EXPECT_EQ(probe.Line("state=1"), "state=1");
    const std::vector<std::string> targets = probe.Targets();
    ASSERT_EQ(targets.size(), 1u);
    const std::string id = targets[0].substr(targets[0].find("m=") + 2, 12);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;  // the machine id
    EXPECT_EQ(targets[0], "/c/stubInstaller_CheckNewVersion/de?m=" + id +
                              "&s=summer%20sale%20%26%20more&i=a%23b%3Bc%2Bd%3De&c=%C3%BCber%20%41&keep=%41&tag=" +
                              kavri_test::Utf8(probe.tag));
}
