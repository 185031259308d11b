// CConnection::QueryFileInformation against the test server and nginx, and
// https against the test server's TLS listeners.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "net/NetTestUtil.h"
#include "net/Session.h"
#include "support/TestEnv.h"

using kavri_nettest::FileUrl;
using kavri_nettest::LogCapture;
using kavri_nettest::Narrow;
using kavri_nettest::UniqueTag;

namespace {

class ConnectionInfo : public kavri_nettest::ServerSessionTest {
protected:
    // Runs QueryFileInformation on the test server's /file with a query.
    struct Result {
        int code;
        int64_t length;
        SYSTEMTIME modified;
        bool ranges;
        std::wstring fileName;
    };
    Result Query(const std::wstring& query, LogCapture* log = nullptr) {
        CConnection c(session.get(), FileUrl(query, UniqueTag(L"qfi")).c_str());
        Result r{};
        r.length = -7;  // "left as it was" is visible
        r.code = c.QueryFileInformation(&r.modified, &r.length);
        r.ranges = c.AcceptsRanges();
        r.fileName = c.GetFileName();
        if (r.code == 0) {
            EXPECT_NE(c.GetUrlHandle(), nullptr);  // left open for the body
        }
        return r;
    }
};

}  // namespace

TEST_F(ConnectionInfo, LengthRangesAndDate) {
    LogCapture log;
    const Result r = Query(L"size=123456&lastmod=1");
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.length, 123456);
    EXPECT_TRUE(r.ranges);
    EXPECT_EQ(r.fileName, L"file");
    EXPECT_EQ(r.modified.wYear, 2015);
    EXPECT_EQ(r.modified.wMonth, 10);
    EXPECT_EQ(r.modified.wDay, 21);
    EXPECT_EQ(r.modified.wHour, 7);
    EXPECT_EQ(r.modified.wMinute, 28);
    EXPECT_EQ(log.CountLevel(LOG_LEVEL_WARNING), 0) << Narrow(log.Dump());
}

TEST_F(ConnectionInfo, MissingHeadersLeaveTheOutputsAndWarn) {
    LogCapture log;
    const Result r = Query(L"size=5000&nolength=1&ranges=0");
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.length, -7);
    EXPECT_FALSE(r.ranges);
    const auto length = log.Find(L"CConnection::QueryFileInformation, failed to get content length for request, WIN_INET_ERROR: ");
    EXPECT_EQ(length.level, LOG_LEVEL_WARNING) << Narrow(log.Dump());
    EXPECT_EQ(length.code, kavri::kErrQueryInfo);
    const auto ranges = log.Find(L"CConnection::QueryFileInformation, query failed for Accept Ranges parameter, WIN_INET_ERROR: ");
    EXPECT_EQ(ranges.level, LOG_LEVEL_WARNING);
    EXPECT_EQ(ranges.code, kavri::kErrQueryInfo);
    const auto date = log.Find(L"CConnection::QueryFileInformation, query failed for Last Modified parameter, WIN_INET_ERROR: ");
    EXPECT_EQ(date.level, LOG_LEVEL_WARNING);
    EXPECT_EQ(date.code, kavri::kErrQueryInfo);
}

TEST_F(ConnectionInfo, AcceptRangesValues) {
    struct Case {
        const wchar_t* value;
        bool ranges;
    } cases[] = {{L"bytes", true}, {L"BYTES", true}, {L"Bytes", true}, {L"none", false}, {L"bytes2", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.value));
        LogCapture log;
        const Result r = Query(std::wstring(L"size=10&acceptranges=") + c.value);
        ASSERT_EQ(r.code, 0);
        EXPECT_EQ(r.ranges, c.ranges);
        const std::wstring warning =
            std::wstring(L"CConnection::QueryFileInformation, the target server resource \"") + c.value +
            L"\" doesn't support ranges";
        EXPECT_EQ(log.Has(warning), !c.ranges) << Narrow(log.Dump());
        if (!c.ranges) {
            EXPECT_EQ(log.Find(warning).code, -1);
        }
    }
}

