// The open's pure decisions as tables: which send failures are retried and
// what they become, answers without a status line, redirects, whether an
// answer is the one asked for (its Content-Range), the headers sent, and
// the wait a Retry-After asks for.
#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "download/OpenPolicy.h"
#include "support/TestEnv.h"

using namespace kavri;

TEST(OpenPolicy, SendFailures) {
    const DWORD reset = ERROR_INTERNET_CONNECTION_RESET, aborted = ERROR_INTERNET_CONNECTION_ABORTED;
    struct Row { DWORD error; uint64_t took; int attempt; bool retry; int code; } rows[] = {
        {reset, 0, 1, true, 0}, {reset, 0, 9, true, 0}, {reset, 0, 10, false, kErrNoConnection},
        {aborted, 2999, 1, true, 0},                    // long before the 6 s receive time-out: a reset
        {aborted, 3000, 1, false, kErrNoConnection},    // it took the time-out: a time-out
        {ERROR_INTERNET_TIMEOUT, 0, 1, false, kErrNoConnection},
        {ERROR_INTERNET_CANNOT_CONNECT, 0, 1, false, kErrNoConnection},
        {ERROR_INTERNET_NAME_NOT_RESOLVED, 0, 1, false, kErrOpenUrl},
        {ERROR_INTERNET_SEC_CERT_CN_INVALID, 0, 1, false, kErrOpenUrl},
    };
    for (const Row& r : rows) {
        const SendVerdict v = JudgeSendFailure(r.error, r.took, 6000, r.attempt);
        EXPECT_EQ(v.retry, r.retry) << r.error << "/" << r.attempt;
        if (!r.retry) EXPECT_EQ(v.code, r.code) << r.error;
    }
    EXPECT_TRUE(RetryEmptyAnswer(0, 9));
    EXPECT_FALSE(RetryEmptyAnswer(0, 10));
    EXPECT_FALSE(RetryEmptyAnswer(200, 1));
}

TEST(OpenPolicy, Redirects) {
    const std::vector<std::wstring> one = {L"http://h/a"}, eleven(11, L"http://h/x");
    struct Row { DWORD status; std::vector<std::wstring> seen; std::wstring target; bool follow; } rows[] = {
        {302, one, L"http://h/b", true}, {301, one, L"https://other/b", true}, {307, one, L"http://h/b", true},
        {308, one, L"http://h/c", true}, {303, one, L"http://h/c", true}, {302, one, L"http://h/a", false},  // a loop
        {302, one, L"", false}, {302, one, L"ftp://h/b", false}, {302, {one[0], L"http://h/b"}, L"http://h/b", false},
        {302, std::vector<std::wstring>(10, L"http://h/x"), L"http://h/y", true}, {302, eleven, L"http://h/y", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(IsRedirect(r.status) && MayFollowRedirect(r.seen, r.target), r.follow) << r.status << " " << r.target;
    EXPECT_FALSE(IsRedirect(304));
}

TEST(OpenPolicy, Answers) {
    const int kHttp = kErrHttpStatus;
    struct Row { AnswerFacts facts; int code; bool ranged; int64_t total; } rows[] = {
        {{200, L"", L"", false, 0, false}, 0, false, -1}, {{206, L"identity", L"", false, 0, false}, 0, false, -1},
        {{200, L"gzip", L"", false, 0, false}, kHttp, false, -1}, {{404, L"", L"", false, 0, false}, kHttp, false, -1},
        {{206, L"", L"bytes 100-199/1000", true, 100, false}, 0, true, 1000},
        {{206, L"", L"bytes 100-199/*", true, 100, false}, 0, true, -1},
        {{206, L"", L"bytes 0-99/1000", true, 100, false}, kHttp, false, -1},   // the wrong offset
        {{200, L"", L"", true, 100, false}, kHttp, false, -1},                  // the whole file for a piece
        {{200, L"", L"", true, 0, true}, 0, false, -1},                         // the first answer takes it
        {{206, L"gzip", L"bytes 0-9/10", true, 0, true}, kHttp, false, -1},
        {{416, L"", L"bytes */1000", true, 1000, false}, kHttp, false, -1},
        {{206, L"", L"bytes 5000000000-5000000099/6000000000", true, 5000000000ull, false}, 0, true, 6000000000ll},
        {{407, L"", L"", true, 0, true}, kErrProxyAuth, false, -1},  // the proxy wants credentials
        {{206, L"", L"items 1-2/3", true, 1, false}, kHttp, false, -1}, {{206, L"", L"bytes 12", true, 12, false}, kHttp, false, -1},
    };
    for (const Row& r : rows) {
        const AnswerVerdict v = JudgeAnswer(r.facts);
        EXPECT_EQ(v.code, r.code) << r.facts.status << " " << r.facts.contentRange.size();
        EXPECT_EQ(v.ranged, r.ranged) << r.facts.status;
        EXPECT_EQ(v.total, r.total) << r.facts.status;
    }
    RequestSpec request;
    request.rangeStart = 4294967296;
    request.rangeEnd = 4294967396;
    request.ifRange = L"\"v1\"";
    EXPECT_EQ(RequestHeaders(request, true),
              L"Range: bytes=4294967296-4294967395\r\nIf-Range: \"v1\"\r\nAccept-Encoding: identity\r\n");
    EXPECT_EQ(RequestHeaders(request, false), L"Accept-Encoding: identity\r\n");
    struct Probe { bool sent; DWORD status; bool failure; } probes[] = {
        {false, 0, true}, {true, 0, false}, {true, 200, false}, {true, 404, false}, {true, 429, true}, {true, 503, true}};
    for (const Probe& p : probes) EXPECT_EQ(IsProbeFailure(p.sent, p.status), p.failure) << p.status;
}

TEST(OpenPolicy, RetryAfter) {
    SYSTEMTIME at = {1994, 11, 0, 6, 8, 49, 37, 0};
    FILETIME now;
    ASSERT_TRUE(SystemTimeToFileTime(&at, &now));
    const struct { const wchar_t* value; uint32_t ms; } rows[] = {
        {L"2", 2000}, {L" 7 ", 7000}, {L"0", 0}, {L"61", 60000}, {L"99999999999999999999", 60000},
        {L"Sun, 06 Nov 1994 08:50:07 GMT", 30000}, {L"Sun, 06 Nov 1994 08:49:00 GMT", 0},  // gone by
        {L"Mon, 07 Nov 1994 08:49:37 GMT", 60000}, {L"", 0}, {L"-5", 0}, {L"1.5", 0}, {L"soon", 0},
        {L"Sun, 06 Nov 1994 08:50:07 GMT x", 0}, {L"Sun, 31 Feb 1994 08:50:07 GMT", 0},
        {L"Sun, 06 Now 1994 08:50:07 GMT", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(RetryAfterMs(r.value, now), r.ms) << kavri_test::Utf8(r.value);
}
