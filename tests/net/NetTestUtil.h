// Helpers of the network and download tests: URLs of the test server and
// what it recorded.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

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
// A number field of each of the tag's request records, oldest first.
inline std::vector<double> RecordedNumbers(const std::wstring& tag, const std::string& key) {
    const std::string json = RequestsJson(tag), mark = "\"" + key + "\": ";
    std::vector<double> values;
    for (size_t p = json.find(mark); p != std::string::npos; p = json.find(mark, p + 1))
        values.push_back(std::atof(json.c_str() + p + mark.size()));
    return values;
}
// Body bytes the test server sent for the tag's requests.
inline long long SentBytes(const std::wstring& tag) {
    long long sum = 0;
    for (double sent : RecordedNumbers(tag, "sent")) sum += static_cast<long long>(sent);
    return sum;
}
// An https URL of the test server whose certificate no one trusts.
inline std::wstring UntrustedUrl() {
    const std::string json = kavri_test::HttpGetText(kavri_test::TestServerUrl(L"/_tls"));
    return L"https://127.0.0.1:" + std::to_wstring(std::atoi(kavri_test::JsonValue(json, "untrusted_port").c_str())) +
           L"/f.bin?size=10";
}

}  // namespace kavri_nettest
