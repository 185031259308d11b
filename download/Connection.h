// One HTTP(S) GET of one URL through a CSession.
//
// Each request is opened as crack URL -> connect -> open request -> set the
// session's connect/send/receive time-outs on the request's own handle ->
// send (with the extra headers). Time-outs on the request handle are the only
// ones every WinINet honours, so a stalled server ends a call within bounds.
//
// Concurrency: Open runs the attempt on a worker thread with copies of what
// it needs (OpenJob.h) while the caller waits; Close may be called from
// another thread to end a read under way (the handles are AtomicHandles).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/Handles.h"
#include "log/Log.h"

class CSession;

namespace kavri {
struct OpenJob;

// What one request asks for, as a value: where it goes, which bytes, the
// validator for If-Range, and how caches may answer.
struct RequestSpec {
    std::wstring url;          // the URL redirects led to ("": the connection's own)
    uint64_t rangeStart = 0;   // bytes [rangeStart, rangeEnd); none unless rangeEnd > rangeStart
    uint64_t rangeEnd = 0;     // (UINT64_MAX: to the end, asked without a Range)
    std::wstring ifRange;      // "" none
    bool fresh = false;        // forces answers from the origin (Pragma: no-cache)
    bool acceptWhole = false;  // a 200 with the whole body is taken for a ranged request
    bool Ranged() const { return rangeEnd > rangeStart && rangeEnd != UINT64_MAX; }
};
// What the download needs of the last answer a connection received.
struct AnswerInfo {
    DWORD status = 0;
    bool ranged = false;      // 206 with the start asked for
    int64_t total = -1;       // the size a Content-Range gave
    std::wstring etag;
    std::wstring lastModified;
    std::wstring finalUrl;    // after redirects
    uint32_t retryAfterMs = 0;  // what a 429 or 503 asked the client to wait
    uint32_t waitMs = 0;        // from asking to the answer, redirects included
};
}  // namespace kavri

class CConnection : public virtual CLog {
public:
    // Throws kavri::EErrorCode -2 for a null URL, one longer than 259
    // characters, or one that is not http:// or https://.
    CConnection(CSession* session, const wchar_t* url);
    // Copies the session, URL parts, file name and flags; no open handle.
    CConnection(const CConnection& other);
    ~CConnection();
    CConnection& operator=(const CConnection&) = delete;

    // The bytes the next open asks for (a Range only while ranges are
    // accepted), and the validator its If-Range carries.
    void SetRange(uint64_t start, uint64_t end, const std::wstring& ifRange) {
        m_spec.rangeStart = start;
        m_spec.rangeEnd = end;
        m_spec.ifRange = ifRange;
    }

    int Open();         // 0: open with status 200/206; else a result code
    int DoOpen();       // the open attempt itself
    int OpenForTest();  // the connectivity probe's open (failures counted in the session)
    // Opens and reads length, ranges, file name and date; the handle stays open.
    int QueryFileInformation(SYSTEMTIME* lastModified, int64_t* contentLength);
    void Close();

