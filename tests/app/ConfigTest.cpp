// The configuration record: command line and INI file (read through the real
// profile API).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "app/InstallerConfig.h"
#include "i18n/LanguageResources.h"
#include "log/Log.h"
#include "support/TestEnv.h"

using Want = std::map<std::string, std::wstring>;

static Want Fields(const InstallerConfig& c) {
    auto n = [](uint32_t v) { return std::to_wstring(v); };
    const OSVERSIONINFOW& os = c.runtime.osVersion;
    return {{"url", c.product.downloadUrl}, {"name", c.product.name}, {"help", c.product.helpUrl},
            {"installer", c.product.installer}, {"config", c.product.webConfigUrl}, {"ver", n(c.product.version)},
            {"segments", n(c.localization.maxSegments)}, {"lcid", n(c.localization.lcid)},
            {"os", n(os.dwMajorVersion) + L"." + n(os.dwMinorVersion)}, {"ram", n(c.runtime.ramMB)},
            {"cpu", n(c.runtime.cpuMHz)}, {"hdd", n(c.runtime.hddMB)}, {"track", c.campaign.trackingUrlTemplate},
            {"source", c.campaign.source}, {"info", c.campaign.information}, {"medium", c.campaign.medium},
            {"level", std::to_wstring(GetLogLevel())},
            {"mirrors", std::accumulate(c.product.mirrors.begin(), c.product.mirrors.end(), std::wstring())}};
}

// Runs step on a known record at log level 0 and compares the fields named in want.
static void Check(const std::function<void(InstallerConfig*)>& step, const Want& want, size_t row) {
    InstallerConfig c;
    c.product.downloadUrl = L"old", c.product.name = L"Default", c.campaign.trackingUrlTemplate = L"t";
    c.localization.maxSegments = 10, c.localization.lcid = 1033, c.product.mirrors = {L"http://m/"};
    kavri::ParseOsVersion(L"6.1", &c.runtime.osVersion);
    const int level = GetLogLevel();
    SetLogLevel(0);
    step(&c);
    Want got = Fields(c);
    SetLogLevel(level);
    for (const auto& w : want) EXPECT_EQ(got[w.first], w.second) << "row " << row << ", " << w.first;
}

const std::wstring kLongest = L"http://h/" + std::wstring(kavri::kMaxValueChars - 9, L'a');

