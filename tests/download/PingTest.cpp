// Ping through the process-wide request: only the sending is judged.
#include <gtest/gtest.h>

#include <string>

#include "common/ErrorCode.h"
#include "download/Request.h"
#include "net/NetTestUtil.h"
#include "support/TestEnv.h"

using kavri_nettest::FileUrl;
using kavri_nettest::LogCapture;
using kavri_nettest::Narrow;
using kavri_nettest::RequestCount;
using kavri_nettest::UniqueTag;

TEST(Ping, GlobalRequestExistsBeforeMainAndIsNamed) {
    CRequest* request = GetGlobalRequest();
    ASSERT_NE(request, nullptr);
    EXPECT_STREQ(request->GetLogName(), L"CRequest");
    EXPECT_EQ(request->GetConnectionTimeout(), 30000u);
}

TEST(Ping, AnyAnswerCountsAsSentAndTheSessionIsReused) {
    ASSERT_GT(kavri_test::TestServerPort(), 0);
    const std::wstring tag = UniqueTag(L"ping");
    LogCapture log;
    EXPECT_TRUE(Ping(FileUrl(L"status=404", tag).c_str()));
    HINTERNET first = GetGlobalRequest()->GetHandle();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(Ping(FileUrl(L"status=500", tag).c_str()));
    EXPECT_EQ(GetGlobalRequest()->GetHandle(), first);
    EXPECT_TRUE(Ping(FileUrl(L"size=10", tag).c_str()));
    EXPECT_EQ(GetGlobalRequest()->GetHandle(), first);
    EXPECT_EQ(RequestCount(tag), 3);
    EXPECT_EQ(log.CountLevel(LOG_LEVEL_ERROR), 0) << Narrow(log.Dump());
    const std::string json = kavri_nettest::RequestsJson(tag);
    EXPECT_NE(json.find("\"User-Agent\": \"Kavri Sky HTTP Agent\""), std::string::npos) << json;
}

TEST(Ping, UnparsableUrlFailsWithTheParseLineAndOpensNoSession) {
    LogCapture log;
    HINTERNET before = GetGlobalRequest()->GetHandle();
    for (const wchar_t* url : {L"", L"not a url", L"http//x"}) {
        SCOPED_TRACE(Narrow(url));
        log.Clear();
        EXPECT_FALSE(Ping(url));
        const auto line = log.Find(L"CRequest::Ping, failed to parse url, WIN_INET_ERROR:");
        EXPECT_EQ(line.level, LOG_LEVEL_ERROR) << Narrow(log.Dump());
        EXPECT_EQ(line.code, kavri::kErrBadArgument);
        EXPECT_FALSE(log.Has(L"GetSession"));
    }
    EXPECT_FALSE(Ping(nullptr));
    EXPECT_EQ(GetGlobalRequest()->GetHandle(), before);
}

TEST(Ping, NoAnswerIsAFailedConnection) {
    LogCapture log;
    EXPECT_FALSE(Ping(L"http://127.0.0.1:1/collect?v=1"));
    const auto line = log.Find(L"CRequest::Ping, failed to create new connection, WIN_INET_ERROR:12029");
    EXPECT_EQ(line.level, LOG_LEVEL_ERROR) << Narrow(log.Dump());
    EXPECT_EQ(line.code, kavri::kErrPingConnection);
    // A failed ping keeps the session open for the next one.
    EXPECT_NE(GetGlobalRequest()->GetHandle(), nullptr);
}

TEST(Ping, RepeatedUrlReachesTheServerEachTime) {
    ASSERT_GT(kavri_test::TestServerPort(), 0);
    const std::wstring tag = UniqueTag(L"pingtwice");
    const std::wstring url = FileUrl(L"size=10&lastmod=1", tag);
    EXPECT_TRUE(Ping(url.c_str()));
    EXPECT_TRUE(Ping(url.c_str()));
    EXPECT_EQ(RequestCount(tag), 2);
}

TEST(Ping, SilentServerEndsWithinTheSessionsTimeouts) {
    ASSERT_GT(kavri_test::TestServerPort(), 0);
    CRequest* request = GetGlobalRequest();
    const DWORD connection = request->GetConnectionTimeout();
    const DWORD receive = request->GetReceiveTimeout();
    request->SetTimeoutsForTest(1000, 700);
    LogCapture log;
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(Ping(FileUrl(L"stall=1", UniqueTag(L"pingstall")).c_str()));
    EXPECT_LT(GetTickCount64() - started, 5000u);
    request->SetTimeoutsForTest(connection, receive);
    const auto line = log.Find(L"CRequest::Ping, failed to create new connection, WIN_INET_ERROR:");
    EXPECT_EQ(line.code, kavri::kErrPingConnection) << Narrow(log.Dump());
}

TEST(Ping, HttpsUrl) {
    const auto tls = kavri_nettest::ReadTlsInfo();
    if (tls.untrustedPort == 0) GTEST_SKIP() << "the test server has no TLS listeners";
    // An untrusted certificate is a failed send, never ignored.
    LogCapture log;
    EXPECT_FALSE(Ping((L"https://127.0.0.1:" + std::to_wstring(tls.untrustedPort) + L"/collect").c_str()));
    EXPECT_TRUE(log.Has(L"CRequest::Ping, failed to create new connection, WIN_INET_ERROR:12045"));
}