    const wchar_t* GetUrl() const { return m_url; }
    const wchar_t* GetFileName() const { return m_fileName; }
    bool AcceptsRanges() const { return m_acceptsRanges; }
    void SetAcceptsRanges(bool value) { m_acceptsRanges = value; }
    HINTERNET GetUrlHandle() const { return m_urlHandle.Get(); }
    CSession* GetSessionPtr() const { return m_session; }
    void SetOpenInWorkerThread(bool value) { m_openInWorkerThread = value; }
    // True after an open whose request carried a Range header and that was
    // answered with 206 and a Content-Range starting at the offset asked for.
    // (An open whose range was not honoured fails with -403 instead.)
    bool GotRequestedRange() const { return m_gotRange; }
    const kavri::AnswerInfo& Answer() const { return m_answer; }
    // Moves an open request (and what its answer said) from another connection.
    void TakeOpenRequest(CConnection& from);
    // Forces answers from the origin (no Pragma: no-cache otherwise).
    void SetFreshAnswers(bool value) { m_spec.fresh = value; }
    // A 200 with the whole body is accepted for a ranged request.
    void SetAcceptWholeAnswer(bool value) { m_spec.acceptWhole = value; }
    // Requests go to this URL (the one redirects led to) instead.
    void SetRequestUrl(const std::wstring& url) { m_spec.url = url; }
    const std::wstring& GetRequestUrl() const { return m_spec.url; }

protected:
    wchar_t m_url[260];
    wchar_t m_host[256];
    wchar_t m_path[260];
    wchar_t m_fileName[256];
    CSession* m_session;
    bool m_acceptsRanges;
    // The open request and its parent: owned here, changed only by atomic
    // exchange, so Close may run on another thread to end a read under way.
    kavri::AtomicInternetHandle m_urlHandle;
    kavri::AtomicInternetHandle m_connectHandle;
    bool m_openInWorkerThread;
    bool m_secure;             // https: TLS, certificate errors never ignored
    bool m_gotRange;
    kavri::RequestSpec m_spec;
    kavri::AnswerInfo m_answer;

private:
    std::shared_ptr<kavri::OpenJob> MakeJob(bool test);  // a copy of all an open needs
    int FinishJob(kavri::OpenJob& job);                  // takes the worker's result and handles
    int RunOpen(bool test, bool onWorker);
    void AdoptHandles(HINTERNET connect, HINTERNET request);
};

namespace kavri {
// Pure helpers, exposed for tests.

// Checks and splits a URL: scheme http:// or https:// (any case), host up to
// the first '/', path from it. False for anything else.
bool SplitHttpUrl(const wchar_t* url, bool* secure, wchar_t host[256], wchar_t path[260]);

// The name a download is saved under when neither the URL nor the server
// offers a usable one.
constexpr wchar_t kDefaultFileName[] = L"setup.exe";

// The file name the URL's last path component gives, percent escapes undone;
// false unless it is a safe plain name with an extension.
bool FileNameFromUrl(const wchar_t* url, wchar_t* out, size_t outChars);

// The file name a Content-Disposition value offers, reduced to a plain file
// name; false when it offers none or the name is not safe to use.
bool FileNameFromContentDisposition(const wchar_t* value, wchar_t* out, size_t outChars);

// A character that does not show in a name: controls (C0 and C1), line and
// paragraph separators, bidirectional and other format characters,
// surrogates. A name that holds one is not safe: it would not read as what
// it is, in the log or on screen.
bool IsInvisibleNameChar(wchar_t c);
// True for the extensions the shell starts as an installer: .exe and .msi.
bool HasProgramExtension(const wchar_t* name);
// The largest settings file (a web configuration) a download accepts.
constexpr uint64_t kMaxSettingsBytes = 64 * 1024;

// True when a name is a plain, safe Windows file name with nothing invisible.
bool IsSafeFileName(const wchar_t* name);
// A character no Windows file name may hold: controls, DEL, separators and <>:"|?*.
bool IsForbiddenNameChar(wchar_t c);

// Start offset of a Content-Range value "bytes N-M/T"; false when malformed.
bool ParseContentRangeStart(const wchar_t* value, uint64_t* start);

// WinINet errors of the connection group (-500 rather than -400).
bool IsConnectionGroupError(DWORD error);

// Per-request time-outs, taken from a session when an open starts.
struct RequestTimeouts {
    DWORD connectMs;
    DWORD sendMs;
    DWORD receiveMs;
};

// One GET: crack the URL, connect (port from the URL), open the request
// (INTERNET_FLAG_SECURE added for https), set the time-outs on the request's
// own handle, send with the extra headers (length as HttpSendRequestW takes
// it). True with both handles owned by the caller; false with the handles
// null and GetLastError() telling why. Certificate errors are never ignored.
bool SendGetRequest(HINTERNET session, const wchar_t* url, const wchar_t* headers,
                    DWORD headersLength, DWORD flags, const RequestTimeouts& timeouts,
                    HINTERNET* connect, HINTERNET* request);
}  // namespace kavri
