// The WinINet session: process-wide option defaults, opening the handle in
// the way the default browser suggests (its proxy, direct, or the system's
// pre-configured settings), and closing it.
//
// Concurrency: GetSession and Close may race (a thread waiting in
// CConnection::Open closes the session while others use it). The handle is
// an atomic: every handle is published with one exchange or compare-exchange,
// and whoever takes a handle out of the field closes it, exactly once.
#include "net/Session.h"

#include <cwchar>

namespace {

const wchar_t kUserAgent[] = L"Kavri Sky HTTP Agent";

bool SetOptionDword(HINTERNET handle, DWORD option, DWORD value) {
    return InternetSetOptionW(handle, option, &value, sizeof(value)) != FALSE;
}

// Opens a session handle; null (with the last error kept) on failure.
HINTERNET OpenHandle(DWORD accessType, const wchar_t* proxy, DWORD flags) {
    return InternetOpenW(kUserAgent, accessType, proxy, nullptr, flags);
}

}  // namespace

kavri::CriticalSection& ProcessLock() {
    // A function-local static is initialised exactly once, also when two
    // threads ask at the same moment; it lives until the process ends.
    static kavri::CriticalSection* lock = new kavri::CriticalSection();  // never destroyed
    return *lock;
}

CSession::CSession(DWORD openFlags)
    : m_failureCount(0),
      m_connectionTimeout(30000),
      m_receiveTimeout(10000),
      m_sendTimeout(-1),
      m_maxRetries(-1),
      m_openFlags(openFlags) {
    // The most-derived class names the log source; a plain session has none yet.
    if (!GetLogName()[0]) SetLogName(L"CSession");
    LogInfo(this, L"Setting default options");
    SetConnectionTimeout(static_cast<int>(m_connectionTimeout));
    SetReceiveTimeout(static_cast<int>(m_receiveTimeout));
    SetSendTimeout(m_sendTimeout);
    SetMaxRetires(m_maxRetries);
}

CSession::~CSession() { Close(); }

void CSession::SetConnectionTimeout(int value) {
    if (value == -1) {
        DWORD current = 0;
        DWORD size = sizeof(current);
        if (InternetQueryOptionW(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &current, &size))
            m_connectionTimeout = current;
    } else {
        m_connectionTimeout = static_cast<DWORD>(value);
        static const struct {
            DWORD option;
            const wchar_t* name;
        } kOptions[] = {
            {INTERNET_OPTION_CONNECT_TIMEOUT, L"INTERNET_OPTION_CONNECT_TIMEOUT"},
            {INTERNET_OPTION_RECEIVE_TIMEOUT, L"INTERNET_OPTION_RECEIVE_TIMEOUT"},
            {INTERNET_OPTION_SEND_TIMEOUT, L"INTERNET_OPTION_SEND_TIMEOUT"},
            {INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT, L"INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT"},
            {INTERNET_OPTION_CONTROL_SEND_TIMEOUT, L"INTERNET_OPTION_CONTROL_SEND_TIMEOUT"},
            {INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, L"INTERNET_OPTION_DATA_RECEIVE_TIMEOUT"},
            {INTERNET_OPTION_DATA_SEND_TIMEOUT, L"INTERNET_OPTION_DATA_SEND_TIMEOUT"},
        };
        for (const auto& o : kOptions) {
            if (!SetOptionDword(nullptr, o.option, m_connectionTimeout))
                LogError(this, -2, L":SetConnectionTimeout, failed setting %ls option", o.name);
        }
    }
    LogInfo(this, L":SetConnectionTimeout(%u)", m_connectionTimeout);
}

void CSession::SetReceiveTimeout(int value) {
    if (value == -1) {
        DWORD current = 0;
        DWORD size = sizeof(current);
        if (InternetQueryOptionW(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &current, &size))
            m_receiveTimeout = current;
    } else {
        m_receiveTimeout = static_cast<DWORD>(value);
        static const struct {
            DWORD option;
            const wchar_t* name;
        } kOptions[] = {
            {INTERNET_OPTION_RECEIVE_TIMEOUT, L"INTERNET_OPTION_RECEIVE_TIMEOUT"},
            {INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT, L"INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT"},
            {INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, L"INTERNET_OPTION_DATA_RECEIVE_TIMEOUT"},
        };
        for (const auto& o : kOptions) {
            if (!SetOptionDword(nullptr, o.option, m_receiveTimeout))
                LogError(this, -2, L":SetReceiveTimeout, failed setting %ls option", o.name);
        }
    }
    LogInfo(this, L":SetReceiveTimeout(%u)", m_receiveTimeout);
}

