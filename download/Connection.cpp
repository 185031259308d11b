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

#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "net/Session.h"

namespace {

// A connection reset is retried at once; a server that resets every request
// must not keep a segment's thread busy forever, so the retries are bounded.
constexpr int kMaxResetAttempts = 10;
// After a timed-out open closed its session: how long to wait for the worker
// at most before leaving it to end by itself.
constexpr DWORD kMaxWorkerGraceMs = 10000;

constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                             INTERNET_FLAG_PRAGMA_NOCACHE;  // 0x84000100
constexpr DWORD kTestOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT |
                                 INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                 INTERNET_FLAG_PRAGMA_NOCACHE;  // 0xA4400100

struct OpenJob {
    explicit OpenJob(const CLog& source) : log(source) {}

    CLog log;  // a copy: the worker may outlive the connection
    std::wstring url;
    std::wstring headers;
    bool test = false;
    bool ranged = false;
    uint64_t rangeStart = 0;
    HINTERNET session = nullptr;
    kavri::RequestTimeouts timeouts{};
    // Test opens count their failures here; cleared under the process-wide
    // lock once the caller no longer waits (the session may then go away).
    CSession* failureCounter = nullptr;

    kavri::ScopedInternetHandle connect;
    kavri::ScopedInternetHandle request;
    int result = kavri::kErrGeneric;
};

// Reads the status code of an answer; false (logged) when it cannot be read.
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

// Checks the status (and, for a ranged request, the range) of an answer.
int CheckResponse(OpenJob& job, DWORD status) {
    bool ok = status == 200 || status == 206;
    if (ok && job.ranged) {
        // Only 206 with our own start offset is the range asked for; a 200
        // would be the file from byte 0, written at the segment's offset.
        ok = false;
        if (status == 206) {
            wchar_t range[128] = L"";
            DWORD bytes = sizeof(range) - sizeof(wchar_t);
            uint64_t start = 0;
            if (HttpQueryInfoW(job.request.Get(), HTTP_QUERY_CONTENT_RANGE, range, &bytes, nullptr) &&
                kavri::ParseContentRangeStart(range, &start) && start == job.rangeStart)
                ok = true;
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

// The open attempt: repeated at once on a connection reset (a loop, so the
// stack does not grow), bounded by kMaxResetAttempts. A reset shows as
// ERROR_INTERNET_CONNECTION_RESET; some WinINet builds (Wine's) report the
// same event as ERROR_INTERNET_CONNECTION_ABORTED long before any receive
// time-out could have run out, or as an "answer" without a status line
// (status 0). Those are retried the same way; an abort that took the
// receive time-out is a time-out and is not.
int RunNormalOpen(OpenJob& job) {
    for (int attempt = 1;; ++attempt) {
        const bool mayRetry = attempt < kMaxResetAttempts;
        if (!BeginAttempt(job)) return kavri::kErrNoConnection;
        HINTERNET connect = nullptr;
        HINTERNET request = nullptr;
        const ULONGLONG began = GetTickCount64();
        const bool sent = kavri::SendGetRequest(
            job.session, job.url.c_str(), job.headers.empty() ? nullptr : job.headers.c_str(),
            static_cast<DWORD>(job.headers.size()), kOpenFlags, job.timeouts, &connect, &request);
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
        DWORD status = 0;
        int code = kavri::kErrQueryInfo;
        if (QueryStatus(job, &status)) {
            if (status == 0 && mayRetry) continue;  // the connection ended before any answer
            code = CheckResponse(job, status);
        }
        if (code != kavri::kOk) {
            job.request.Reset();
            job.connect.Reset();
        }
        return code;
    }
}

// The connectivity probe's attempt: no status check, failures counted.
int RunTestOpen(OpenJob& job) {
    if (!BeginAttempt(job)) return kavri::kErrNoConnection;
    HINTERNET connect = nullptr;
    HINTERNET request = nullptr;
    // The headers are a terminated string whose length WinINet measures.
    if (kavri::SendGetRequest(job.session, job.url.c_str(),
                              job.headers.empty() ? nullptr : job.headers.c_str(),
                              job.headers.empty() ? 0 : static_cast<DWORD>(-1), kTestOpenFlags,
                              job.timeouts, &connect, &request)) {
        job.connect.Reset(connect);
        job.request.Reset(request);
        return kavri::kOk;
    }
    const DWORD error = GetLastError();
    const int code = kavri::IsConnectionGroupError(error) ? kavri::kErrNoConnection : kavri::kErrOpenUrl;
    LogError(&job.log, code, L"InternetOpenUrl, failed, WIN_INET_ERROR: %d", static_cast<int>(error));
    EnterCriticalSection(GetProcessLock());
    if (job.failureCounter) job.failureCounter->AddFailure();
    LeaveCriticalSection(GetProcessLock());
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

bool IsForbiddenNameChar(wchar_t c) {
    return c < 32 || c == 127 || wcschr(L"<>:\"/\\|?*", c) != nullptr;
}

}  // namespace

namespace kavri {

bool SplitHttpUrl(const wchar_t* url, bool* secure, wchar_t host[256], wchar_t path[260]) {
    if (!url) return false;
    const size_t len = wcslen(url);
    if (len > 259) return false;
    size_t schemeLen;
    if (_wcsnicmp(url, L"http://", 7) == 0)
        schemeLen = 7;
    else if (_wcsnicmp(url, L"https://", 8) == 0)
        schemeLen = 8;
    else
        return false;
    const wchar_t* hostStart = url + schemeLen;
    const wchar_t* slash = wcschr(hostStart, L'/');
    const size_t hostLen = slash ? static_cast<size_t>(slash - hostStart) : wcslen(hostStart);
    if (hostLen == 0 || hostLen > 255) return false;
    if (secure) *secure = schemeLen == 8;
    if (host) {
        wmemcpy(host, hostStart, hostLen);
        host[hostLen] = L'\0';
    }
    if (path) {
        if (slash)
            wcscpy(path, slash);
        else
            path[0] = L'\0';
    }
    return true;
}

bool IsSafeFileName(const wchar_t* name) {
    if (!name || !name[0]) return false;
    const size_t len = wcslen(name);
    if (len > 255) return false;
    // ".." anywhere: "..x.exe" joined to a folder would name the folder above.
    if (wcscmp(name, L".") == 0 || wcsstr(name, L"..") != nullptr) return false;
    for (size_t i = 0; i < len; ++i)
        if (IsForbiddenNameChar(name[i])) return false;
    // Windows drops trailing dots and blanks, so "a.exe." would not be the name shown.
    if (name[len - 1] == L'.' || name[len - 1] == L' ') return false;
    // Device names are reserved with any extension: "CON", "con.txt", "COM1.exe".
    size_t baseLen = 0;
    while (baseLen < len && name[baseLen] != L'.') ++baseLen;
    while (baseLen > 0 && name[baseLen - 1] == L' ') --baseLen;
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (baseLen == wcslen(device) && _wcsnicmp(name, device, baseLen) == 0) return false;
    if (baseLen == 4 && (_wcsnicmp(name, L"COM", 3) == 0 || _wcsnicmp(name, L"LPT", 3) == 0) &&
        ((name[3] >= L'0' && name[3] <= L'9') || name[3] == 0xB9 || name[3] == 0xB2 || name[3] == 0xB3))
        return false;
    return true;
}

bool FileNameFromUrl(const wchar_t* url, wchar_t* out, size_t outChars) {
    if (!out || outChars == 0) return false;
    out[0] = L'\0';
    if (!url) return false;
    // The last component of the path, without a query or fragment.
    std::wstring path(url, wcscspn(url, L"?#"));
    const size_t slash = path.rfind(L'/');
    const std::wstring raw = slash == std::wstring::npos ? path : path.substr(slash + 1);
    // Percent escapes are undone (as UTF-8), so that an encoded separator or
    // control character is judged as what it would become.
    std::string bytes;
    for (size_t i = 0; i < raw.size(); ++i) {
        const wchar_t c = raw[i];
        if (c == L'%' && i + 2 < raw.size() && iswxdigit(raw[i + 1]) && iswxdigit(raw[i + 2])) {
            bytes += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
            continue;
        }
        char utf8[8];
        const int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, sizeof(utf8), nullptr, nullptr);
        if (n <= 0) return false;
        bytes.append(utf8, static_cast<size_t>(n));
    }
    const int wideLen = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                            static_cast<int>(bytes.size()), nullptr, 0);
    if (bytes.empty() || wideLen <= 0) return false;
    std::wstring name(static_cast<size_t>(wideLen), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &name[0], wideLen);
    // A plain name with an extension: no separators, streams, devices,
    // control characters, "..", trailing dots or blanks.
    const wchar_t* ext = PathFindExtensionW(name.c_str());
    if (!IsSafeFileName(name.c_str()) || !ext[0] || !ext[1] || name.size() >= outChars) return false;
    wcscpy(out, name.c_str());
    return true;
}

bool FileNameFromContentDisposition(const wchar_t* value, wchar_t* out, size_t outChars) {
    if (!value || !out || outChars == 0) return false;
    const wchar_t* marker = wcsstr(value, L"filename=");
    if (!marker) return false;
    std::wstring name(marker + 9);
    // Anything from a ';' on is another parameter.
    const size_t semicolon = name.find(L';');
    if (semicolon != std::wstring::npos) name.erase(semicolon);
    // Blanks around the value, then the quotes.
    while (!name.empty() && (name.back() == L' ' || name.back() == L'\t')) name.pop_back();
    size_t first = 0;
    while (first < name.size() && (name[first] == L' ' || name[first] == L'\t')) ++first;
    name.erase(0, first);
    while (!name.empty() && name.front() == L'"') name.erase(0, 1);
    while (!name.empty() && name.back() == L'"') name.pop_back();
    // Only the last path component: a name never chooses a directory.
    const size_t sep = name.find_last_of(L"\\/");
    if (sep != std::wstring::npos) name.erase(0, sep + 1);
    if (!IsSafeFileName(name.c_str()) || name.size() >= outChars) return false;
    wcscpy(out, name.c_str());
    return true;
}

bool ParseRangeStart(const wchar_t* headers, uint64_t* start) {
    if (!headers) return false;
    for (const wchar_t* line = headers; *line;) {
        while (*line == L'\r' || *line == L'\n') ++line;
        if (_wcsnicmp(line, L"Range:", 6) == 0) {
            const wchar_t* p = line + 6;
            while (*p == L' ' || *p == L'\t') ++p;
            if (_wcsnicmp(p, L"bytes=", 6) != 0) return false;
            p += 6;
            while (*p == L' ') ++p;
            if (!iswdigit(*p)) return false;
            if (start) *start = _wcstoui64(p, nullptr, 10);
            return true;
        }
        const wchar_t* next = wcschr(line, L'\n');
        if (!next) break;
        line = next;
    }
    return false;
}

bool ParseContentRangeStart(const wchar_t* value, uint64_t* start) {
    if (!value) return false;
    while (*value == L' ') ++value;
    if (_wcsnicmp(value, L"bytes", 5) != 0) return false;
    const wchar_t* p = value + 5;
    if (*p != L' ' && *p != L'=') return false;
    while (*p == L' ' || *p == L'=') ++p;
    if (!iswdigit(*p)) return false;
    wchar_t* end = nullptr;
    const uint64_t value64 = _wcstoui64(p, &end, 10);
    if (!end || *end != L'-') return false;
    if (start) *start = value64;
    return true;
}

bool IsConnectionGroupError(DWORD error) {
    return error == ERROR_INVALID_HANDLE || error == ERROR_INTERNET_TIMEOUT ||
           error == ERROR_INTERNET_OPERATION_CANCELLED || error == ERROR_INTERNET_INCORRECT_HANDLE_STATE ||
           error == ERROR_INTERNET_CANNOT_CONNECT;
}

bool SendGetRequest(HINTERNET session, const wchar_t* url, const wchar_t* headers, DWORD headersLength,
                    DWORD flags, const RequestTimeouts& timeouts, HINTERNET* connectOut,
                    HINTERNET* requestOut) {
    *connectOut = nullptr;
    *requestOut = nullptr;
    if (!session || !url) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH] = L"";
    wchar_t path[INTERNET_MAX_URL_LENGTH] = L"";
    wchar_t extra[INTERNET_MAX_URL_LENGTH] = L"";
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = INTERNET_MAX_URL_LENGTH;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = INTERNET_MAX_URL_LENGTH;
    if (!InternetCrackUrlW(url, 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return false;
    }
    if (!host[0]) {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return false;
    }
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    // Nothing of a request stays on the machine: no cache entry, no cookie.
    flags |= INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;

    // The object as sent: path and query, blanks escaped as a browser does.
    std::wstring object;
    for (const wchar_t* p = path; *p; ++p) object += (*p == L' ') ? std::wstring(L"%20") : std::wstring(1, *p);
    for (const wchar_t* p = extra; *p && *p != L'#'; ++p)
        object += (*p == L' ') ? std::wstring(L"%20") : std::wstring(1, *p);
    if (object.empty()) object = L"/";

    ScopedInternetHandle connect(
        InternetConnectW(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connect) return false;
    static const wchar_t* kAcceptTypes[] = {L"*/*", nullptr};
    ScopedInternetHandle request(
        HttpOpenRequestW(connect.Get(), L"GET", object.c_str(), nullptr, nullptr, kAcceptTypes, flags, 0));
    if (!request) return false;
    // Time-outs on the request's own handle: the only place every WinINet
    // (Wine's included) honours them, so a silent server ends the call.
    for (HINTERNET h : {connect.Get(), request.Get()}) {
        DWORD value = timeouts.connectMs;
        InternetSetOptionW(h, INTERNET_OPTION_CONNECT_TIMEOUT, &value, sizeof(value));
        value = timeouts.sendMs;
        InternetSetOptionW(h, INTERNET_OPTION_SEND_TIMEOUT, &value, sizeof(value));
        value = timeouts.receiveMs;
        InternetSetOptionW(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, sizeof(value));
    }
    if (!HttpSendRequestW(request.Get(), headers, headers ? headersLength : 0, nullptr, 0)) return false;
    *connectOut = connect.Release();
    *requestOut = request.Release();
    return true;
}

}  // namespace kavri

CConnection::CConnection(CSession* session, const wchar_t* url)
    : m_session(session),
      m_acceptsRanges(false),
      m_urlHandle(nullptr),
      m_openInWorkerThread(true),
      m_secure(false),
      m_gotRange(false),
      m_connectHandle(nullptr) {
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
      m_urlHandle(nullptr),
      m_openInWorkerThread(other.m_openInWorkerThread),
      m_secure(other.m_secure),
      m_gotRange(false),
      m_connectHandle(nullptr) {
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
    HINTERNET request = static_cast<HINTERNET>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_urlHandle), nullptr));
    if (request) InternetCloseHandle(request);
    HINTERNET connect = static_cast<HINTERNET>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_connectHandle), nullptr));
    if (connect) InternetCloseHandle(connect);
}

