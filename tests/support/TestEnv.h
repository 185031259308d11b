// Where the unit tests find the local servers and build outputs of this run.
// The servers are started by the CTest fixture (support/servers.py).
#pragma once

#include <string>

namespace kavri_test {

// Port of the fault-injecting test server; 0 when unknown.
int TestServerPort();
// nginx's document root as a Windows path; tests may add files there.
std::wstring NginxRoot();
// http://127.0.0.1:<port> of each server.
std::wstring NginxUrl(const std::wstring& path);
std::wstring TestServerUrl(const std::wstring& path);
// The raw value of "key" in flat JSON text: a string's contents (escapes
// kept as written), a number, true/false, or "[..]"; "" when absent. Blanks
// after the colon are allowed.
std::string JsonValue(const std::string& json, const std::string& key);

// A tag no other test or run uses, for the test server's request records.
std::wstring UniqueTag(const std::wstring& name);
// The body of a GET through a direct WinINet session of its own; "" on
// failure. For reading the servers' own records, not for testing the product.
std::string HttpGetText(const std::wstring& url);

// A file of this run's state directory (fixtures put files there), as a
// Windows path.
std::wstring StateFile(const std::string& relative);

// A fresh, empty directory under %TEMP%, removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// Whole-file helpers.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// A wide text as UTF-8 (for comparing with a tool's output and for messages).
std::string Utf8(const std::wstring& text);
// SHA-256 of a file's bytes, lower-case hex; "" when it cannot be read.
std::string Sha256OfFile(const std::wstring& path);

}  // namespace kavri_test
