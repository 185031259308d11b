// Test fixtures for the browser proxy discovery: a private HKEY_CLASSES_ROOT
// (this process only) and a private %USERPROFILE% with Firefox/Opera files.
#pragma once

#include <windows.h>

#include <string>

#include "support/TestEnv.h"

namespace kavri_nettest {

// Redirects HKEY_CLASSES_ROOT of this process to a fresh key under HKCU, so
// a test chooses the default browser without touching the prefix's real
// classes (other test processes keep seeing those). Removed afterwards.
class ScopedClassesRoot {
public:
    // command null: no "http\shell\open\command" key at all.
    explicit ScopedClassesRoot(const wchar_t* command) {
        static LONG counter = 0;
        m_path = L"Software\\KavriTest\\classes-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(InterlockedIncrement(&counter));
        HKEY root = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root,
                        nullptr);
        if (command) {
            HKEY cmd = nullptr;
            if (RegCreateKeyExW(root, L"http\\shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &cmd, nullptr) == ERROR_SUCCESS) {
                RegSetValueExW(cmd, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                               static_cast<DWORD>((wcslen(command) + 1) * sizeof(wchar_t)));
                RegCloseKey(cmd);
            }
        }
        m_ok = root && RegOverridePredefKey(HKEY_CLASSES_ROOT, root) == ERROR_SUCCESS;
        if (root) RegCloseKey(root);
    }
    ~ScopedClassesRoot() {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    }
    bool Ok() const { return m_ok; }

private:
    std::wstring m_path;
    bool m_ok = false;
};

// Points %USERPROFILE% of this process at a fresh directory, restored after.
class ScopedUserProfile {
public:
    ScopedUserProfile() {
        wchar_t old[1024];
        DWORD n = GetEnvironmentVariableW(L"USERPROFILE", old, 1024);
        m_had = n > 0 && n < 1024;
        if (m_had) m_old = old;
        SetEnvironmentVariableW(L"USERPROFILE", m_dir.Path().c_str());
    }
    ~ScopedUserProfile() { SetEnvironmentVariableW(L"USERPROFILE", m_had ? m_old.c_str() : nullptr); }
    const std::wstring& Path() const { return m_dir.Path(); }

    // Writes a file under the profile, creating its directories ("a\\b\\c.ini").
    bool Write(const std::wstring& relative, const std::string& text) const {
        return WriteAbsolute(m_dir.Path() + L"\\" + relative, text);
    }
    static bool WriteAbsolute(const std::wstring& path, const std::string& text) {
        for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1))
            CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
        return kavri_test::WriteFileBytes(path, text);
    }
    std::wstring FirefoxDir() const { return m_dir.Path() + L"\\Application Data\\Mozilla\\Firefox"; }
    bool WriteProfilesIni(const std::string& text) const {
        return Write(L"Application Data\\Mozilla\\Firefox\\profiles.ini", text);
    }
    bool WriteOperaIni(const std::string& text) const {
        return Write(L"Application Data\\Opera\\Opera\\profile\\opera6.ini", text);
    }
    // A relative profile "Profiles/abcd.default" with the given prefs.js.
    bool WriteRelativeFirefoxProfile(const std::string& prefs) const {
        return WriteProfilesIni("[General]\r\nStartWithLastProfile=1\r\n\r\n[Profile0]\r\nName=default\r\n"
                                "IsRelative=1\r\nPath=Profiles/abcd.default\r\n") &&
               Write(L"Application Data\\Mozilla\\Firefox\\Profiles\\abcd.default\\prefs.js", prefs);
    }

private:
    kavri_test::TempDir m_dir;
    std::wstring m_old;
    bool m_had = false;
};

}  // namespace kavri_nettest
