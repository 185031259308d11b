// One HTTP(S) GET of one URL through a CSession.
//
// An open is one job (OpenJob.h) that holds copies of everything it needs
// and owns the handles it obtains; Open and OpenForTest run it on a worker
// thread and wait for it within the session's connection time-out. A worker
// given up on goes on alone and never touches this connection or the
// session again. The handles of an open request move into this connection,
// whose Close may run on another thread (cancel by close).
#include "download/Connection.h"

#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <mutex>
#include <string>

#include "common/ErrorCode.h"
#include "download/Deadline.h"
#include "download/OpenJob.h"
#include "download/OpenPolicy.h"
#include "net/Session.h"

namespace {

// After a timed-out open closed its session: how long to wait for the worker
// at most before leaving it to end by itself.
constexpr DWORD kMaxWorkerGraceMs = 10000;

// A fresh answer forced (web configuration): no cache may answer. Otherwise
// shared caches may; the validators keep the bytes consistent. WinINet's own
// cache is never written (SendGetRequest adds that for every request).
constexpr DWORD kFreshFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kCacheableFlags = INTERNET_FLAG_RELOAD;

}  // namespace

CConnection::CConnection(CSession* session, const wchar_t* url)
    : m_session(session),
      m_acceptsRanges(false),
      m_openInWorkerThread(true),
      m_secure(false),
      m_gotRange(false) {
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
      m_spec(other.m_spec) {
    m_spec.acceptWhole = false;  // only the first answer may be whole
    wcscpy(m_fileName, other.m_fileName);
    wcscpy(m_path, other.m_path);
    wcscpy(m_host, other.m_host);
    wcscpy(m_url, other.m_url);
}

CConnection::~CConnection() { Close(); }

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

std::shared_ptr<kavri::OpenJob> CConnection::MakeJob(bool test) {
    auto job = std::make_shared<kavri::OpenJob>(static_cast<const CLog&>(*this));
    job->test = test;
    job->url = m_spec.url.empty() ? std::wstring(m_url) : m_spec.url;
    job->flags = m_spec.fresh ? kFreshFlags : kCacheableFlags;
    job->acceptWhole = m_spec.acceptWhole;
    job->session = m_session ? m_session->GetHandle() : nullptr;
    if (m_session) {
        job->timeouts.connectMs = m_session->GetConnectionTimeout();
        const int send = m_session->GetSendTimeout();
        job->timeouts.sendMs = send > 0 ? static_cast<DWORD>(send) : m_session->GetConnectionTimeout();
        job->timeouts.receiveMs = m_session->GetReceiveTimeout();
    }
    // Without byte ranges the whole file is asked for; otherwise exactly the
    // piece, so that no request has a body beyond what is wanted.
    job->ranged = m_acceptsRanges && m_spec.Ranged();
    job->rangeStart = m_spec.rangeStart;
    job->headers = kavri::RequestHeaders(m_spec, job->ranged);
    if (test) job->failureCounter = m_session;
    return job;
}

int CConnection::FinishJob(kavri::OpenJob& job) {
    m_answer = job.answer;
    if (job.result == kavri::kOk && job.request) {
        AdoptHandles(job.connect.Release(), job.request.Release());
        m_gotRange = job.answer.ranged;
    }
    return job.result;
}

int CConnection::RunOpen(bool test, bool onWorker) {
    const std::shared_ptr<kavri::OpenJob> job = MakeJob(test);
    if (!onWorker) {
        kavri::RunJob(*job);
        return FinishJob(*job);
    }
    kavri::ScopedKernelHandle thread(kavri::StartJobThread(job));
    if (!thread) {
        if (!test) LogError(this, kavri::kErrGeneric, L":Open, can not create connnection thread");
        return kavri::kErrGeneric;
    }
    const DWORD timeout = m_session ? m_session->GetConnectionTimeout() : 0;
    if (WaitForSingleObject(thread.Get(), timeout) == WAIT_OBJECT_0) {
        if (!test) LogInfo(this, L":Open, complete");
        return FinishJob(*job);  // the block is ours again: the worker has ended
    }
    // The worker sends nothing more and closes what it holds when its call returns.
    job->abandoned = true;
    if (test) {
        // Give up at once; from now on the worker counts into nothing.
        std::lock_guard<kavri::CriticalSection> hold(ProcessLock());
        job->failureCounter = nullptr;
        return kavri::kErrNoConnection;
    }
    LogError(this, kavri::kErrGeneric, L":Open, failed by timout");
    m_session->Close();
    const kavri::Deadline grace(timeout < kMaxWorkerGraceMs ? timeout : kMaxWorkerGraceMs);
    if (WaitForSingleObject(thread.Get(), grace.Left()) == WAIT_OBJECT_0)
        LogError(this, kavri::kErrGeneric, L":Open, worker thread has exited");
    else  // closing the session did not end the blocked call: the worker ends by itself
        LogError(this, kavri::kErrGeneric, L":Open, worker thread is still blocked; left to end by itself");
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

    // The server's name is untrusted: only a plain, safe file name is taken.
    const std::wstring disposition = kavri::QueryText(m_urlHandle.Get(), HTTP_QUERY_CONTENT_DISPOSITION);
    wchar_t name[256];
    if (!disposition.empty() && kavri::FileNameFromContentDisposition(disposition.c_str(), name, 256))
        wcscpy(m_fileName, name);

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
