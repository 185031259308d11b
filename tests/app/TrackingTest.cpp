// Usage tracking: the URL built from the template and its inserts, and the
// requests that a real process sends to the local test server.
#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "TrackingTestSupport.h"
#include "app/Tracking.h"
#include "i18n/LanguageResources.h"

using namespace kavri_test;

namespace {

struct EncodeCase {
    const wchar_t* in;
    const wchar_t* out;
};

TEST(TrackingEncode, InsertsArePercentEncodedKeepingExistingEscapes) {
    const EncodeCase cases[] = {
        {L"", L""},
        {L"undefined", L"undefined"},
        {L"AZaz09-_.~", L"AZaz09-_.~"},
        {L"summer sale & more", L"summer%20sale%20%26%20more"},
        {L"#;+=?/:@", L"%23%3B%2B%3D%3F%2F%3A%40"},
        {L"a%20b", L"a%20b"},          // an existing escape stays
        {L"%2f%2F", L"%2f%2F"},        // either case of hex digits
        {L"100%", L"100%25"},          // a lone percent sign is encoded
        {L"%2", L"%252"},
        {L"%zz", L"%25zz"},
        {L"\u00fc", L"%C3%BC"},        // non-ASCII as UTF-8
        {L"\u20ac", L"%E2%82%AC"},
        {L"\U0001F600", L"%F0%9F%98%80"},  // a surrogate pair is one character
        {L"x\xD800y", L"x%EF%BF%BDy"},     // a lone surrogate becomes U+FFFD
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(c.out), kavri::EncodeUrlInsert(c.in)) << Narrow(c.in);
    }
}

