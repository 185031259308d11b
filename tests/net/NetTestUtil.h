// Helpers shared by the network tests (net_tests and the connection/ping
// tests in download_tests): reading the test server's request record back,
// its TLS listeners, and bounded waiting.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/Handles.h"
#include "log/Log.h"
#include "net/Session.h"
#include "support/LogCapture.h"
#include "support/TestEnv.h"

namespace kavri_nettest {

// Shared with the other test folders; named here too, as the network tests
// (and those in download_tests) know them.
using kavri_test::HttpGetText;
using kavri_test::LogCapture;
using kavri_test::LogLine;
using kavri_test::UniqueTag;

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
    return kavri_test::JsonValue(json, key);
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

// A fixture with an open session on the test server, with short time-outs.
class ServerSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(kavri_test::TestServerPort(), 0) << "test server not running";
        session = std::make_unique<CSession>(0);
        session->SetTimeoutsForTest(5000, 5000);
        ASSERT_NE(session->GetSession(false), nullptr);
    }
    std::unique_ptr<CSession> session;
};

}  // namespace kavri_nettest
