// Pure HTTP helpers of the connection: URL checks, file names offered by a
// URL or a server, header parsing, and one GET sent with its own time-outs
// (and the run's proxy credentials).
// Nothing here keeps state; every function may run on any thread.
#include <shlwapi.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "common/Handles.h"
#include "download/Connection.h"
#include "net/ProxyCredentials.h"

namespace kavri {

bool IsForbiddenNameChar(wchar_t c) {
    return c < 32 || c == 127 || wcschr(L"<>:\"/\\|?*", c) != nullptr;
}

bool IsInvisibleNameChar(wchar_t c) {
    return c < 32 || (c >= 0x7F && c <= 0x9F) || c == 0x00AD || c == 0x061C || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xD800 && c <= 0xDFFF);
}

bool HasProgramExtension(const wchar_t* name) {
    const wchar_t* ext = name ? PathFindExtensionW(name) : L"";
    return _wcsicmp(ext, L".exe") == 0 || _wcsicmp(ext, L".msi") == 0;
}

bool SplitHttpUrl(const wchar_t* url, bool* secure, wchar_t host[256], wchar_t path[260]) {
    if (!url) return false;
    const size_t len = wcslen(url);
    if (len > 259) return false;
    size_t schemeLen;
    if (_wcsnicmp(url, L"http://", 7) == 0)
        schemeLen = 7;
    else if (_wcsnicmp(url, L"https://", 8) == 0)
        schemeLen = 8;
    else
        return false;
    const wchar_t* hostStart = url + schemeLen;
    const wchar_t* slash = wcschr(hostStart, L'/');
    const size_t hostLen = slash ? static_cast<size_t>(slash - hostStart) : wcslen(hostStart);
    if (hostLen == 0 || hostLen > 255) return false;
    if (secure) *secure = schemeLen == 8;
    if (host) {
        wmemcpy(host, hostStart, hostLen);
        host[hostLen] = L'\0';
    }
    if (path) {
        if (slash)
            wcscpy(path, slash);
        else
            path[0] = L'\0';
    }
    return true;
}

bool IsSafeFileName(const wchar_t* name) {
    if (!name || !name[0]) return false;
    const size_t len = wcslen(name);
    if (len > 255) return false;
    // ".." anywhere: "..x.exe" joined to a folder would name the folder above.
    if (wcscmp(name, L".") == 0 || wcsstr(name, L"..") != nullptr) return false;
    for (size_t i = 0; i < len; ++i)
        if (IsForbiddenNameChar(name[i]) || IsInvisibleNameChar(name[i])) return false;
    // Windows drops trailing dots and blanks, so "a.exe." would not be the name shown.
    if (name[len - 1] == L'.' || name[len - 1] == L' ') return false;
    // Device names are reserved with any extension: "CON", "con.txt", "COM1.exe".
    size_t baseLen = 0;
    while (baseLen < len && name[baseLen] != L'.') ++baseLen;
    while (baseLen > 0 && name[baseLen - 1] == L' ') --baseLen;
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (baseLen == wcslen(device) && _wcsnicmp(name, device, baseLen) == 0) return false;
    if (baseLen == 4 && (_wcsnicmp(name, L"COM", 3) == 0 || _wcsnicmp(name, L"LPT", 3) == 0) &&
        ((name[3] >= L'0' && name[3] <= L'9') || name[3] == 0xB9 || name[3] == 0xB2 || name[3] == 0xB3))
        return false;
    return true;
}

bool FileNameFromUrl(const wchar_t* url, wchar_t* out, size_t outChars) {
    if (!out || outChars == 0) return false;
    out[0] = L'\0';
    if (!url) return false;
    // The last component of the path, without a query or fragment.
    std::wstring path(url, wcscspn(url, L"?#"));
    const size_t slash = path.rfind(L'/');
    const std::wstring raw = slash == std::wstring::npos ? path : path.substr(slash + 1);
    // Percent escapes are undone (as UTF-8), so that an encoded separator or
    // control character is judged as what it would become.
    std::string bytes;
    for (size_t i = 0; i < raw.size(); ++i) {
        const wchar_t c = raw[i];
        if (c == L'%' && i + 2 < raw.size() && iswxdigit(raw[i + 1]) && iswxdigit(raw[i + 2])) {
            bytes += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
            continue;
        }
        char utf8[8];
        const int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, sizeof(utf8), nullptr, nullptr);
        if (n <= 0) return false;
        bytes.append(utf8, static_cast<size_t>(n));
    }
    const int wideLen = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                            static_cast<int>(bytes.size()), nullptr, 0);
    if (bytes.empty() || wideLen <= 0) return false;
    std::wstring name(static_cast<size_t>(wideLen), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &name[0], wideLen);
    // A plain name with an extension: no separators, streams, devices,
    // control characters, "..", trailing dots or blanks.
    const wchar_t* ext = PathFindExtensionW(name.c_str());
    if (!IsSafeFileName(name.c_str()) || !ext[0] || !ext[1] || name.size() >= outChars) return false;
    wcscpy(out, name.c_str());
    return true;
}

