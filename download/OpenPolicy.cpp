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

}  // namespace kavri
