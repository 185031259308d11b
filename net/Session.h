// One WinINet session handle with its time-out and retry settings, and the
// discovery of the HTTP proxy from the default web browser's own files.
//
// Concurrency: GetSession and Close may be called from the download thread,
// the segment workers and a thread waiting in CConnection::Open; the handle
// is an AtomicHandle (swapped atomically, closed by whoever takes it out).
// The failure count is an atomic. ProcessLock guards the link from a test
// open's worker to the session it counts into (see Connection.cpp); it is
// taken last: nothing else is locked while it is held.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>

#include "common/CriticalSection.h"
#include "common/Handles.h"
#include "log/Log.h"

class CSession : public virtual CLog {
public:
    // Runs the option steps on WinINet's process-wide defaults (null handle).
    explicit CSession(DWORD openFlags = 0);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // The session handle, opened first when needed (reopen: close and open
    // again). Null when no way of opening worked. Owned by the session.
    HINTERNET GetSession(bool reopen);
    void Close();
    HINTERNET GetHandle() const { return m_handle.Get(); }

    DWORD GetConnectionTimeout() const { return m_connectionTimeout; }
    DWORD GetReceiveTimeout() const { return m_receiveTimeout; }
    int GetSendTimeout() const { return m_sendTimeout; }
    int GetMaxRetries() const { return m_maxRetries; }

    // Tests shorten the time-outs of one session; nothing process-wide changes.
    void SetTimeoutsForTest(DWORD connectionMs, DWORD receiveMs);

    // Process-wide limits (handle null) when count > 2; otherwise nothing.
    static void SetMaxConnectionsPerServer(DWORD count, HINTERNET handle);

    // Failed test opens through this session (connectivity test).
    void AddFailure();
    DWORD GetFailureCount() const;

    // Browser proxy discovery.
    void GetDefaultWebBrowser(wchar_t* out, DWORD size);
    bool GetFirefoxProxySettings(wchar_t* out, DWORD size);
    bool GetOperaProxySettings(wchar_t* out, DWORD size);

protected:
    void SetConnectionTimeout(int value);
    void SetReceiveTimeout(int value);
    void SetSendTimeout(int value);
    void SetMaxRetires(int value);

    std::atomic<DWORD> m_failureCount;
    DWORD m_connectionTimeout;
    DWORD m_receiveTimeout;
    int m_sendTimeout;
    int m_maxRetries;
    kavri::AtomicInternetHandle m_handle;
    DWORD m_openFlags;
};

// The process-wide lock of the test opens' link to their session; never
// destroyed (workers may outlive main).
kavri::CriticalSection& ProcessLock();

namespace kavri {
// Pure parsing behind the proxy discovery, exposed for tests.

// "\"C:\\Program Files\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"" -> "firefox"
void BrowserNameFromCommand(const wchar_t* command, wchar_t* out, DWORD size);

// Firefox prefs.js lines -> proxy text. Feed lines in order; Finish() gives
// the result: true with host[:port] or "" (no proxy), false for other types
// (the system's settings, a PAC file, auto-detection).
class FirefoxPrefsParser {
public:
    // Returns false once three matching lines were seen (stop reading).
    bool AddLine(const char* line);
    bool Finish(wchar_t* out, DWORD size) const;

private:
    char m_host[256] = "";
    char m_port[50] = "";
    // Firefox writes only what differs from its defaults: without a type
    // line it uses the system's settings (type 5), which the caller then takes.
    char m_type[10] = "5";
    int m_count = 0;
};
}  // namespace kavri
