// Discovery of the HTTP proxy from the default web browser's own files:
// the browser's name from its registered "open" command, Firefox's first
// profile (profiles.ini -> prefs.js) and Opera's opera6.ini.
//
// Every value read here comes from files another program (or the user)
// controls: values are bounded by their buffers and copied as plain text,
// never used as a format.
#include "net/Session.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/Handles.h"

namespace {

// Copies at most outSize - 1 characters of a narrow, NUL-terminated text.
void CopyBounded(char* out, size_t outSize, const char* from, size_t fromLen) {
    size_t n = fromLen < outSize - 1 ? fromLen : outSize - 1;
    memcpy(out, from, n);
    out[n] = '\0';
}

// The value behind a pattern, up to the terminator (or the line's end).
void ValueUntil(const char* start, char terminator, char* out, size_t outSize) {
    const char* end = strchr(start, terminator);
    size_t len = end ? static_cast<size_t>(end - start) : strlen(start);
    CopyBounded(out, outSize, start, len);
}

// Narrow (UTF-8, ASCII in practice) to wide, bounded and terminated.
void ToWide(const char* in, wchar_t* out, DWORD outSize) {
    if (outSize == 0) return;
    int n = MultiByteToWideChar(CP_UTF8, 0, in, -1, out, static_cast<int>(outSize));
    if (n <= 0) {
        // Too long or not UTF-8: keep what fits as Latin-1 rather than nothing.
        DWORD i = 0;
        for (; in[i] && i + 1 < outSize; ++i) out[i] = static_cast<unsigned char>(in[i]);
        out[i] = L'\0';
    }
    out[outSize - 1] = L'\0';
}

}  // namespace

namespace kavri {

void BrowserNameFromCommand(const wchar_t* command, wchar_t* out, DWORD size) {
    if (!out || size == 0) return;
    out[0] = L'\0';
    if (!command) return;
    if (command[0] == L'"') ++command;
    wcsncpy(out, command, size - 1);
    out[size - 1] = L'\0';
    const size_t len = wcslen(out);
    for (size_t i = 0; len >= 4 && i <= len - 4; ++i) {
        if (_wcsnicmp(out + i, L".exe", 4) == 0) {
            out[i + 4] = L'\0';
            break;
        }
    }
    PathStripPathW(out);
    PathRemoveExtensionW(out);
}

bool FirefoxPrefsParser::AddLine(const char* line) {
    static const char kHost[] = "user_pref(\"network.proxy.http\", ";
    static const char kPort[] = "user_pref(\"network.proxy.http_port\", ";
    static const char kType[] = "user_pref(\"network.proxy.type\", ";
    if (m_count >= 3) return false;
    if (strncmp(line, kHost, 32) == 0) {
        // Skip the opening quote of the string value.
        const char* value = line + 32;
        if (*value) ++value;
        ValueUntil(value, '"', m_host, sizeof(m_host));
        ++m_count;
    } else if (strncmp(line, kPort, 37) == 0) {
        ValueUntil(line + 37, ')', m_port, sizeof(m_port));
        ++m_count;
    } else if (strncmp(line, kType, 32) == 0) {
        ValueUntil(line + 32, ')', m_type, sizeof(m_type));
        ++m_count;
    }
    return m_count < 3;
}

bool FirefoxPrefsParser::Finish(wchar_t* out, DWORD size) const {
    if (!out || size == 0) return false;
    const long type = strtol(m_type, nullptr, 10);
    if (type == 0) {
        out[0] = L'\0';
        return true;
    }
    if (type != 1) return false;
    char text[512];
    if (m_host[0] && m_port[0])
        snprintf(text, sizeof(text), "%s:%s", m_host, m_port);
    else
        snprintf(text, sizeof(text), "%s", m_host);
    ToWide(text, out, size);
    return true;
}

}  // namespace kavri

void CSession::GetDefaultWebBrowser(wchar_t* out, DWORD size) {
    if (!out || size == 0) return;
    out[0] = L'\0';
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", 0, KEY_QUERY_VALUE, &raw) !=
        ERROR_SUCCESS)
        return;
    kavri::ScopedRegKey key(raw);
    // 256 bytes of value plus room for a terminator the registry may not store.
    wchar_t value[129] = L"";
    DWORD bytes = 256;
    DWORD type = 0;
    if (RegQueryValueExW(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &bytes) != ERROR_SUCCESS)
        return;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return;
    value[bytes / sizeof(wchar_t) < 128 ? bytes / sizeof(wchar_t) : 128] = L'\0';
    kavri::BrowserNameFromCommand(value, out, size);
}

