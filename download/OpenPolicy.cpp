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
    AnswerVerdict v{kErrHttpStatus, false, -1};
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

bool IsProbeFailure(bool sent, DWORD status) { return !sent || status == 429 || status == 503; }

namespace {

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), the form servers send;
// the system's own parser takes any text for some date.
bool ParseHttpDate(const std::wstring& v, FILETIME* out) {
    wchar_t day[4] = {}, month[4] = {}, zone[4] = {};
    unsigned d = 0, y = 0, h = 0, m = 0, s = 0;
    int used = 0;
    if (swscanf(v.c_str(), L"%3l[A-Za-z], %2u %3l[A-Za-z] %4u %2u:%2u:%2u %3l[A-Z]%n", day, &d, month, &y, &h, &m,
                &s, zone, &used) != 8 || used != static_cast<int>(v.size()) || wcscmp(zone, L"GMT") != 0)
        return false;
    static const wchar_t kMonths[] = L"JanFebMarAprMayJunJulAugSepOctNovDec";
    const wchar_t* at = wcslen(month) == 3 ? wcsstr(kMonths, month) : nullptr;
    if (!at || (at - kMonths) % 3 != 0) return false;
    const SYSTEMTIME t = {static_cast<WORD>(y), static_cast<WORD>((at - kMonths) / 3 + 1), 0, static_cast<WORD>(d),
                          static_cast<WORD>(h), static_cast<WORD>(m), static_cast<WORD>(s), 0};
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
