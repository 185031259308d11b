// One HTTP(S) GET of one URL through a CSession.
//
// An open is one "job": a small block that holds copies of everything the
// attempt needs (URL, headers, the session handle, the time-outs, the log
// source's name) and owns the handles it obtains. Open and OpenForTest run
// the job on a worker thread that shares ownership of the block. When the
// caller gives up on a worker (WinINet under Wine does not let a blocked call
// return when its handles are closed), the worker goes on with the block
// alone and never touches the connection or the session again, so both may
// be destroyed meanwhile. The only link back, the failure count of a test
// open, is cut under the process-wide lock before the caller returns.
#include "download/Connection.h"

#include <process.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "net/Session.h"

namespace {

// A connection reset is retried at once; a server that resets every request
// must not keep a segment's thread busy forever, so the retries are bounded.
constexpr int kMaxResetAttempts = 10;
// Redirects are followed here, at most this many; a loop is a failure.
constexpr size_t kMaxRedirects = 10;
// After a timed-out open closed its session: how long to wait for the worker
// at most before leaving it to end by itself.
constexpr DWORD kMaxWorkerGraceMs = 10000;

// A fresh answer forced (web configuration): no cache may answer. Otherwise
// shared caches may; the validators keep the bytes consistent. WinINet's own
// cache is never written (SendGetRequest adds that for every request).
constexpr DWORD kFreshFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kCacheableFlags = INTERNET_FLAG_RELOAD;
constexpr DWORD kTestExtraFlags = INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_KEEP_CONNECTION;

struct OpenJob {
    explicit OpenJob(const CLog& source) : log(source) {}

    CLog log;  // a copy: the worker may outlive the connection
    std::wstring url;
    std::wstring headers;
    DWORD flags = 0;
    bool test = false;
    bool ranged = false;
    bool acceptWhole = false;  // a 200 to a ranged request is taken (first answer)
    uint64_t rangeStart = 0;
    HINTERNET session = nullptr;
    kavri::RequestTimeouts timeouts{};
    // Set when the caller no longer waits: the worker sends nothing more.
    std::atomic<bool> abandoned{false};
    // Test opens count their failures here; cleared under the process-wide
    // lock once the caller no longer waits (the session may then go away).
    CSession* failureCounter = nullptr;

