// Helpers shared by the network tests (net_tests and the connection/ping
// tests in download_tests): log capture, unique tags for the test server's
// request record, and reading that record back.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/Handles.h"
#include "log/Log.h"
#include "support/TestEnv.h"

namespace kavri_nettest {

struct LogLine {
    int level;
    int code;
    std::wstring line;
};

inline std::mutex& CaptureLock() {
    static std::mutex lock;
    return lock;
}
inline std::vector<LogLine>& CaptureStore() {
    static std::vector<LogLine> lines;
    return lines;
}
inline void CaptureWriter(const CLog*, int level, int code, const wchar_t* line) {
    std::lock_guard<std::mutex> hold(CaptureLock());
    CaptureStore().push_back({level, code, line ? line : L""});
}

// Installs a capturing writer at level -1 (everything) for its lifetime and
// restores the previous level and the default writer afterwards.
class LogCapture {
public:
    LogCapture() : m_level(GetLogLevel()) {
        Clear();
        SetLogWriter(&CaptureWriter);
        SetLogLevel(-1);
    }
    ~LogCapture() {
        SetLogLevel(m_level);
        SetLogWriter(nullptr);
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(CaptureLock());
        CaptureStore().clear();
    }
    std::vector<LogLine> Lines() const {
        std::lock_guard<std::mutex> hold(CaptureLock());
        return CaptureStore();
    }
    // Lines containing the text (any level).
    int Count(const std::wstring& text) const {
        int n = 0;
        for (const auto& l : Lines())
            if (l.line.find(text) != std::wstring::npos) ++n;
        return n;
    }
    bool Has(const std::wstring& text) const { return Count(text) > 0; }
    // The first line containing the text; level -99 when there is none.
    LogLine Find(const std::wstring& text) const {
        for (const auto& l : Lines())
            if (l.line.find(text) != std::wstring::npos) return l;
        return {-99, 0, L""};
    }
    int CountLevel(int level) const {
        int n = 0;
        for (const auto& l : Lines())
            if (l.level == level) ++n;
        return n;
    }
    std::wstring Dump() const {
        std::wstring all;
        for (const auto& l : Lines())
            all += std::to_wstring(l.level) + L" " + std::to_wstring(l.code) + L" " + l.line + L"\n";
        return all;
    }

private:
    int m_level;
};

// A tag no other test (or run) uses.
inline std::wstring UniqueTag(const wchar_t* name) {
    static std::atomic<int> counter{0};
    return std::wstring(name) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
}

// The body of a GET through a direct session of its own; "" on failure.
inline std::string HttpGetText(const std::wstring& url) {
    kavri::ScopedInternetHandle session(
        InternetOpenW(L"kavri-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session) return {};
    kavri::ScopedInternetHandle request(InternetOpenUrlW(
        session.Get(), url.c_str(), nullptr, 0,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0));
    if (!request) return {};
    std::string body;
    char buf[16384];
    DWORD got = 0;
    while (InternetReadFile(request.Get(), buf, sizeof(buf), &got) && got) body.append(buf, got);
    return body;
}

inline std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += static_cast<char>(c);
    return s;
}
inline std::wstring Widen(const std::string& s) {
    std::wstring w;
    for (char c : s) w += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return w;
}

// The test server's record of the requests with a tag (JSON text).
inline std::string RequestsJson(const std::wstring& tag) {
    return HttpGetText(kavri_test::TestServerUrl(L"/_requests?tag=" + tag));
}
// How many times a text occurs in a text.
inline int Occurrences(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) ++n;
    return n;
}
// Number of requests the server saw with the tag.
inline int RequestCount(const std::wstring& tag) {
    return Occurrences(RequestsJson(tag), "\"method\":");
}

// A URL of the test server's /file endpoint with the given query and tag.
inline std::wstring FileUrl(const std::wstring& query, const std::wstring& tag) {
    std::wstring q = query;
    if (!tag.empty()) q += (q.empty() ? L"" : L"&") + std::wstring(L"tag=") + tag;
    return kavri_test::TestServerUrl(L"/file?" + q);
}

// The TLS listeners of the test server (written beside its port file).
struct TlsInfo {
    int trustedPort = 0;
    int untrustedPort = 0;
    std::wstring trustedCertDer;  // Windows path
};
inline std::string JsonField(const std::string& json, const std::string& key) {
    size_t k = json.find("\"" + key + "\"");
    if (k == std::string::npos) return {};
    size_t v = json.find_first_not_of(" \t:", k + key.size() + 2);
    if (v == std::string::npos) return {};
    if (json[v] == '"') return json.substr(v + 1, json.find('"', v + 1) - v - 1);
    return json.substr(v, json.find_first_of(",}", v) - v);
}
inline TlsInfo ReadTlsInfo() {
    TlsInfo info;
    std::string json = HttpGetText(kavri_test::TestServerUrl(L"/_tls"));
    info.trustedPort = std::atoi(JsonField(json, "trusted_port").c_str());
    info.untrustedPort = std::atoi(JsonField(json, "untrusted_port").c_str());
    std::string der = JsonField(json, "trusted_cert_der");
    if (!der.empty()) info.trustedCertDer = kavri_test::ToWinePath(der);
    return info;
}

// Waits (bounded) until pred() holds; true when it did.
template <class Pred>
bool WaitFor(Pred pred, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (pred()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

}  // namespace kavri_nettest