TEST_F(ConnectionInfo, ServerFileNameOnlyWhenPlainAndShort) {
    struct Case {
        const wchar_t* disposition;  // URL-encoded
        const wchar_t* name;
    } cases[] = {
        {L"attachment%3B%20filename%3D%22setup.exe%22", L"setup.exe"},
        {L"filename%3Dsetup.exe", L"setup.exe"},
        {L"attachment", L"file"},
        {L"filename%3D%22..%5C..%5Cevil.exe%22", L"evil.exe"},
        {L"attachment%3B%20filename%3D%2Fetc%2Fx", L"x"},
        {L"attachment%3B%20filename%3DCON", L"file"},
        {L"attachment%3B%20filename%3D%22a%3Ab%22", L"file"},
        {L"attachment%3B%20filename%3D%22a.exe%22%3B%20x%3D1", L"a.exe"},
        // More than the 35 characters read: the URL's name stays.
        {L"attachment%3B%20filename%3D%22Setup%20Product%201.0.exe%22", L"file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.disposition));
        const Result r = Query(std::wstring(L"size=10&disposition=") + c.disposition);
        ASSERT_EQ(r.code, 0);
        EXPECT_EQ(r.fileName, c.name);
    }
}

TEST_F(ConnectionInfo, OpenFailureLeavesTheOutputs) {
    LogCapture log;
    const Result r = Query(L"status=404");
    EXPECT_EQ(r.code, kavri::kErrHttpStatus);
    EXPECT_EQ(r.length, -7);
    EXPECT_FALSE(log.Has(L"QueryFileInformation"));
}

TEST_F(ConnectionInfo, Nginx) {
    ASSERT_GT(kavri_test::NginxPort(), 0);
    CConnection c(session.get(), kavri_test::NginxUrl(L"/file10m.bin").c_str());
    SYSTEMTIME modified{};
    int64_t length = 0;
    ASSERT_EQ(c.QueryFileInformation(&modified, &length), 0);
    EXPECT_EQ(length, 10000000);
    EXPECT_TRUE(c.AcceptsRanges());
    EXPECT_GE(modified.wYear, 2020);
    EXPECT_STREQ(c.GetFileName(), L"file10m.bin");

    LogCapture log;
    CConnection norange(session.get(), kavri_test::NginxUrl(L"/norange/small.bin").c_str());
    ASSERT_EQ(norange.QueryFileInformation(&modified, &length), 0);
    EXPECT_EQ(length, 500000);
    EXPECT_FALSE(norange.AcceptsRanges());
    EXPECT_TRUE(log.Has(L"query failed for Accept Ranges parameter"));
}

// -- https ----------------------------------------------------------------------

namespace {

// Adds a certificate to the user's trusted roots for the test's lifetime.
// (Wine 8 rebuilds the machine's root store from the host's certificates
// each time it is opened and drops any other, so the user's store is the
// one that keeps it. The registry store is written on commit, not on add.)
class TrustedRoot {
public:
    explicit TrustedRoot(const std::wstring& derPath) {
        const std::string der = kavri_test::ReadFileBytes(derPath);
        if (der.empty()) return;
        m_store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        if (!m_store) return;
        m_ok = CertAddEncodedCertificateToStore(m_store, X509_ASN_ENCODING,
                                                reinterpret_cast<const BYTE*>(der.data()),
                                                static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                &m_cert) != FALSE &&
               CertControlStore(m_store, 0, CERT_STORE_CTRL_COMMIT, nullptr) != FALSE;
    }
    ~TrustedRoot() {
        if (m_cert) CertDeleteCertificateFromStore(m_cert);  // also frees the context
        if (m_store) {
            CertControlStore(m_store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
            CertCloseStore(m_store, 0);
        }
    }
    bool Ok() const { return m_ok; }

private:
    HCERTSTORE m_store = nullptr;
    PCCERT_CONTEXT m_cert = nullptr;
    bool m_ok = false;
};

}  // namespace

TEST_F(ConnectionInfo, HttpsWithATrustedCertificate) {
    const auto tls = kavri_nettest::ReadTlsInfo();
    if (tls.trustedPort == 0) GTEST_SKIP() << "the test server has no TLS listeners (no openssl command?)";
    TrustedRoot root(tls.trustedCertDer);
    ASSERT_TRUE(root.Ok());
    const std::wstring tag = UniqueTag(L"tls");
    const std::wstring url =
        L"https://127.0.0.1:" + std::to_wstring(tls.trustedPort) + L"/file?size=4321&tag=" + tag;
    CConnection c(session.get(), url.c_str());
    EXPECT_TRUE(c.IsSecure());
    LogCapture log;
    SYSTEMTIME modified{};
    int64_t length = 0;
    ASSERT_EQ(c.QueryFileInformation(&modified, &length), 0) << Narrow(log.Dump());
    EXPECT_EQ(length, 4321);
    EXPECT_NE(kavri_nettest::RequestsJson(tag).find("\"tls\": true"), std::string::npos);
}

TEST_F(ConnectionInfo, HttpsWithAnUntrustedCertificateIsRefused) {
    const auto tls = kavri_nettest::ReadTlsInfo();
    if (tls.untrustedPort == 0) GTEST_SKIP() << "the test server has no TLS listeners (no openssl command?)";
    const std::wstring tag = UniqueTag(L"untrusted");
    const std::wstring url =
        L"https://127.0.0.1:" + std::to_wstring(tls.untrustedPort) + L"/file?size=10&tag=" + tag;
    CConnection c(session.get(), url.c_str());
    LogCapture log;
    EXPECT_EQ(c.Open(), kavri::kErrOpenUrl);
    EXPECT_EQ(c.GetUrlHandle(), nullptr);
    // ERROR_INTERNET_INVALID_CA; no request ever reached the server.
    EXPECT_TRUE(log.Has(L"CConnection:InternetOpenUrl, failed, WIN_INET_ERROR:12045")) << Narrow(log.Dump());
    EXPECT_EQ(kavri_nettest::RequestCount(tag), 0);
}