    kavri::ScopedInternetHandle connect;
    kavri::ScopedInternetHandle request;
    int result = kavri::kErrGeneric;
    kavri::AnswerInfo answer;
};

std::wstring QueryText(HINTERNET request, DWORD info) {
    wchar_t text[INTERNET_MAX_URL_LENGTH];
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    if (!HttpQueryInfoW(request, info, text, &bytes, nullptr)) return std::wstring();
    return std::wstring(text, bytes / sizeof(wchar_t));
}

// Reads a status code; false (logged) when it cannot be read.
bool QueryStatus(OpenJob& job, DWORD* status) {
    DWORD length = sizeof(*status);
    *status = 0;
    if (!HttpQueryInfoW(job.request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &length,
                        nullptr)) {
        LogError(&job.log, kavri::kErrQueryInfo, L"query failed for a status code, WIN_INET_ERROR: %d",
                 static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

// Checks the status, the encoding and (for a ranged request) the range of
// an answer, and keeps what the download needs of its headers.
int CheckResponse(OpenJob& job, DWORD status) {
    kavri::AnswerInfo& a = job.answer;
    a.status = status;
    a.etag = QueryText(job.request.Get(), HTTP_QUERY_ETAG);
    a.lastModified = QueryText(job.request.Get(), HTTP_QUERY_LAST_MODIFIED);
    const std::wstring encoding = QueryText(job.request.Get(), HTTP_QUERY_CONTENT_ENCODING);
    if (!encoding.empty() && _wcsicmp(encoding.c_str(), L"identity") != 0) {
        // Only the bytes asked for are saved: never an encoded stream.
        LogError(&job.log, kavri::kErrHttpStatus, L"Invalid server responce, Content-Encoding \"%ls\" not asked for",
                 encoding.c_str());
        return kavri::kErrHttpStatus;
    }
    bool ok = status == 200 || status == 206;
    if (ok && job.ranged) {
        // Only 206 with our own start offset is the range asked for; a 200
        // would be the file from byte 0 (the first answer may take it whole).
        ok = status == 200 && job.acceptWhole;
        uint64_t start = 0;
        const std::wstring range = QueryText(job.request.Get(), HTTP_QUERY_CONTENT_RANGE);
        if (status == 206 && kavri::ParseContentRangeStart(range.c_str(), &start) && start == job.rangeStart) {
            ok = true;
            a.ranged = true;
            const size_t slash = range.find(L'/');
            if (slash != std::wstring::npos && iswdigit(range[slash + 1]))
                a.total = _wcstoi64(range.c_str() + slash + 1, nullptr, 10);
        }
    }
    if (!ok) {
        LogError(&job.log, kavri::kErrHttpStatus, L"Invalid server responce, HTTP status code: %d",
                 static_cast<int>(status));
        return kavri::kErrHttpStatus;
    }
    return kavri::kOk;
}

// The start of every open attempt: close the previous request, log, and
// check that there is a session to open it through.
bool BeginAttempt(OpenJob& job) {
    job.request.Reset();
    job.connect.Reset();
    LogInfo(&job.log, L":Open, Connecting to server");
    return job.session != nullptr;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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

// The open attempt: repeated at once on a connection reset (a loop, so the
// stack does not grow), bounded by kMaxResetAttempts. A reset shows as
// ERROR_INTERNET_CONNECTION_RESET; some WinINet builds (Wine's) report the
// same event as ERROR_INTERNET_CONNECTION_ABORTED long before any receive
// time-out could have run out, or as an "answer" without a status line
// (status 0). Those are retried the same way; an abort that took the
// receive time-out is a time-out and is not. Redirects are followed here,
// not inside WinINet, so that their number is bounded and a loop ends.
int RunNormalOpen(OpenJob& job) {
    std::wstring url = job.url;
    std::vector<std::wstring> seen;
    for (int attempt = 1;; ++attempt) {
        const bool mayRetry = attempt < kMaxResetAttempts;
        if (job.abandoned) return kavri::kErrGeneric;
        if (!BeginAttempt(job)) return kavri::kErrNoConnection;
        HINTERNET connect = nullptr;
        HINTERNET request = nullptr;
        const ULONGLONG began = GetTickCount64();
        const bool sent = kavri::SendGetRequest(
            job.session, url.c_str(), job.headers.empty() ? nullptr : job.headers.c_str(),
            static_cast<DWORD>(job.headers.size()), job.flags | INTERNET_FLAG_NO_AUTO_REDIRECT, job.timeouts,
            &connect, &request);
        if (!sent) {
            const DWORD error = GetLastError();
            const ULONGLONG took = GetTickCount64() - began;
            const bool reset = error == ERROR_INTERNET_CONNECTION_RESET ||
                               (error == ERROR_INTERNET_CONNECTION_ABORTED && took < job.timeouts.receiveMs / 2);
            if (reset && mayRetry) continue;
            // A reset that keeps recurring is a connection failure too, and
            // so is an abort that took the receive time-out: that is how this
            // WinINet reports a request time-out (elsewhere: ERROR_INTERNET_TIMEOUT).
            const int code = (kavri::IsConnectionGroupError(error) || error == ERROR_INTERNET_CONNECTION_RESET ||
                              error == ERROR_INTERNET_CONNECTION_ABORTED)
                                 ? kavri::kErrNoConnection
                                 : kavri::kErrOpenUrl;
            LogError(&job.log, code, L"InternetOpenUrl, failed, WIN_INET_ERROR:%d", static_cast<int>(error));
            return code;
        }
        job.connect.Reset(connect);
        job.request.Reset(request);
        if (job.abandoned) return kavri::kErrGeneric;  // the handles close with the job
        DWORD status = 0;
        int code = kavri::kErrQueryInfo;
        if (QueryStatus(job, &status)) {
            if (status == 0 && mayRetry) continue;  // the connection ended before any answer
            if (IsRedirect(status)) {
                seen.push_back(url);
                url = RedirectTarget(job, url);
                bool secure = false;
                wchar_t host[256], path[260];
                if (url.empty() || !kavri::SplitHttpUrl(url.c_str(), &secure, host, path) ||
                    std::find(seen.begin(), seen.end(), url) != seen.end() || seen.size() > kMaxRedirects) {
                    LogError(&job.log, kavri::kErrNoConnection, L":Open, redirect loop or too many redirects (%d)",
                             static_cast<int>(seen.size()));
                    job.request.Reset();
                    job.connect.Reset();
                    return kavri::kErrNoConnection;
                }
                attempt = 0;
                continue;
            }
            job.answer.finalUrl = url;
            code = CheckResponse(job, status);
        }
        if (code != kavri::kOk) {
            job.request.Reset();
            job.connect.Reset();
        }
        return code;
    }
}

// The connectivity probe's attempt: failures counted, and so are answers
// that say the server limits its connections (429, 503).
int RunTestOpen(OpenJob& job) {
    if (!BeginAttempt(job)) return kavri::kErrNoConnection;
    HINTERNET connect = nullptr;
    HINTERNET request = nullptr;
    int code = kavri::kOk;
    DWORD error = 0;
    // The headers are a terminated string whose length WinINet measures.
    if (kavri::SendGetRequest(job.session, job.url.c_str(), job.headers.empty() ? nullptr : job.headers.c_str(),
                              job.headers.empty() ? 0 : static_cast<DWORD>(-1), job.flags | kTestExtraFlags,
                              job.timeouts, &connect, &request)) {
        job.connect.Reset(connect);
        job.request.Reset(request);
        DWORD status = 0, length = sizeof(status);
        if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ||
            (status != 429 && status != 503))
            return kavri::kOk;
        LogError(&job.log, kavri::kErrHttpStatus, L"Invalid server responce, HTTP status code: %d",
                 static_cast<int>(status));
    } else {
        error = GetLastError();
        code = kavri::IsConnectionGroupError(error) ? kavri::kErrNoConnection : kavri::kErrOpenUrl;
        LogError(&job.log, code, L"InternetOpenUrl, failed, WIN_INET_ERROR: %d", static_cast<int>(error));
    }
    {
        std::lock_guard<kavri::CriticalSection> hold(ProcessLock());
        if (job.failureCounter) job.failureCounter->AddFailure();
    }
    return kavri::kOk;
}

int RunJob(OpenJob& job) {
    int result = kavri::kErrGeneric;
    if (!kavri::Guarded([&] { result = job.test ? RunTestOpen(job) : RunNormalOpen(job); })) {
        LogError(&job.log, kavri::kErrGeneric, L":Open, unexpected exception");
        job.request.Reset();
        job.connect.Reset();
        result = kavri::kErrGeneric;
    }
    job.result = result;
    return result;
}

unsigned __stdcall JobThread(void* param) {
    std::shared_ptr<OpenJob> job;
    {
        std::unique_ptr<std::shared_ptr<OpenJob>> holder(static_cast<std::shared_ptr<OpenJob>*>(param));
        job = std::move(*holder);
    }
    return static_cast<unsigned>(RunJob(*job));
}

// Starts a worker on the job; null when the thread could not be started.
HANDLE StartJobThread(const std::shared_ptr<OpenJob>& job) {
    auto* holder = new std::shared_ptr<OpenJob>(job);
    uintptr_t thread = _beginthreadex(nullptr, 0, JobThread, holder, 0, nullptr);
    if (!thread) {
        delete holder;
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(thread);
}

}  // namespace

CConnection::CConnection(CSession* session, const wchar_t* url)
    : m_session(session),
      m_acceptsRanges(false),
      m_openInWorkerThread(true),
      m_secure(false),
      m_gotRange(false),
      m_fresh(false),
      m_acceptWhole(false) {
    if (!GetLogName()[0]) SetLogName(L"CConnection");
    m_url[0] = m_host[0] = m_path[0] = m_fileName[0] = L'\0';
    if (!kavri::SplitHttpUrl(url, &m_secure, m_host, m_path)) throw kavri::kErrBadArgument;
    wcscpy(m_url, url);
    // The URL's last component names the file when it is a plain name with
    // an extension; anything else is saved under the neutral name.
    if (!kavri::FileNameFromUrl(m_url, m_fileName, 256)) wcscpy(m_fileName, kavri::kDefaultFileName);
}

CConnection::CConnection(const CConnection& other)
    : CLog(other),
      m_session(other.m_session),
      m_acceptsRanges(other.m_acceptsRanges),
      m_openInWorkerThread(other.m_openInWorkerThread),
      m_secure(other.m_secure),
      m_gotRange(false),
      m_fresh(other.m_fresh),
      m_acceptWhole(false),
      m_requestUrl(other.m_requestUrl) {
    wcscpy(m_fileName, other.m_fileName);
    wcscpy(m_path, other.m_path);
    wcscpy(m_host, other.m_host);
    wcscpy(m_url, other.m_url);
}

CConnection::~CConnection() { Close(); }

int CConnection::GetRequestHeaders(wchar_t* buffer, DWORD capacity) { return 0; }

void CConnection::Close() {
    // May run on another thread than a read under way: each handle is taken
    // out of its field exactly once, so it is closed exactly once.
    m_urlHandle.Reset();
    m_connectHandle.Reset();
}

void CConnection::AdoptHandles(HINTERNET connect, HINTERNET request) {
    Close();
    m_connectHandle.Reset(connect);
    m_urlHandle.Reset(request);
}

void CConnection::TakeOpenRequest(CConnection& from) {
    Close();
    m_connectHandle.Reset(from.m_connectHandle.Release());
    m_urlHandle.Reset(from.m_urlHandle.Release());
    m_answer = from.m_answer;
    m_gotRange = from.m_gotRange;
}

int CConnection::RunOpen(bool test, bool onWorker) {
    auto job = std::make_shared<OpenJob>(static_cast<const CLog&>(*this));
    job->test = test;
    job->url = m_requestUrl.empty() ? std::wstring(m_url) : m_requestUrl;
    job->flags = m_fresh ? kFreshFlags : kCacheableFlags;
    job->acceptWhole = m_acceptWhole;
    job->session = m_session ? m_session->GetHandle() : nullptr;
    if (m_session) {
        job->timeouts.connectMs = m_session->GetConnectionTimeout();
        const int send = m_session->GetSendTimeout();
        job->timeouts.sendMs = send > 0 ? static_cast<DWORD>(send) : m_session->GetConnectionTimeout();
        job->timeouts.receiveMs = m_session->GetReceiveTimeout();
    }
    wchar_t headers[kHeaderChars] = L"";
    const int count = GetRequestHeaders(headers, kHeaderChars);
    if (count > 0 && count < static_cast<int>(kHeaderChars)) {
        job->headers.assign(headers, static_cast<size_t>(count));
        job->ranged = kavri::ParseRangeStart(job->headers.c_str(), &job->rangeStart);
        if (job->headers.back() != L'\n') job->headers += L"\r\n";
    }
    // Only the bytes themselves: no compressed stream to save by mistake.
    job->headers += L"Accept-Encoding: identity\r\n";
    if (test) job->failureCounter = m_session;

    if (!onWorker) {
        const int result = RunJob(*job);
        m_answer = job->answer;
        if (result == kavri::kOk) {
            AdoptHandles(job->connect.Release(), job->request.Release());
            m_gotRange = job->answer.ranged;
        }
        return result;
    }

    kavri::ScopedKernelHandle thread(StartJobThread(job));
    if (!thread) {
        if (!test) LogError(this, kavri::kErrGeneric, L":Open, can not create connnection thread");
        return kavri::kErrGeneric;
    }
    const DWORD timeout = m_session ? m_session->GetConnectionTimeout() : 0;
    if (WaitForSingleObject(thread.Get(), timeout) == WAIT_OBJECT_0) {
        if (!test) LogInfo(this, L":Open, complete");
        // The block is ours again: the worker has ended.
        const int result = job->result;
        m_answer = job->answer;
        if (result == kavri::kOk && job->request) {
            AdoptHandles(job->connect.Release(), job->request.Release());
            m_gotRange = job->answer.ranged;
        }
        return result;
    }
    // The worker sends nothing more and closes what it holds when its call
    // returns.
    job->abandoned = true;

    if (test) {
        // Give up at once; from now on the worker counts into nothing.
        std::lock_guard<kavri::CriticalSection> hold(ProcessLock());
        job->failureCounter = nullptr;
        return kavri::kErrNoConnection;
    }

    LogError(this, kavri::kErrGeneric, L":Open, failed by timout");
    m_session->Close();
    const DWORD grace = timeout < kMaxWorkerGraceMs ? timeout : kMaxWorkerGraceMs;
    if (WaitForSingleObject(thread.Get(), grace) == WAIT_OBJECT_0) {
        LogError(this, kavri::kErrGeneric, L":Open, worker thread has exited");
    } else {
        // Closing the session did not end the blocked call. The worker owns
        // its job block and ends by itself when its request times out.
        LogError(this, kavri::kErrGeneric,
                 L":Open, worker thread is still blocked after %u ms; left to end by itself",
                 static_cast<unsigned>(grace));
    }
    return kavri::kErrGeneric;
}

int CConnection::Open() {
    if (!m_session || !m_session->GetHandle()) return kavri::kErrNoConnection;
    Close();
    m_gotRange = false;
    return RunOpen(false, m_openInWorkerThread);
}

int CConnection::DoOpen() {
    Close();
    m_gotRange = false;
    return RunOpen(false, false);
}

int CConnection::OpenForTest() {
    if (!m_session || !m_session->GetHandle()) return kavri::kErrNoConnection;
    Close();
    m_gotRange = false;
    return RunOpen(true, true);
}

namespace {

// Reads a text header into a 36-character buffer (72 bytes), terminated; a
// value that does not fit fails like a missing one.
bool QueryHeaderText(HINTERNET request, DWORD info, wchar_t (&text)[36]) {
    DWORD bytes = sizeof(text);
    text[0] = L'\0';
    if (!HttpQueryInfoW(request, info, text, &bytes, nullptr)) return false;
    text[35] = L'\0';
    return true;
}

}  // namespace

int CConnection::QueryFileInformation(SYSTEMTIME* lastModified, int64_t* contentLength) {
    const int opened = Open();
    if (opened != kavri::kOk) return opened;

    wchar_t text[36];
    DWORD bytes = 32;
    if (HttpQueryInfoW(m_urlHandle.Get(), HTTP_QUERY_CONTENT_LENGTH, text, &bytes, nullptr)) {
        text[bytes / sizeof(wchar_t) < 16 ? bytes / sizeof(wchar_t) : 15] = L'\0';
        if (contentLength) *contentLength = _wcstoi64(text, nullptr, 10);
    } else if (IsLogEnabled(LOG_LEVEL_WARNING)) {
        LogWarning(this, kavri::kErrQueryInfo,
                   L":QueryFileInformation, failed to get content length for request, WIN_INET_ERROR: %d",
                   static_cast<int>(GetLastError()));
    }

    if (QueryHeaderText(m_urlHandle.Get(), HTTP_QUERY_ACCEPT_RANGES, text)) {
        m_acceptsRanges = _wcsicmp(text, L"bytes") == 0;
        if (!m_acceptsRanges)
            LogWarning(this, -1,
                       L":QueryFileInformation, the target server resource \"%ls\" doesn't support ranges",
                       text);
    } else {
        LogWarning(this, kavri::kErrQueryInfo,
                   L":QueryFileInformation, query failed for Accept Ranges parameter, WIN_INET_ERROR: %d",
                   static_cast<int>(GetLastError()));
    }

    if (QueryHeaderText(m_urlHandle.Get(), HTTP_QUERY_CONTENT_DISPOSITION, text)) {
        // The server's name is untrusted: only a plain, safe file name is taken.
        wchar_t name[256];
        if (kavri::FileNameFromContentDisposition(text, name, 256)) wcscpy(m_fileName, name);
    }

    SYSTEMTIME scratch;
    bytes = sizeof(SYSTEMTIME);
    if (!HttpQueryInfoW(m_urlHandle.Get(), HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME,
                        lastModified ? lastModified : &scratch, &bytes, nullptr)) {
        LogWarning(this, kavri::kErrQueryInfo,
                   L":QueryFileInformation, query failed for Last Modified parameter, WIN_INET_ERROR: %d",
                   static_cast<int>(GetLastError()));
    }
    return kavri::kOk;
}
