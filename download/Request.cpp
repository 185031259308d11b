// The process-wide request that carries the tracking pings.
//
// Ping opens its URL the same way a connection does (its own request handle
// with the session's time-outs set on it), because a time-out set only on
// the session is not honoured everywhere and a silent tracking server must
// not hold up the thread that records an event.
#include "download/Request.h"

#include "common/ErrorCode.h"
#include "common/Handles.h"
#include "download/Connection.h"

namespace {

// Created during static initialisation and kept to process exit: pings may
// be sent from any thread until the very end.
CRequest* const g_request = new CRequest();

}  // namespace

CRequest::CRequest() : CLog(L"CRequest"), CSession(0) {}

CRequest* GetGlobalRequest() { return g_request; }

bool Ping(const wchar_t* url) {
    CRequest* request = GetGlobalRequest();
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = 1;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!url || !InternetCrackUrlW(url, 0, 0, &parts)) {
        LogError(request, kavri::kErrBadArgument, L":Ping, failed to parse url, WIN_INET_ERROR:%d",
                 static_cast<int>(GetLastError()));
        return false;
    }
    HINTERNET session = request->GetSession(false);
    if (session) {
        if (parts.nScheme == INTERNET_SCHEME_HTTP || parts.nScheme == INTERNET_SCHEME_HTTPS) {
            const int send = request->GetSendTimeout();
            const kavri::RequestTimeouts timeouts = {
                request->GetConnectionTimeout(),
                send > 0 ? static_cast<DWORD>(send) : request->GetConnectionTimeout(),
                request->GetReceiveTimeout()};
            HINTERNET connect = nullptr;
            HINTERNET opened = nullptr;
            // Every ping must reach the tracking server: no cache answers it.
            if (kavri::SendGetRequest(session, url, nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE,
                                      timeouts, &connect, &opened)) {
                // Only the sending is judged: the answer is not read.
                InternetCloseHandle(opened);
                InternetCloseHandle(connect);
                return true;
            }
        } else {
            HINTERNET opened = InternetOpenUrlW(session, url, nullptr, 0, 0, 0);
            if (opened) {
                InternetCloseHandle(opened);
                return true;
            }
        }
    }
    LogError(request, kavri::kErrPingConnection, L":Ping, failed to create new connection, WIN_INET_ERROR:%d",
             static_cast<int>(GetLastError()));
    return false;
}
