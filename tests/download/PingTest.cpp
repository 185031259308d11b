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