// The default template (string 104) for stubinstaller_Started on an English
// interface. Built only: its host is the real analytics service.
TEST(TrackingUrl, DefaultTemplateForStartedOnEnglishUi) {
    const std::wstring tmpl = GetNeutralLanguage()->GetString(IDS_TRACKING_URL, false);
    ASSERT_FALSE(tmpl.empty());
    const std::wstring url = kavri::BuildTrackingUrl(tmpl, L"stubinstaller_Started", L"en", L"0A1B2C3D4E5F",
                                                     L"undefined", L"undefined", L"undefined");
    const std::string u = Narrow(url);
    ASSERT_EQ(0u, u.find("http://")) << u;
    EXPECT_NE(std::string::npos, u.find("/__utm.gif?")) << u;

    struct {
        const char* key;
        const char* value;
    } const expected[] = {
        {"utmwv", "4.6.5"},
        {"utmn", "809250245"},
        {"utmcs", "UTF-8"},
        {"utmsr", "1280x800"},
        {"utmsc", "24-bit"},
        {"utmul", "es-es"},
        {"utmje", "1"},
        {"utmfl", "10.0%20r45"},
        {"utmdt", "SKYGUARD"},
        {"utmhid", "1976984839"},
        {"utmr", "-"},
        {"utmp", "%2Fen%2Fstubinstaller_Started%2F"},
        {"utmac", "UA-0000000-1"},
        {"utmcc",
         "__utma%3D27364815.0A1B2C3D4E5F.1268347230.1268347230.1268347230.1%3B%2B__utmz%3D27364815."
         "1268347230.1.1.utmcsr%3Dundefined%7Cutmccn%3Dundefined%7Cutmcmd%3Dundefined%3B"},
    };
    for (const auto& e : expected) EXPECT_EQ(e.value, QueryValue(u, e.key)) << e.key;
    // The web site's host name stands in the template as it is sent.
    EXPECT_FALSE(QueryValue(u, "utmhn").empty());
    EXPECT_NE(std::string::npos, Narrow(tmpl).find("utmhn=" + QueryValue(u, "utmhn") + "&"));
    // Parameters in their fixed order.
    const char* order[] = {"utmwv=", "utmn=", "utmhn=", "utmcs=", "utmsr=", "utmsc=", "utmul=", "utmje=",
                           "utmfl=", "utmdt=", "utmhid=", "utmr=", "utmp=", "utmac=", "utmcc="};
    size_t last = 0;
    for (const char* key : order) {
        size_t at = u.find(std::string("&") + key);
        if (at == std::string::npos) at = u.find(std::string("?") + key);
        ASSERT_NE(std::string::npos, at) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
}

TEST(TrackingUrl, SixInsertsEachEncodedAndTemplateEscapesKept) {
    const std::wstring url = kavri::BuildTrackingUrl(
        L"http://h/p/%1/%2?m=%3&s=%4&i=%5&c=%6&lit=%%41%%", L"stubinstaller_Started", L"de", L"00AA11BB22CC",
        L"news letter", L"a&b=c", L"\u00e9t\u00e9 %41");
    EXPECT_EQ(L"http://h/p/stubinstaller_Started/de?m=00AA11BB22CC&s=news%20letter&i=a%26b%3Dc"
              L"&c=%C3%A9t%C3%A9%20%41&lit=%41%",
              url);
}

TEST(TrackingUrl, NoUrlFromAnEmptyTemplateOrOneNamingUnknownInserts) {
    const wchar_t* bad[] = {L"",
                            L"http://h/?x=%7",
                            L"http://h/?x=%10",
                            L"http://h/%1/%99",
                            // Specs that read beyond the six inserts or write through one.
                            L"http://h/?x=%6!*s!",
                            L"http://h/?x=%1!.*s!",
                            L"http://h/?x=%1!n!",
                            L"http://h/?x=%1!s"};
    for (const wchar_t* t : bad) {
        EXPECT_EQ(L"", kavri::BuildTrackingUrl(t, L"e", L"en", L"0", L"s", L"i", L"m")) << Narrow(t);
    }
    // A format that reads only its own insert is fine.
    EXPECT_EQ(L"http://h/?x=e&l=en", kavri::BuildTrackingUrl(L"http://h/?x=%1!s!&l=%2!ls!", L"e", L"en", L"0",
                                                             L"s", L"i", L"m"));
    // %%7 is a literal percent sign followed by 7, not an insert.
    EXPECT_EQ(L"http://h/?x=%7", kavri::BuildTrackingUrl(L"http://h/?x=%%7", L"e", L"en", L"0", L"s", L"i", L"m"));
}

// ---- requests sent by a real process ----------------------------------------

std::wstring LocalTemplate(const std::wstring& pathAndQuery) {
    return L"http://127.0.0.1:" + std::to_wstring(TestServerPort()) + pathAndQuery;
}

bool IsMachineId(const std::string& id) {
    if (id.size() != 12) return false;
    for (char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

class TrackingRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestServerPort() == 0) GTEST_SKIP() << "no test server in this run";
        ASSERT_TRUE(probe.Ok());
    }
    ProbeDir probe;
};

TEST_F(TrackingRequestTest, DefaultTemplateRequestForStartedOnEnglishUi) {
    // The real default template, with its host replaced by the local server
    // and a tag appended so the server files the request for this test. The
    // server keeps paths beginning "/_" for itself, hence the "/ga" prefix.
    std::wstring tmpl = GetNeutralLanguage()->GetString(IDS_TRACKING_URL, false);
    size_t path = tmpl.find(L"/__utm.gif");
    ASSERT_NE(std::wstring::npos, path);
    const std::wstring tag = UniqueTag("default");
    tmpl = LocalTemplate(L"/ga" + tmpl.substr(path)) + L"&tag=" + tag;
    probe.WriteIni(L"[PRODUCT]\r\nURL=http://127.0.0.1:1/none.exe\r\n[CAMPAIGN]\r\nURL=" + tmpl + L"\r\n");

    auto lines = probe.Run(L"-c 1033", L"state:0");
    ASSERT_EQ(2u, lines.size());
    const std::string machineId = JsonField(lines[0], "machine_id");
    EXPECT_TRUE(IsMachineId(machineId)) << machineId;
    EXPECT_EQ("en", JsonField(lines[0], "language"));
    EXPECT_EQ("true", JsonField(lines[1], "result"));  // the request went out and was answered

    auto targets = RecordedTargets(tag);
    ASSERT_EQ(1u, targets.size());
    const std::string& t = targets[0];
    EXPECT_EQ(0u, t.find("/ga/__utm.gif?utmwv=4.6.5&utmn=809250245&utmhn=")) << t;
    EXPECT_EQ("%2Fen%2Fstubinstaller_Started%2F", QueryValue(t, "utmp"));
    const std::string cookie = QueryValue(t, "utmcc");
    EXPECT_NE(std::string::npos, cookie.find("__utma%3D27364815." + machineId + ".1268347230.")) << cookie;
    EXPECT_NE(std::string::npos, cookie.find("utmcsr%3Dundefined%7Cutmccn%3Dundefined%7Cutmcmd%3Dundefined%3B"))
        << cookie;
    EXPECT_EQ("10.0%20r45", QueryValue(t, "utmfl"));
    EXPECT_EQ("4.6.5", QueryValue(t, "utmwv"));
    EXPECT_EQ("UA-0000000-1", QueryValue(t, "utmac"));

    EXPECT_NE(std::string::npos, probe.Log().find("CInstaller::SetState(\"stubinstaller_Started\")"));
}

