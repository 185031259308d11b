#include "TestEnv.h"

#include <windows.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/Handles.h"
#include "common/Sha256.h"

namespace kavri_test {
namespace {

std::string StateDir() {
    const char* s = std::getenv("KAVRI_TEST_STATE");
    return s ? s : "";
}

// A Linux path as Wine sees it: "/a/b" -> "Z:\a\b".
std::wstring ToWinePath(const std::string& unixPath) {
    std::wstring out = L"Z:";
    for (char c : unixPath) out += (c == '/') ? L'\\' : static_cast<wchar_t>(c);
    return out;
}

std::string ServersJson() {
    std::string dir = StateDir();
    if (dir.empty()) return {};
    std::ifstream in(ToWinePath(dir + "/servers.json").c_str(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::string JsonValue(const std::string& json, const std::string& key) {
    const size_t k = json.find("\"" + key + "\"");
    const size_t v = k == std::string::npos ? k : json.find_first_not_of(" \t", json.find(':', k) + 1);
    if (v == std::string::npos) return {};
    if (json[v] == '[') return json.substr(v, json.find(']', v) - v + 1);
    if (json[v] != '"') return json.substr(v, json.find_first_of(",}", v) - v);
    std::string out;
    for (size_t i = v + 1; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) out += json[i++];
        out += json[i];
    }
    return out;
}

std::wstring UniqueTag(const std::wstring& name) {
    static LONG counter = 0;
    return name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

std::string HttpGetText(const std::wstring& url) {
    kavri::ScopedInternetHandle session(InternetOpenW(L"kavri-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
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

std::wstring StateFile(const std::string& relative) { return ToWinePath(StateDir() + "/" + relative); }

int TestServerPort() { return std::atoi(JsonValue(ServersJson(), "testserver_port").c_str()); }
std::wstring NginxRoot() { return ToWinePath(JsonValue(ServersJson(), "nginx_root")); }

std::wstring NginxUrl(const std::wstring& path) {
    return L"http://127.0.0.1:" + std::to_wstring(std::atoi(JsonValue(ServersJson(), "nginx_port").c_str())) + path;
}
std::wstring TestServerUrl(const std::wstring& path) {
    return L"http://127.0.0.1:" + std::to_wstring(TestServerPort()) + path;
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    for (;;) {
        wchar_t name[MAX_PATH];
        _snwprintf(name, MAX_PATH, L"%lskt%lu_%ld", base, GetCurrentProcessId(),
                   InterlockedIncrement(&counter));
        name[MAX_PATH - 1] = 0;
        if (CreateDirectoryW(name, nullptr)) {
            m_path = name;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::wstring from = m_path;
    from.push_back(L'\0');  // double-terminated list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string out;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Utf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr,
                            nullptr);
    return out;
}

std::string Sha256OfFile(const std::wstring& path) {
    const kavri::ScopedKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                     OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    kavri::Hasher hasher(kavri::HashKind::Sha256);
    if (file.Get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.Get(), &size) ||
        !kavri::HashFileRange(file.Get(), 0, static_cast<uint64_t>(size.QuadPart), &hasher))
        return {};
    return kavri::ToHex(hasher.Finish());
}

}  // namespace kavri_test