void CSession::SetSendTimeout(int value) {
    if (value == -1) {
        DWORD current = 0;
        DWORD size = sizeof(current);
        if (InternetQueryOptionW(nullptr, INTERNET_OPTION_SEND_TIMEOUT, &current, &size))
            m_sendTimeout = static_cast<int>(current);
        else
            m_sendTimeout = 30000;
    } else {
        m_sendTimeout = value;
        SetOptionDword(nullptr, INTERNET_OPTION_SEND_TIMEOUT, static_cast<DWORD>(value));
    }
    LogInfo(this, L":SetSendTimeout(%u), succeed", static_cast<unsigned>(m_sendTimeout));
}

void CSession::SetMaxRetires(int value) {
    if (value == -1) {
        DWORD current = 0;
        DWORD size = sizeof(current);
        if (InternetQueryOptionW(nullptr, INTERNET_OPTION_CONNECT_RETRIES, &current, &size))
            m_maxRetries = static_cast<int>(current);
        else
            m_maxRetries = 5;
    } else {
        m_maxRetries = value;
        SetOptionDword(nullptr, INTERNET_OPTION_CONNECT_RETRIES, static_cast<DWORD>(value));
    }
    LogInfo(this, L":SetMaxRetires(%u), succeed", static_cast<unsigned>(m_maxRetries));
}

void CSession::SetTimeoutsForTest(DWORD connectionMs, DWORD receiveMs) {
    m_connectionTimeout = connectionMs;
    m_receiveTimeout = receiveMs;
    m_sendTimeout = static_cast<int>(connectionMs);
}

void CSession::SetMaxConnectionsPerServer(DWORD count, HINTERNET handle) {
    if (count <= 2) return;
    CLog log(L"CSession");
    if (!SetOptionDword(handle, INTERNET_OPTION_MAX_CONNS_PER_SERVER, count))
        LogError(&log, -2,
                 L":SetMaxConnectionsPerServer, failed to set INTERNET_OPTION_MAX_CONNS_PER_SERVER, %ls",
                 GetErrorText(0));
    if (!SetOptionDword(handle, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, count))
        LogError(&log, -2,
                 L":SetMaxConnectionsPerServer, failed to set INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, %ls",
                 GetErrorText(0));
}

void CSession::AddFailure() { ++m_failureCount; }

DWORD CSession::GetFailureCount() const { return m_failureCount.load(); }

void CSession::Close() {
    LogInfo(this, L":Close()");
    m_handle.Reset();
}

HINTERNET CSession::GetSession(bool reopen) {
    if (!reopen) {
        HINTERNET current = m_handle.Get();
        if (current) return current;
    } else {
        Close();
    }

    wchar_t browser[256] = L"";
    GetDefaultWebBrowser(browser, 256);
    LogInfo(this, L":GetSession, The web browser: %ls, detected as system default", browser);

    HINTERNET opened = nullptr;
    const bool firefox = _wcsicmp(browser, L"FIREFOX") == 0;
    const bool opera = _wcsicmp(browser, L"OPERA") == 0;
    if (firefox || opera) {
        wchar_t proxy[256] = L"";
        bool found;
        if (firefox) {
            LogInfo(this, L":GetSession, Quering FireFox configuration settings...");
            found = GetFirefoxProxySettings(proxy, 256);
            if (found)
                LogInfo(this,
                        L":GetSession, Completed. The following: '%ls' proxy server has been detected.",
                        proxy);
        } else {
            LogInfo(this, L":GetSession, Quering Opera configuration settings...");
            found = GetOperaProxySettings(proxy, 256);
            if (found)
                LogInfo(this, L":GetSession, Completed. The following: '%ls' proxy server detected.",
                        proxy);
        }
        if (found && proxy[0]) {
            LogInfo(this, L":GetSession, Creating session with proxy connection.");
            opened = OpenHandle(INTERNET_OPEN_TYPE_PROXY, proxy, m_openFlags);
        }
        if (found && !opened) {
            LogInfo(this, L":GetSession, Creating session with dirrect connection.");
            opened = OpenHandle(INTERNET_OPEN_TYPE_DIRECT, nullptr, m_openFlags);
        }
    }
    if (!opened) {
        LogInfo(this, L":GetSession, Creating default session with preconfig from registery.");
        opened = OpenHandle(INTERNET_OPEN_TYPE_PRECONFIG, nullptr, m_openFlags);
    }
    if (!opened) return nullptr;
    LogInfo(this, L":GetSession, Completed.");

    if (!reopen) {
        // Another thread may have opened the session meanwhile: keep its
        // handle, so callers of the same session share one handle.
        if (!m_handle.ResetIfEmpty(opened)) {
            InternetCloseHandle(opened);
            return m_handle.Get();
        }
        return opened;
    }
    m_handle.Reset(opened);
    return opened;
}