TEST_F(TrackingRequestTest, IniTemplateIsUsedAsItStands) {
    const std::wstring tag = UniqueTag("ini");
    probe.WriteIni(L"[PRODUCT]\r\nURL=http://127.0.0.1:1/none.exe\r\n[CAMPAIGN]\r\nURL=" +
                   LocalTemplate(L"/own/%1/%2?id=%3&src=%4&inf=%5&med=%6&keep=%%41&tag=") + tag + L"\r\n");
    auto lines = probe.Run(L"-c 1031", L"state:6");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("true", JsonField(lines[1], "result"));
    auto targets = RecordedTargets(tag);
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ("/own/stubInstaller_CheckNewVersion/de?id=" + JsonField(lines[0], "machine_id") +
                  "&src=undefined&inf=undefined&med=undefined&keep=%41&tag=" + Narrow(tag),
              targets[0]);
}

TEST_F(TrackingRequestTest, TrackingOffSendsNothingAndStillLogsEveryEvent) {
    const std::wstring tag = UniqueTag("off");
    probe.WriteIni(L"[PRODUCT]\r\nURL=http://127.0.0.1:1/none.exe\r\n[CAMPAIGN]\r\nURL=" +
                   LocalTemplate(L"/t?e=%1&tag=") + tag + L"\r\n");
    auto lines = probe.Run(L"-t 0 -l 1", L"state:0|state:5|state:10");
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("false", JsonField(lines[0], "tracking"));
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ("false", JsonField(lines[i], "result")) << lines[i];
    EXPECT_TRUE(RecordedTargets(tag).empty());
    const std::string log = probe.Log();
    for (const char* name : {"stubinstaller_Started", "stubinstaller_CancelledByUser",
                             "stubinstaller_StartMainInstaller"}) {
        EXPECT_NE(std::string::npos, log.find(std::string("CInstaller::SetState(\"") + name + "\")")) << name;
    }
}

TEST_F(TrackingRequestTest, CampaignValuesWithBlanksAndAmpersandsArriveEncoded) {
    const std::wstring tag = UniqueTag("campaign");
    probe.WriteIni(L"[PRODUCT]\r\nURL=http://127.0.0.1:1/none.exe\r\n[CAMPAIGN]\r\nURL=" +
                   LocalTemplate(L"/c?s=%4&i=%5&m=%6&tag=") + tag +
                   L"\r\nSOURCE=summer sale & more\r\nINFORMATION=a#b;c+d=e\r\nMEDIUM=\u00fcber %41\r\n");
    auto lines = probe.Run(L"-c 1033", L"state:8");
    ASSERT_EQ(2u, lines.size());
    auto targets = RecordedTargets(tag);
    ASSERT_EQ(1u, targets.size());
    EXPECT_EQ("/c?s=summer%20sale%20%26%20more&i=a%23b%3Bc%2Bd%3De&m=%C3%BCber%20%41&tag=" + Narrow(tag),
              targets[0]);
}

}  // namespace
