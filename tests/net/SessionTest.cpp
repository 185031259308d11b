// CSession: option steps, opening by browser choice (proxy, direct,
// pre-configured), reuse and reopening, connection limits.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "download/Connection.h"
#include "net/BrowserFixtures.h"
#include "net/NetTestUtil.h"
#include "net/Session.h"
#include "support/TestEnv.h"

using kavri_nettest::LogCapture;
using kavri_nettest::Narrow;
using kavri_nettest::ScopedClassesRoot;
using kavri_nettest::ScopedUserProfile;
using kavri_nettest::UniqueTag;

namespace {

const wchar_t kFirefox[] = L"\"C:\\Program Files\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"";
const wchar_t kOpera[] = L"\"C:\\Program Files\\Opera\\opera.exe\" \"%1\"";

DWORD QueryGlobal(DWORD option) {
    DWORD value = 0, size = sizeof(value);
    return InternetQueryOptionW(nullptr, option, &value, &size) ? value : 0xFFFFFFFFu;
}

}  // namespace

TEST(SessionOptions, ConstructorSetsProcessWideDefaultsAndLogsEachStep) {
    LogCapture log;
    CSession session(0);
    EXPECT_EQ(session.GetConnectionTimeout(), 30000u);
    EXPECT_EQ(session.GetReceiveTimeout(), 10000u);
    EXPECT_EQ(session.GetHandle(), nullptr);
    EXPECT_EQ(QueryGlobal(INTERNET_OPTION_CONNECT_TIMEOUT), 30000u);
    const auto lines = log.Lines();
    const wchar_t* expected[] = {L"CSession:Setting default options", L"CSession::SetConnectionTimeout(30000)",
                                 L"CSession::SetReceiveTimeout(10000)"};
    ASSERT_GE(lines.size(), 5u) << Narrow(log.Dump());
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i].line, expected[i]);
    // The send step reads WinINet's value back (30000, or its fallback).
    const std::wstring send = L"CSession::SetSendTimeout(" + std::to_wstring(session.GetSendTimeout()) + L"), succeed";
    EXPECT_EQ(lines[3].line, send);
    EXPECT_GT(session.GetSendTimeout(), 0);
    const std::wstring retries = L"CSession::SetMaxRetires(" + std::to_wstring(session.GetMaxRetries()) + L"), succeed";
    EXPECT_EQ(lines[4].line, retries);
    EXPECT_EQ(log.CountLevel(LOG_LEVEL_ERROR), 0) << Narrow(log.Dump());
}

TEST(SessionOptions, MaxConnectionsPerServerOnlyAboveTwo) {
    const DWORD before = QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_SERVER);
    const DWORD before10 = QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER);
    CSession::SetMaxConnectionsPerServer(7, nullptr);
    EXPECT_EQ(QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_SERVER), 7u);
    EXPECT_EQ(QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER), 7u);
    CSession::SetMaxConnectionsPerServer(2, nullptr);
    CSession::SetMaxConnectionsPerServer(0, nullptr);
    EXPECT_EQ(QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_SERVER), 7u);
    CSession::SetMaxConnectionsPerServer(3, nullptr);
    EXPECT_EQ(QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_SERVER), 3u);
    EXPECT_EQ(QueryGlobal(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER), 3u);
    // Put back what the process had.
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, const_cast<DWORD*>(&before), sizeof(DWORD));
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, const_cast<DWORD*>(&before10),
                       sizeof(DWORD));
}

TEST(SessionOptions, FailureCountUnderTheProcessLock) {
    CSession session(0);
    EXPECT_EQ(session.GetFailureCount(), 0u);
    session.AddFailure();
    session.AddFailure();
    EXPECT_EQ(session.GetFailureCount(), 2u);
    EXPECT_EQ(GetProcessLock(), GetProcessLock());
}

class SessionOpen : public ::testing::Test {
protected:
    // Makes command the default browser's (null: none), builds a session
    // (with short time-outs where a request goes out) and opens it, capturing
    // the log from the opening on.
    void Open(const wchar_t* command, bool shortTimeouts = false) {
        log.reset();
        session.reset();
        classes.reset(new ScopedClassesRoot(command));
        ASSERT_TRUE(classes->Ok());
        session.reset(new CSession(0));
        if (shortTimeouts) session->SetTimeoutsForTest(5000, 5000);
        log.reset(new LogCapture);
        ASSERT_NE(session->GetSession(false), nullptr);
    }

    ScopedUserProfile profile;
    std::unique_ptr<ScopedClassesRoot> classes;
    std::unique_ptr<CSession> session;
    std::unique_ptr<LogCapture> log;
};

