// CConnection against the test server (status, ranges, headers, resets,
// time-outs), its URL check, the file names it takes, and Ping.
#include <gtest/gtest.h>

#include <string>

#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "download/Request.h"
#include "net/NetTestUtil.h"
#include "net/Session.h"

using namespace kavri;
using kavri_nettest::FileUrl;
using kavri_nettest::UniqueTag;

TEST(Connection, AnswersOfTheServer) {
    CSession session(0);
    session.SetTimeoutsForTest(5000, 1500);
    ASSERT_NE(session.GetSession(false), nullptr);
    const int kFailed = 1, kHttp = kErrHttpStatus;  // kFailed: any failure
    struct Row {
        std::wstring query;  // for the test server's /f.bin, or a whole URL
        int64_t rangeStart;
        int code;
        int64_t length;  // -7: left as it was
        bool ranges = true;
        const wchar_t* name = L"f.bin";
    } rows[] = {
        {L"size=123456&lastmod=1", -1, 0, 123456}, {L"size=1000", 100, 0, 100},
        {L"size=1000&ranged200=1", 100, kHttp, -7},  // would put the file's start at the offset
        {L"size=1000", 1000, kHttp, -7},  // 416
        {L"status=404", -1, kHttp, -7}, {L"status=500", -1, kHttp, -7},
        {L"size=10&nolength=1&ranges=0", -1, 0, -7, false}, {L"size=10&acceptranges=BYTES", -1, 0, 10},
        {L"size=10&acceptranges=bytes2", -1, 0, 10, false},
        {L"size=10&reset=9", -1, 0, 10},  // resets are retried: ten attempts in all
        {L"size=10&reset=10", -1, kFailed, -7}, {L"close=always", -1, kFailed, -7},
        {L"stall=1", -1, kErrNoConnection, -7},  // the receive time-out
        {L"redirect=/g.bin%3Fsize%3D20", -1, 0, 20},
        {L"http://127.0.0.1:1/x", -1, kErrNoConnection, -7},
        {L"http://" + std::wstring(64, L'k') + L".invalid/x", -1, kErrOpenUrl, -7},
        {kavri_nettest::UntrustedUrl(), -1, kErrOpenUrl, -7},
        // The server's file name: only a plain, safe one, however long its header.
        {L"size=10&disposition=attachment%3B%20filename%3D%22..%5C..%5Cx.exe%22", -1, 0, 10, true, L"x.exe"},
        {L"size=10&disposition=attachment%3B%20filename%3D%22Setup%20Product%201.0.exe%22", -1, 0, 10, true,
         L"Setup Product 1.0.exe"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(kavri_test::Utf8(r.query));
        const std::wstring url = r.query.rfind(L"http", 0) == 0 ? r.query : FileUrl(r.query, UniqueTag(L"c"));
        CConnection c(&session, url.c_str());  // with a start: asks for 100 bytes from it, as a segment does
        c.SetAcceptsRanges(r.rangeStart >= 0);
        if (r.rangeStart >= 0) c.SetRange(r.rangeStart, r.rangeStart + 100, L"");
        SYSTEMTIME modified = {};
        int64_t length = -7;
        const int code = c.QueryFileInformation(&modified, &length);
        EXPECT_TRUE(r.code == kFailed ? code != 0 : code == r.code) << code;
        EXPECT_EQ(length, r.length);
        EXPECT_EQ(c.GetUrlHandle() != nullptr, code == 0);
        if (code != 0) continue;
        EXPECT_EQ(c.AcceptsRanges(), r.ranges);
        EXPECT_STREQ(c.GetFileName(), r.name);
        EXPECT_EQ(c.GotRequestedRange(), r.rangeStart >= 0);
        EXPECT_EQ(modified.wYear, r.query.find(L"lastmod") != std::wstring::npos ? 2015 : 0);
    }
    // The connectivity probe's open: a failure is counted, never an answer.
    CConnection(&session, L"http://127.0.0.1:1/x").OpenForTest();
    CConnection(&session, FileUrl(L"status=404", UniqueTag(L"t")).c_str()).OpenForTest();
    EXPECT_EQ(session.GetFailureCount(), 1u);
}

TEST(Connection, UrlCheckAndSplit) {
    const std::wstring a250(250, L'a');
    struct Row { std::wstring url; bool ok; std::wstring file; } rows[] = {
        {L"http://h/dir/setup.exe", true, L"setup.exe"}, {L"hTtP://Host.Example:8080/a/b.bin", true, L"b.bin"},
        {L"HTTPS://h/x.exe", true, L"x.exe"}, {L"http://h", true, L"setup.exe"},  // no name with an extension
        {L"http://h/get/file.exe?id=3&x=/y", true, L"file.exe"}, {L"http://h/setup.exe#part", true, L"setup.exe"},
        {L"http://h/" + a250, true, L"setup.exe"},  // 259 characters
        {L"http://h/" + a250 + L"a", false},                         // 260
        {L"http://" + std::wstring(256, L'h') + L"/x", false}, {L"ftp://h/x", false}, {L"httpx://h/x", false},
        {L"http:/h/x", false}, {L"http://", false}, {L"http:///nohost", false}, {L"", false}, {L"h/x.exe", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(kavri_test::Utf8(r.url));
        try {
            CConnection c(nullptr, r.url.c_str());
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(c.GetFileName(), r.file);
        } catch (EErrorCode e) {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(e, kErrBadArgument);
        }
    }
}

TEST(Connection, FileNameFromContentDisposition) {
    struct Row { const wchar_t *value, *name; } rows[] = {  // name null: none taken
        {L"attachment; filename=\"setup.exe\"", L"setup.exe"}, {L"filename=setup.exe", L"setup.exe"},
        {L"attachment; filename=\"Setup Product 1.0.exe\"", L"Setup Product 1.0.exe"},
        {L"attachment; filename=\"a.exe\"; size=3", L"a.exe"}, {L"attachment; filename=/etc/x", L"x"},
        {L"attachment; filename=\"..\\..\\x.exe\"", L"x.exe"}, {L"filename=\"../../x.exe\"", L"x.exe"},
        {L"filename=\"C:\\Windows\\System32\\x.dll\"", L"x.dll"}, {L"filename=\"dir/\"", nullptr},
        {L"filename=\"..\"", nullptr}, {L"filename=", nullptr}, {L"attachment", nullptr},
        {L"filename=\"CON\"", nullptr}, {L"filename=con.txt", nullptr}, {L"filename=\"LPT1.exe\"", nullptr},
        {L"filename=aux", nullptr}, {L"filename=CONIN$", nullptr}, {L"filename=\"CONSOLE.exe\"", L"CONSOLE.exe"},
        {L"filename=COM10", L"COM10"}, {L"filename=\"a:b\"", nullptr}, {L"filename=\"x.exe:stream\"", nullptr},
        {L"filename=\"a*b?.exe\"", nullptr}, {L"filename=\"a|b<c>\"", nullptr}, {L"filename=a.exe.", nullptr},
        {L"filename=\"end \"", nullptr}, {L"filename=\"tab\there.exe\"", nullptr},
        {L"filename=\"bell\x07.exe\"", nullptr}, {L"attachment; filename=\"\u2028evil.exe\"", nullptr},
        {L"attachment; filename=\"evil", nullptr},  // a line break inside the quotes cut the header
        {L"attachment; filename=\"a;b.exe\"; size=3", L"a;b.exe"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(kavri_test::Utf8(r.value));
        wchar_t out[256] = L"unchanged";
        EXPECT_EQ(FileNameFromContentDisposition(r.value, out, 256), r.name != nullptr);
        EXPECT_STREQ(out, r.name ? r.name : L"unchanged");
    }
    EXPECT_FALSE(IsSafeFileName(std::wstring(256, L'a').c_str()));
}

TEST(Ping, SentWhenAnyAnswerComesBack) {
    const std::wstring tag = UniqueTag(L"ping");
    EXPECT_TRUE(Ping(FileUrl(L"status=404", tag).c_str()));
    EXPECT_TRUE(Ping(FileUrl(L"x=a b%41", tag).c_str()));  // a blank escaped, an escape kept
    EXPECT_NE(kavri_nettest::RequestsJson(tag).find("?x=a%20b%41&"), std::string::npos);
    EXPECT_FALSE(Ping(L"http://127.0.0.1:1/collect"));
    EXPECT_FALSE(Ping(kavri_nettest::UntrustedUrl().c_str()));
    EXPECT_FALSE(Ping(L"not a url"));
    EXPECT_FALSE(Ping(nullptr));
}