TEST(Config, CommandLine) {
    const struct { std::vector<std::wstring> args; Want want; } rows[] = {
        {{L"-u", L"x"}, {{"url", L"x"}, {"mirrors", L""}}}, {{L"/U", L"x"}, {{"url", L"x"}}},  // the mirrors were old's {{L"-UrlOfMine", L"x"}, {{"url", L"x"}}},
        {{L"-u", L"x", L"/url", L"y"}, {{"url", L"y"}}},                     // the later one wins
        {{L"http://first"}, {{"url", L"http://first"}}},                     // a first word that is no switch
        {{L"-s", L"-4"}, {{"segments", L"4294967292"}}}, {{L"-u", L"/x"}, {{"url", L"old"}}},  // a switch is no value
        {{L"-c", L"1031", L"-s"}, {{"lcid", L"1031"}, {"segments", L"10"}, {"mirrors", L"http://m/"}}},
        {{L"-", L"5", L"/", L"6", L"-x", L"3"}, {{"url", L"old"}, {"segments", L"10"}}},
        {{L"http://b", L"-s", L"4", L"-t", L"0"}, {{"url", L"http://b"}, {"segments", L"4"}, {"track", L""}}},
        {{L"-t", L"1"}, {{"track", L"t"}}}, {{L"-Tracking", L"off"}, {{"track", L""}}},
        {{L"-CultureCode", L"1041"}, {{"lcid", L"1041"}}}, {{L"-SegmentCount", L"many"}, {{"segments", L"0"}}},
        {{L"-u", L"x", L"y", L"/s", L"2"}, {{"url", L"x"}, {"segments", L"2"}}},
        {{L"-LogLevel", L"4"}, {{"level", L"4"}}}, {{L"-l", L"-1"}, {{"level", L"-1"}}},
        {{kLongest}, {{"url", kLongest}}}, {{kLongest + L"b"}, {{"url", L"old"}}},  // refused, not cut
        {{L"-u", kLongest + L"b", L"-s", L"3"}, {{"url", L"old"}, {"segments", L"3"}}},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        Check([&](InstallerConfig* c) { kavri::ApplyCommandLine(rows[i].args, c); }, rows[i].want, i);
}

TEST(Config, IniFile) {
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::wstring here = std::wstring(cwd) + (cwd[wcslen(cwd) - 1] == L'\\' ? L"" : L"\\");
    const std::string longest = kavri_test::Utf8(kLongest);
    const struct { std::string ini; Want want; } rows[] = {
        {"[DOWNLOADER]\nMaxAllowedSegments=-1\n[DEBUG]\nLogLevel=4", {{"segments", L"4294967295"}, {"level", L"4"}}},
        {"[RUNTIME]\nOSVersion=\nRAM=-2\nCPU=abc\nHDD=300MB",
         {{"os", L"6.1"}, {"ram", L"4294967294"}, {"cpu", L"0"}, {"hdd", L"300"}}},
        {"[DOWNLOADER]\nMaxAllowedSegments=\n[PRODUCT]\nVer=", {{"segments", L"10"}, {"ver", L"0"}}},  // kept
        {"[RUNTIME]\nOSVersion=5.2", {{"os", L"5.2"}}}, {"[RUNTIME]\nOSVersion=6", {{"os", L"6.0"}}},
        {"[RUNTIME]\nOSVersion=6.1.7600", {{"os", L"6.1"}}},
        {"[RUNTIME]\nOSVersion=10.0.19041\n[PRODUCT]\nVer=-5", {{"os", L"10.0"}, {"ver", L"0"}}}, {"[RUNTIME]\nOSVersion=x.y", {{"os", L"0.0"}}},
        {"[PRODUCT]\nURL=u\nName=\nHelp=h\nConfig=c\nVer=3",
         {{"url", L"u"}, {"name", L"Default"}, {"help", L"h"}, {"config", L"c"}, {"ver", L"3"}, {"lcid", L"1033"}}},
        {"[PRODUCT]\nMirror1=http://a/\nMirror2=\nMirror3=ftp://c/\nMirror4=https://d/\nMirror5=http://e/",
         {{"mirrors", L"http://a/https://d/"}}},  // only http(s), four at most
        {"[PRODUCT]\nURL=u", {{"mirrors", L"http://m/"}}},
        {"[PRODUCT]\nInstaller=C:/Kavri/setup.exe /S /v", {{"installer", L"C:\\Kavri\\setup.exe /S /v"}}},
        {"[PRODUCT]\nInstaller=\"C:\\P F\\s.exe\" /S", {{"installer", L"\"C:\\P F\\s.exe\" /S"}}},
        {"[PRODUCT]\nInstaller=nosuch.exe /S /v\"/qn\"", {{"installer", here + L"nosuch.exe /S /v\"/qn\""}}},
        {"[CAMPAIGN]\nSOURCE=mail\nURL=\nINFORMATION=i\nMEDIUM=m",
         {{"source", L"mail"}, {"track", L"t"}, {"info", L"i"}, {"medium", L"m"}}},
        {"[PRODUCT]\nURL=" + longest + "b\nConfig=" + longest, {{"url", L"old"}, {"config", kLongest}}},
    };
    kavri_test::TempDir dir;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        ASSERT_TRUE(kavri_test::WriteFileBytes(dir.File(L"a.ini"), rows[i].ini));
        Check([&](InstallerConfig* c) { kavri::ReadIniFile(dir.File(L"a.ini").c_str(), c); }, rows[i].want, i);
    }
}
