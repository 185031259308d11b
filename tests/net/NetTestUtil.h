// Helpers of the network and download tests: URLs of the test server and
// what it recorded.
#pragma once

#include <cstdlib>
#include <string>

#include "support/TestEnv.h"

namespace kavri_nettest {

using kavri_test::UniqueTag;

// The test server's /f.bin with a query and a tag (the file name is "f.bin").
inline std::wstring FileUrl(const std::wstring& query, const std::wstring& tag) {
    return kavri_test::TestServerUrl(L"/f.bin?" + query + L"&tag=" + tag);
}
inline std::string RequestsJson(const std::wstring& tag) {
    return kavri_test::HttpGetText(kavri_test::TestServerUrl(L"/_requests?tag=" + tag));
}
// Body bytes the test server sent for the tag's requests.
inline long long SentBytes(const std::wstring& tag) {
    const std::string json = RequestsJson(tag);
    long long sum = 0;
    for (size_t p = json.find("\"sent\": "); p != std::string::npos; p = json.find("\"sent\": ", p + 1))
        sum += std::atoll(json.c_str() + p + 8);
    return sum;
}
// An https URL of the test server whose certificate no one trusts.
inline std::wstring UntrustedUrl() {
    const std::string json = kavri_test::HttpGetText(kavri_test::TestServerUrl(L"/_tls"));
    return L"https://127.0.0.1:" + std::to_wstring(std::atoi(kavri_test::JsonValue(json, "untrusted_port").c_str())) +
           L"/f.bin?size=10";
}

}  // namespace kavri_nettest
