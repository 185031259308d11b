// The pure decisions of an open. See OpenPolicy.h.
#include "download/OpenPolicy.h"

#include <wininet.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "common/ErrorCode.h"
#include "download/Connection.h"

namespace kavri {

SendVerdict JudgeSendFailure(DWORD error, uint64_t tookMs, DWORD receiveMs, int attempt) {
    const bool reset = error == ERROR_INTERNET_CONNECTION_RESET ||
                       (error == ERROR_INTERNET_CONNECTION_ABORTED && tookMs < receiveMs / 2);
    if (reset && attempt < kMaxOpenAttempts) return {true, kOk};
    // A reset that keeps recurring is a connection failure too, and so is an
    // abort that took the receive time-out (this WinINet's request time-out).
    const bool connection = IsConnectionGroupError(error) || error == ERROR_INTERNET_CONNECTION_RESET ||
                            error == ERROR_INTERNET_CONNECTION_ABORTED;
    return {false, connection ? kErrNoConnection : kErrOpenUrl};
}

bool RetryEmptyAnswer(DWORD status, int attempt) { return status == 0 && attempt < kMaxOpenAttempts; }

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool MayFollowRedirect(const std::vector<std::wstring>& seen, const std::wstring& target) {
    bool secure = false;
    wchar_t host[256], path[260];
    return !target.empty() && SplitHttpUrl(target.c_str(), &secure, host, path) &&
           std::find(seen.begin(), seen.end(), target) == seen.end() && seen.size() <= kMaxRedirects;
}

AnswerVerdict JudgeAnswer(const AnswerFacts& a) {
    AnswerVerdict v{a.status == 407 ? kErrProxyAuth : kErrHttpStatus, false, -1};
    // Only the bytes asked for are saved: never an encoded stream.
    if (!a.encoding.empty() && _wcsicmp(a.encoding.c_str(), L"identity") != 0) return v;
    bool ok = a.status == 200 || a.status == 206;
    if (ok && a.ranged) {
        // Only 206 with our own start offset is the range asked for; a 200
        // would be the file from byte 0 (the first answer may take it whole).
        ok = a.status == 200 && a.acceptWhole;
        uint64_t start = 0;
        if (a.status == 206 && ParseContentRangeStart(a.contentRange.c_str(), &start) && start == a.rangeStart) {
            ok = true;
            v.ranged = true;
            const size_t slash = a.contentRange.find(L'/');
            if (slash != std::wstring::npos && iswdigit(a.contentRange[slash + 1]))
                v.total = _wcstoi64(a.contentRange.c_str() + slash + 1, nullptr, 10);
        }
    }
    if (ok) v.code = kOk;
    return v;
}

std::wstring RequestHeaders(const RequestSpec& request, bool ranged) {
    std::wstring headers;
    if (ranged) {
        headers = L"Range: bytes=" + std::to_wstring(request.rangeStart) + L"-" + std::to_wstring(request.rangeEnd - 1) + L"\r\n";
        if (!request.ifRange.empty()) headers += L"If-Range: " + request.ifRange + L"\r\n";
    }
    return headers + L"Accept-Encoding: identity\r\n";
}

bool IsProbeFailure(bool sent, DWORD status) { return !sent || IsLimitRefusal(status); }

namespace {

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT", fixed positions), the
// form servers send; the system's own parser takes any text for some date.
bool ParseHttpDate(const std::wstring& v, FILETIME* out) {
    if (v.size() != 29 || v.compare(3, 2, L", ") != 0 || v.compare(25, 4, L" GMT") != 0) return false;
    auto number = [&](size_t at, size_t digits, WORD* n) {
        *n = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (v[i] < L'0' || v[i] > L'9') return false;
            *n = static_cast<WORD>(*n * 10 + (v[i] - L'0'));
        }
        return true;
    };
    static const wchar_t kMonths[] = L"JanFebMarAprMayJunJulAugSepOctNovDec";
    const wchar_t* month = std::wcsstr(kMonths, v.substr(8, 3).c_str());
    SYSTEMTIME t = {};
    if (!month || (month - kMonths) % 3 != 0 || v[7] != L' ' || v[11] != L' ' || v[16] != L' ' || v[19] != L':' ||
        v[22] != L':' || !number(5, 2, &t.wDay) || !number(12, 4, &t.wYear) || !number(17, 2, &t.wHour) ||
        !number(20, 2, &t.wMinute) || !number(23, 2, &t.wSecond))
        return false;
    t.wMonth = static_cast<WORD>((month - kMonths) / 3 + 1);
    return SystemTimeToFileTime(&t, out) != FALSE;
}

}  // namespace

uint32_t RetryAfterMs(const std::wstring& value, const FILETIME& now) {
    const size_t first = value.find_first_not_of(L" \t"), last = value.find_last_not_of(L" \t");
    if (first == std::wstring::npos) return 0;
    const std::wstring v = value.substr(first, last - first + 1);
    if (v.find_first_not_of(L"0123456789") == std::wstring::npos) {
        if (v.size() > 5) return kMaxRetryAfterMs;  // beyond 99999 s: the bound anyway
        return static_cast<uint32_t>(std::min<uint64_t>(kMaxRetryAfterMs, std::stoull(v) * 1000));
    }
    FILETIME when = {};
    if (!ParseHttpDate(v, &when)) return 0;
    const uint64_t at = (uint64_t(when.dwHighDateTime) << 32) | when.dwLowDateTime;
    const uint64_t from = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return at <= from ? 0 : static_cast<uint32_t>(std::min<uint64_t>(kMaxRetryAfterMs, (at - from) / 10000));
}

}  // namespace kavri