TEST_F(SessionOpen, ReuseWithoutLogAndReopenWithDetection) {
    ASSERT_NO_FATAL_FAILURE(Open(L"\"C:\\x\\iexplore.exe\""));
    HINTERNET first = session->GetHandle();
    ASSERT_NE(first, nullptr);
    log->Clear();
    EXPECT_EQ(session->GetSession(false), first);
    EXPECT_TRUE(log->Lines().empty()) << Narrow(log->Dump());
    HINTERNET second = session->GetSession(true);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(session->GetHandle(), second);
    EXPECT_TRUE(log->Has(L"CSession::Close()"));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, The web browser: iexplore, detected as system default"));
    log->Clear();
    session->Close();
    EXPECT_EQ(session->GetHandle(), nullptr);
    session->Close();  // logs also when nothing is open
    EXPECT_EQ(log->Count(L"CSession::Close()"), 2);
}

TEST_F(SessionOpen, OtherBrowserGivesPreconfiguredWithoutReadingFiles) {
    for (const wchar_t* command : {L"\"C:\\x\\iexplore.exe\" %1", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(command ? "iexplore" : "no browser");
        ASSERT_NO_FATAL_FAILURE(Open(command));
        EXPECT_TRUE(log->Has(L"CSession::GetSession, Creating default session with preconfig from registery."));
        EXPECT_FALSE(log->Has(L"Quering"));
        EXPECT_TRUE(log->Has(L"CSession::GetSession, Completed."));
    }
}

TEST_F(SessionOpen, FirefoxWithoutProxyOpensDirect) {
    ASSERT_TRUE(profile.WriteRelativeFirefoxProfile("user_pref(\"network.proxy.type\", 0);\n"));
    ASSERT_NO_FATAL_FAILURE(Open(kFirefox));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, The web browser: firefox, detected as system default"));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Quering FireFox configuration settings..."));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Completed. The following: '' proxy server has been detected."));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Creating session with dirrect connection."));
    EXPECT_FALSE(log->Has(L"preconfig"));
}

TEST_F(SessionOpen, FirefoxDiscoveryFailureFallsBackToPreconfigured) {
    ASSERT_TRUE(profile.WriteRelativeFirefoxProfile("user_pref(\"network.proxy.type\", 4);\n"));
    ASSERT_NO_FATAL_FAILURE(Open(kFirefox));
    EXPECT_FALSE(log->Has(L"proxy server has been detected"));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Creating default session with preconfig from registery."));
}

TEST_F(SessionOpen, FirefoxProxyCarriesTheRequests) {
    // The test server doubles as the proxy; the URL names nginx, so an
    // answer recorded by the test server can only have come through it.
    const int proxyPort = kavri_test::TestServerPort();
    ASSERT_GT(proxyPort, 0);
    ASSERT_TRUE(profile.WriteRelativeFirefoxProfile(
        "user_pref(\"network.proxy.type\", 1);\n"
        "user_pref(\"network.proxy.http\", \"127.0.0.1\");\n"
        "user_pref(\"network.proxy.http_port\", " + std::to_string(proxyPort) + ");\n"));
    ASSERT_NO_FATAL_FAILURE(Open(kFirefox, true));
    const std::wstring proxy = L"127.0.0.1:" + std::to_wstring(proxyPort);
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Completed. The following: '" + proxy +
                        L"' proxy server has been detected."));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Creating session with proxy connection."));

    const std::wstring tag = UniqueTag(L"proxy");
    CConnection c(session.get(), kavri_test::NginxUrl(L"/small.bin?size=77&tag=" + tag).c_str());
    ASSERT_EQ(c.Open(), 0) << Narrow(log->Dump());
    const std::string json = kavri_nettest::RequestsJson(tag);
    EXPECT_NE(json.find("\"proxied\": true"), std::string::npos) << json;
    EXPECT_NE(json.find("\"target\": \"http://127.0.0.1:" + std::to_string(kavri_test::NginxPort())),
              std::string::npos)
        << json;
}

TEST_F(SessionOpen, OperaProxyIsUsed) {
    ASSERT_TRUE(profile.WriteOperaIni("[PROXY]\r\nUse HTTP=1\r\nHTTP Server=127.0.0.1:" +
                                      std::to_string(kavri_test::TestServerPort()) + "\r\n"));
    ASSERT_NO_FATAL_FAILURE(Open(kOpera, true));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Quering Opera configuration settings..."));
    EXPECT_TRUE(log->Has(L"proxy server detected."));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Creating session with proxy connection."));
    const std::wstring tag = UniqueTag(L"opera");
    CConnection c(session.get(), kavri_test::NginxUrl(L"/small.bin?size=5&tag=" + tag).c_str());
    ASSERT_EQ(c.Open(), 0);
    EXPECT_NE(kavri_nettest::RequestsJson(tag).find("\"proxied\": true"), std::string::npos);
}

TEST_F(SessionOpen, OperaWithoutProxyFallsBackToPreconfigured) {
    ASSERT_TRUE(profile.WriteOperaIni("[PROXY]\r\nUse HTTP=0\r\n"));
    ASSERT_NO_FATAL_FAILURE(Open(kOpera));
    EXPECT_TRUE(log->Has(L"CSession::GetSession, Creating default session with preconfig from registery."));
}