void CConnection::AdoptHandles(HINTERNET connect, HINTERNET request) {
    Close();
    m_connectHandle = connect;
    m_urlHandle = request;
}

int CConnection::RunOpen(bool test, bool onWorker) {
    auto job = std::make_shared<OpenJob>(static_cast<const CLog&>(*this));
    job->test = test;
    job->url = m_url;
    job->session = m_session ? m_session->GetHandle() : nullptr;
    if (m_session) {
        job->timeouts.connectMs = m_session->GetConnectionTimeout();
        const int send = m_session->GetSendTimeout();
        job->timeouts.sendMs = send > 0 ? static_cast<DWORD>(send) : m_session->GetConnectionTimeout();
        job->timeouts.receiveMs = m_session->GetReceiveTimeout();
    }
    wchar_t headers[150] = L"";
    const int count = GetRequestHeaders(headers, 150);
    if (count > 0 && count < 150) {
        job->headers.assign(headers, static_cast<size_t>(count));
        job->ranged = kavri::ParseRangeStart(job->headers.c_str(), &job->rangeStart);
    }
    if (test) job->failureCounter = m_session;

    if (!onWorker) {
        const int result = RunJob(*job);
        if (result == kavri::kOk) {
            AdoptHandles(job->connect.Release(), job->request.Release());
            m_gotRange = job->ranged;
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
        if (result == kavri::kOk && job->request) {
            AdoptHandles(job->connect.Release(), job->request.Release());
            m_gotRange = job->ranged;
        }
        return result;
    }

    if (test) {
        // Give up at once; from now on the worker counts into nothing.
        EnterCriticalSection(GetProcessLock());
        job->failureCounter = nullptr;
        LeaveCriticalSection(GetProcessLock());
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
    if (HttpQueryInfoW(m_urlHandle, HTTP_QUERY_CONTENT_LENGTH, text, &bytes, nullptr)) {
        text[bytes / sizeof(wchar_t) < 16 ? bytes / sizeof(wchar_t) : 15] = L'\0';
        if (contentLength) *contentLength = _wcstoi64(text, nullptr, 10);
    } else if (IsLogEnabled(LOG_LEVEL_WARNING)) {
        LogWarning(this, kavri::kErrQueryInfo,
                   L":QueryFileInformation, failed to get content length for request, WIN_INET_ERROR: %d",
                   static_cast<int>(GetLastError()));
    }

    if (QueryHeaderText(m_urlHandle, HTTP_QUERY_ACCEPT_RANGES, text)) {
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

    if (QueryHeaderText(m_urlHandle, HTTP_QUERY_CONTENT_DISPOSITION, text)) {
        // The server's name is untrusted: only a plain, safe file name is taken.
        wchar_t name[256];
        if (kavri::FileNameFromContentDisposition(text, name, 256)) wcscpy(m_fileName, name);
    }

    SYSTEMTIME scratch;
    bytes = sizeof(SYSTEMTIME);
    if (!HttpQueryInfoW(m_urlHandle, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME,
                        lastModified ? lastModified : &scratch, &bytes, nullptr)) {
        LogWarning(this, kavri::kErrQueryInfo,
                   L":QueryFileInformation, query failed for Last Modified parameter, WIN_INET_ERROR: %d",
                   static_cast<int>(GetLastError()));
    }
    return kavri::kOk;
}