bool FileNameFromContentDisposition(const wchar_t* value, wchar_t* out, size_t outChars) {
    if (!value || !out || outChars == 0) return false;
    const wchar_t* marker = wcsstr(value, L"filename=");
    if (!marker) return false;
    std::wstring name(marker + 9);
    size_t first = 0;
    while (first < name.size() && (name[first] == L' ' || name[first] == L'\t')) ++first;
    name.erase(0, first);
    if (!name.empty() && name.front() == L'"') {
        // A quoted value ends at its closing quote; one that never closes
        // was cut (a line break inside it ended the header) and names nothing.
        const size_t close = name.find(L'"', 1);
        if (close == std::wstring::npos) return false;
        name = name.substr(1, close - 1);
    } else {
        // Anything from a ';' on is another parameter.
        const size_t semicolon = name.find(L';');
        if (semicolon != std::wstring::npos) name.erase(semicolon);
        while (!name.empty() && (name.back() == L' ' || name.back() == L'\t')) name.pop_back();
    }
    // Only the last path component: a name never chooses a directory.
    const size_t sep = name.find_last_of(L"\\/");
    if (sep != std::wstring::npos) name.erase(0, sep + 1);
    if (!IsSafeFileName(name.c_str()) || name.size() >= outChars) return false;
    wcscpy(out, name.c_str());
    return true;
}

bool ParseContentRangeStart(const wchar_t* value, uint64_t* start) {
    if (!value) return false;
    while (*value == L' ') ++value;
    if (_wcsnicmp(value, L"bytes", 5) != 0) return false;
    const wchar_t* p = value + 5;
    if (*p != L' ' && *p != L'=') return false;
    while (*p == L' ' || *p == L'=') ++p;
    if (!iswdigit(*p)) return false;
    wchar_t* end = nullptr;
    const uint64_t value64 = _wcstoui64(p, &end, 10);
    if (!end || *end != L'-') return false;
    if (start) *start = value64;
    return true;
}

bool IsConnectionGroupError(DWORD error) {
    return error == ERROR_INVALID_HANDLE || error == ERROR_INTERNET_TIMEOUT ||
           error == ERROR_INTERNET_OPERATION_CANCELLED || error == ERROR_INTERNET_INCORRECT_HANDLE_STATE ||
           error == ERROR_INTERNET_CANNOT_CONNECT;
}

bool SendGetRequest(HINTERNET session, const wchar_t* url, const wchar_t* headers, DWORD headersLength,
                    DWORD flags, const RequestTimeouts& timeouts, HINTERNET* connectOut,
                    HINTERNET* requestOut) {
    *connectOut = nullptr;
    *requestOut = nullptr;
    if (!session || !url) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH] = L"";
    wchar_t path[INTERNET_MAX_URL_LENGTH] = L"";
    wchar_t extra[INTERNET_MAX_URL_LENGTH] = L"";
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = INTERNET_MAX_URL_LENGTH;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = INTERNET_MAX_URL_LENGTH;
    if (!InternetCrackUrlW(url, 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return false;
    }
    if (!host[0]) {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return false;
    }
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    // Nothing of a request stays on the machine: no cache entry, no cookie.
    flags |= INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;

    // The object as sent: path and query, blanks escaped as a browser does.
    std::wstring object;
    for (const wchar_t* p = path; *p; ++p) object += (*p == L' ') ? std::wstring(L"%20") : std::wstring(1, *p);
    for (const wchar_t* p = extra; *p && *p != L'#'; ++p)
        object += (*p == L' ') ? std::wstring(L"%20") : std::wstring(1, *p);
    if (object.empty()) object = L"/";

    ScopedInternetHandle connect(
        InternetConnectW(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connect) return false;
    static const wchar_t* kAcceptTypes[] = {L"*/*", nullptr};
    ScopedInternetHandle request(
        HttpOpenRequestW(connect.Get(), L"GET", object.c_str(), nullptr, nullptr, kAcceptTypes, flags, 0));
    if (!request) return false;
    // Time-outs on the request's own handle: the only place every WinINet
    // (Wine's included) honours them, so a silent server ends the call.
    for (HINTERNET h : {connect.Get(), request.Get()}) {
        DWORD value = timeouts.connectMs;
        InternetSetOptionW(h, INTERNET_OPTION_CONNECT_TIMEOUT, &value, sizeof(value));
        value = timeouts.sendMs;
        InternetSetOptionW(h, INTERNET_OPTION_SEND_TIMEOUT, &value, sizeof(value));
        value = timeouts.receiveMs;
        InternetSetOptionW(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, sizeof(value));
    }
    // A proxy that asks for credentials gets the ones typed in this run.
    if (!ApplyProxyCredentials(request.Get())) return false;
    if (!HttpSendRequestW(request.Get(), headers, headers ? headersLength : 0, nullptr, 0)) return false;
    *connectOut = connect.Release();
    *requestOut = request.Release();
    return true;
}

}  // namespace kavri
