// The pure decisions of an open: which failures are retried at once, which
// redirects are followed, and whether an answer is the one asked for. No
// WinINet, no clock, no state: the open (OpenJob.cpp) feeds in what it saw.
//
// Concurrency: none; every function may run on any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavri {

// A connection reset is retried at once; a server that resets every request
// must not keep a worker busy forever, so attempts are bounded.
constexpr int kMaxOpenAttempts = 10;
// Redirects are followed, at most this many; a loop is a failure.
constexpr size_t kMaxRedirects = 10;

// What to do after sending failed with a WinINet error on attempt (1-based)
// after tookMs, with the request's receive time-out.
struct SendVerdict {
    bool retry;  // send again at once
    int code;    // the result when not retried
};
// A reset is ERROR_INTERNET_CONNECTION_RESET, or (Wine's WinINet) an abort
// long before the receive time-out could have run out; an abort that took
// the time-out is a time-out. Both, like the connection group, are -500;
// anything else -400.
SendVerdict JudgeSendFailure(DWORD error, uint64_t tookMs, DWORD receiveMs, int attempt);

// An "answer" without a status line (status 0): the connection ended before
// any answer, retried at once while attempts remain.
bool RetryEmptyAnswer(DWORD status, int attempt);

bool IsRedirect(DWORD status);
// True when target (a resolved absolute http(s) URL, empty when the answer
// named none) may be followed after the URLs already asked for (seen, the
// current one last): not seen before and within kMaxRedirects.
bool MayFollowRedirect(const std::vector<std::wstring>& seen, const std::wstring& target);

// What an answer said, and what the request asked.
struct AnswerFacts {
    DWORD status;
    std::wstring encoding;      // Content-Encoding ("" none)
    std::wstring contentRange;  // Content-Range ("" none)
    bool ranged;                // the request carried a Range header
    uint64_t rangeStart;        // ... starting here
    bool acceptWhole;           // a 200 to a ranged request is taken (the first answer)
};
struct AnswerVerdict {
    int code;       // 0, kErrProxyAuth (a 407), or kErrHttpStatus
    bool ranged;    // 206 with the start asked for
    int64_t total;  // the size the Content-Range gave (-1 none)
};
// Only 200/206 with no encoding but identity (a proxy's 407 is a failure of
// its own); for a ranged request only a
// 206 whose Content-Range starts at the offset asked for (or, with
// acceptWhole, a 200: the file from byte 0).
AnswerVerdict JudgeAnswer(const AnswerFacts& answer);

struct RequestSpec;
// The extra header lines of a request: Range (and If-Range) when ranged, and
// always "Accept-Encoding: identity" (no compressed stream to save by mistake).
std::wstring RequestHeaders(const RequestSpec& request, bool ranged);

// The connectivity probe counts a failed send, and an answer that says the
// server limits its connections (429, 503), as a failure.
bool IsProbeFailure(bool sent, DWORD status);
// An answer by which the server limits its connections: 429 or 503.
inline bool IsLimitRefusal(DWORD status) { return status == 429 || status == 503; }

// The longest wait a Retry-After may ask for.
constexpr uint32_t kMaxRetryAfterMs = 60000;
// The wait a Retry-After value asks for at `now`: delta seconds, or an HTTP
// date; at most kMaxRetryAfterMs, 0 for a date gone by or a value that is
// neither.
uint32_t RetryAfterMs(const std::wstring& value, const FILETIME& now);

}  // namespace kavri