namespace {

// %USERPROFILE% into a 260-character buffer; false when it cannot be expanded
// or does not fit.
bool ExpandUserProfile(wchar_t (&out)[260]) {
    const DWORD n = ExpandEnvironmentStringsW(L"%USERPROFILE%", out, 260);
    return n != 0 && n <= 260;
}

}  // namespace

bool CSession::GetFirefoxProxySettings(wchar_t* out, DWORD size) {
    wchar_t profileDir[260] = L"";
    if (!ExpandUserProfile(profileDir)) {
        LogError(this, -503, L":GetFirefoxProxySettings, failed Expand Environment Strings USERPROFILE");
        return false;
    }
    wchar_t profilesIni[MAX_PATH] = L"";
    if (!PathCombineW(profilesIni, profileDir, L"Application Data\\Mozilla\\Firefox\\profiles.ini"))
        profilesIni[0] = L'\0';

    wchar_t path[260] = L"";
    wchar_t isRelative[2] = L"";
    GetPrivateProfileStringW(L"Profile0", L"Path", L"", path, 260, profilesIni);
    GetPrivateProfileStringW(L"Profile0", L"IsRelative", L"", isRelative, 2, profilesIni);

    wchar_t prefs[MAX_PATH] = L"";
    if (wcstol(isRelative, nullptr, 10) == 1) {
        wchar_t firefoxDir[MAX_PATH];
        wcscpy(firefoxDir, profilesIni);
        PathRemoveFileSpecW(firefoxDir);
        for (wchar_t* p = path; *p; ++p)
            if (*p == L'/') *p = L'\\';
        wchar_t profile[MAX_PATH] = L"";
        if (PathCombineW(profile, firefoxDir, path)) PathCombineW(prefs, profile, L"prefs.js");
    } else {
        PathCombineW(prefs, path, L"prefs.js");
    }

    // A missing or relative profile path would name a prefs.js in the
    // current directory (where a downloaded installer usually runs, among
    // other downloads): only a preferences file at an absolute path is read.
    kavri::ScopedFile file(path[0] && !PathIsRelativeW(prefs) ? _wfopen(prefs, L"r") : nullptr);
    if (!file) {
        LogError(this, -503, L":GetDefaultWebBrowser, failed to open FireFox configuration settings \"%ls\" file",
                 prefs);
        return false;
    }
    kavri::FirefoxPrefsParser parser;
    char line[2048];
    bool reading = true;
    while (reading && fgets(line, sizeof(line), file.Get())) {
        const size_t len = strlen(line);
        const bool wholeLine = len == 0 || line[len - 1] == '\n' || feof(file.Get());
        reading = parser.AddLine(line);
        // A line longer than the buffer: skip its rest, so it is never taken
        // for the beginning of another line.
        if (!wholeLine) {
            int c;
            while ((c = fgetc(file.Get())) != EOF && c != '\n') {
            }
        }
    }
    if (ferror(file.Get())) {
        file.Reset();
        LogError(this, -503, L":GetDefaultWebBrowser, failed on reading FireFox configuration settings \"%ls\" file",
                 prefs);
        return false;
    }
    file.Reset();
    return parser.Finish(out, size);
}

bool CSession::GetOperaProxySettings(wchar_t* out, DWORD size) {
    wchar_t ini[260] = L"";
    if (!ExpandUserProfile(ini)) {
        LogError(this, -503, L":GetOperaProxySettings, failed Expand Environment Strings USERPROFILE");
        return false;
    }
    static const wchar_t kTail[] = L"\\Application Data\\Opera\\Opera\\profile\\opera6.ini";
    if (wcslen(ini) + wcslen(kTail) >= 260) {
        LogError(this, -503, L":GetOperaProxySettings, failed on reading Opera configuration settings \"%ls\" file",
                 ini);
        return false;
    }
    wcscat(ini, kTail);

    wchar_t useHttp[10] = L"";
    DWORD got = GetPrivateProfileStringW(L"PROXY", L"Use HTTP", L"0", useHttp, 10, ini);
    if (got == 0) return true;
    if (wcstol(useHttp, nullptr, 10) == 0) return false;

    const DWORD limit = size < 250 ? size : 250;
    if (limit == 0) return false;
    got = GetPrivateProfileStringW(L"PROXY", L"HTTP Server", L"", out, limit, ini);
    if (got > 0) return true;
    LogError(this, -503, L":GetOperaProxySettings, failed on reading Opera configuration settings \"%ls\" file",
             ini);
    return false;
}
