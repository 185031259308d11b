// One open attempt on its own block (see OpenJob.h): send, follow
// redirects, retry resets, judge the answer (the decisions are OpenPolicy's).
#include "download/OpenJob.h"

#include <process.h>

#include <mutex>
#include <vector>

#include "common/Guard.h"
#include "download/OpenPolicy.h"
#include "net/Session.h"

namespace kavri {

std::wstring QueryText(HINTERNET request, DWORD info) {
    wchar_t text[INTERNET_MAX_URL_LENGTH];
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    if (!HttpQueryInfoW(request, info, text, &bytes, nullptr)) return std::wstring();
    return std::wstring(text, bytes / sizeof(wchar_t));
}

namespace {

constexpr DWORD kTestExtraFlags = INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_KEEP_CONNECTION;

// Reads a status code; false (logged) when it cannot be read.
bool QueryStatus(OpenJob& job, DWORD* status) {
    DWORD length = sizeof(*status);
    *status = 0;
    if (!HttpQueryInfoW(job.request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &length,
                        nullptr)) {
        LogError(&job.log, kErrQueryInfo, L"query failed for a status code, WIN_INET_ERROR: %d",
                 static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

// Judges an answer and keeps what the download needs of its headers.
int CheckResponse(OpenJob& job, DWORD status) {
    AnswerInfo& a = job.answer;
    a.status = status;
    a.etag = QueryText(job.request.Get(), HTTP_QUERY_ETAG);
    a.lastModified = QueryText(job.request.Get(), HTTP_QUERY_LAST_MODIFIED);
    a.retryAfterMs = 0;
    if (IsLimitRefusal(status)) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        a.retryAfterMs = RetryAfterMs(QueryText(job.request.Get(), HTTP_QUERY_RETRY_AFTER), now);
    }
    const AnswerFacts facts{status,
                            QueryText(job.request.Get(), HTTP_QUERY_CONTENT_ENCODING),
                            job.ranged ? QueryText(job.request.Get(), HTTP_QUERY_CONTENT_RANGE) : std::wstring(),
                            job.ranged,
                            job.rangeStart,
                            job.acceptWhole};
    const AnswerVerdict verdict = JudgeAnswer(facts);
    a.ranged = verdict.ranged;
    a.total = verdict.total;
    if (verdict.code != kOk)
        LogError(&job.log, verdict.code, L"Invalid server responce, HTTP status code: %d, Content-Encoding \"%ls\"",
                 static_cast<int>(status), facts.encoding.c_str());
    return verdict.code;
}

// The start of every open attempt: close the previous request, log, and
// check that there is a session to open it through.
bool BeginAttempt(OpenJob& job) {
    job.request.Reset();
    job.connect.Reset();
    LogInfo(&job.log, L":Open, Connecting to server");
    return job.session != nullptr;
}

// The target of a redirect answer, resolved against url; empty when none.
std::wstring RedirectTarget(OpenJob& job, const std::wstring& url) {
    const std::wstring location = QueryText(job.request.Get(), HTTP_QUERY_LOCATION);
    if (location.empty()) return location;
    wchar_t combined[INTERNET_MAX_URL_LENGTH];
    DWORD length = INTERNET_MAX_URL_LENGTH;
    if (!InternetCombineUrlW(url.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE))
        return std::wstring();
    return std::wstring(combined, length);
}

bool Send(OpenJob& job, const std::wstring& url, DWORD headersLength, DWORD flags) {
    HINTERNET connect = nullptr, request = nullptr;
    const bool sent = SendGetRequest(job.session, url.c_str(), job.headers.empty() ? nullptr : job.headers.c_str(),
                                     headersLength, flags, job.timeouts, &connect, &request);
    job.connect.Reset(connect);
    job.request.Reset(request);
    return sent;
}

// The open: repeated at once on a connection reset or an answer without a
// status line (a loop, so the stack does not grow), bounded by the policy.
// Redirects are followed here, not inside WinINet, so that their number is
// bounded and a loop ends.
int RunNormalOpen(OpenJob& job) {
    std::wstring url = job.url;
    std::vector<std::wstring> seen;
    for (int attempt = 1;; ++attempt) {
        if (job.abandoned) return kErrGeneric;
        if (!BeginAttempt(job)) return kErrNoConnection;
        const ULONGLONG began = GetTickCount64();
        if (!Send(job, url, static_cast<DWORD>(job.headers.size()), job.flags | INTERNET_FLAG_NO_AUTO_REDIRECT)) {
            const DWORD error = GetLastError();
            const SendVerdict verdict = JudgeSendFailure(error, GetTickCount64() - began, job.timeouts.receiveMs, attempt);
            if (verdict.retry) continue;
            LogError(&job.log, verdict.code, L"InternetOpenUrl, failed, WIN_INET_ERROR:%d", static_cast<int>(error));
            return verdict.code;
        }
        if (job.abandoned) return kErrGeneric;  // the handles close with the job
        DWORD status = 0;
        int code = kErrQueryInfo;
        if (QueryStatus(job, &status)) {
            if (RetryEmptyAnswer(status, attempt)) continue;
            if (IsRedirect(status)) {
                seen.push_back(url);
                url = RedirectTarget(job, url);
                if (!MayFollowRedirect(seen, url)) {
                    LogError(&job.log, kErrNoConnection, L":Open, redirect loop or too many redirects (%d)",
                             static_cast<int>(seen.size()));
                    job.request.Reset();
                    job.connect.Reset();
                    return kErrNoConnection;
                }
                attempt = 0;
                continue;
            }
            job.answer.finalUrl = url;
            code = CheckResponse(job, status);
        }
        if (code != kOk) {
            job.request.Reset();
            job.connect.Reset();
        }
        return code;
    }
}

// The connectivity probe's attempt: the open itself always "succeeds"; a
// failure is counted in the session instead (while it is still linked).
int RunTestOpen(OpenJob& job) {
    if (!BeginAttempt(job)) return kErrNoConnection;
    // The headers are a terminated string whose length WinINet measures.
    const bool sent = Send(job, job.url, job.headers.empty() ? 0 : static_cast<DWORD>(-1), job.flags | kTestExtraFlags);
    DWORD status = 0, length = sizeof(status);
    if (sent) {
        HttpQueryInfoW(job.request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr);
    } else {
        const DWORD error = GetLastError();
        LogError(&job.log, IsConnectionGroupError(error) ? kErrNoConnection : kErrOpenUrl,
                 L"InternetOpenUrl, failed, WIN_INET_ERROR: %d", static_cast<int>(error));
    }
    if (!IsProbeFailure(sent, status)) return kOk;
    if (sent)
        LogError(&job.log, kErrHttpStatus, L"Invalid server responce, HTTP status code: %d", static_cast<int>(status));
    std::lock_guard<Lock> hold(ProcessLock());
    if (job.failureCounter) job.failureCounter->AddFailure();
    return kOk;
}

unsigned __stdcall JobThread(void* param) {
    std::shared_ptr<OpenJob> job;
    {
        std::unique_ptr<std::shared_ptr<OpenJob>> holder(static_cast<std::shared_ptr<OpenJob>*>(param));
        job = std::move(*holder);
    }
    return static_cast<unsigned>(RunJob(*job));
}

}  // namespace

int RunJob(OpenJob& job) {
    int result = kErrGeneric;
    const ULONGLONG asked = GetTickCount64();
    if (!Guarded([&] { result = job.test ? RunTestOpen(job) : RunNormalOpen(job); })) {
        LogError(&job.log, kErrGeneric, L":Open, unexpected exception");
        job.request.Reset();
        job.connect.Reset();
        result = kErrGeneric;
    }
    const ULONGLONG waited = GetTickCount64() - asked;
    job.answer.waitMs = static_cast<uint32_t>(waited < 60000 ? waited : 60000);
    job.result = result;
    return result;
}

HANDLE StartJobThread(const std::shared_ptr<OpenJob>& job) {
    auto* holder = new std::shared_ptr<OpenJob>(job);
    uintptr_t thread = _beginthreadex(nullptr, 0, JobThread, holder, 0, nullptr);
    if (!thread) {
        delete holder;
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(thread);
}

}  // namespace kavri
