// The private download folder. See DownloadFolder.h.
#include "download/DownloadFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

#include "download/Connection.h"
#include "download/ResumeRecord.h"
#include "log/Log.h"

namespace {

const CLog& Source() {
    static const CLog source(L"DownloadFolder");
    return source;
}

// Owner Administrators; full control for SYSTEM and Administrators only, on
// the folder and everything in it; nothing inherited from %TEMP%.
const wchar_t kPrivateSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const unsigned kMaxAttempts = 50;

bool IsTrustedSid(PSID sid, PSID alsoTrusted) {
    return sid && (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                   (alsoTrusted && EqualSid(sid, alsoTrusted)));
}

// Wine keeps no file ACLs: the security of a folder reads back as derived
// from its Unix mode, owned by the user, whatever was asked for, and every
// process of that user has the same rights anyway. There the process's own
// user counts as trusted too; links and write rights for anyone else are
// still refused. Null on Windows.
PSID WineProcessUser() {
    static std::vector<BYTE> user = [] {
        std::vector<BYTE> buffer;
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return buffer;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return buffer;
        kavri::ScopedKernelHandle owner(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        buffer.resize(size);
        if (!size || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) buffer.clear();
        return buffer;
    }();
    return user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

}  // namespace

namespace kavri {

std::wstring FolderNameFor(const wchar_t* product) {
    std::wstring name;
    for (const wchar_t* p = product ? product : L""; *p; ++p)
        if (!IsForbiddenNameChar(*p)) name += *p;
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
    while (!name.empty() && (name.front() == L'.' || name.front() == L' ')) name.erase(0, 1);
    return name.empty() ? L"Download" : name;
}

bool IsPrivateSecurity(PSID owner, PACL dacl, PSID alsoTrusted) {
    if (!IsTrustedSid(owner, alsoTrusted) || !dacl) return false;
    const DWORD writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                              FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                              GENERIC_ALL | MAXIMUM_ALLOWED;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if (!IsTrustedSid(sid, alsoTrusted) && (ace->Mask & writeRights) != 0) return false;
    }
    return true;
}

}  // namespace kavri

bool DownloadFolder::TryUse(const std::wstring& path) {
    // Held without delete sharing, and opened as what the name is (a link
    // is not followed), so what is checked is what is used.
    kavri::ScopedKernelHandle handle(CreateFileW(
        path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle || handle.Get() == INVALID_HANDLE_VALUE) {
        handle.Release();
        return false;
    }
    // Some file systems show a link only in the attributes read by name.
    const DWORD byName = GetFileAttributesW(path.c_str());
    BY_HANDLE_FILE_INFORMATION info = {};
    if (byName == INVALID_FILE_ATTRIBUTES || (byName & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !GetFileInformationByHandle(handle.Get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        LogWarning(&Source(), -1, L":Open, \"%ls\" is not a plain folder and is not used.", path.c_str());
        return false;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = GetSecurityInfo(handle.Get(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                     nullptr, &dacl, nullptr, &sd);
    kavri::ScopedLocalMem sdOwner(sd);
    if (rc != ERROR_SUCCESS || !kavri::IsPrivateSecurity(owner, dacl, WineProcessUser())) {
        LogWarning(&Source(), static_cast<int>(rc),
                   L":Open, \"%ls\" has another owner or ACL and is not used.", path.c_str());
        return false;
    }
    m_handle = std::move(handle);
    m_path = path;
    return true;
}

bool DownloadFolder::Open(const wchar_t* name) {
    if (!m_path.empty()) return true;
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) {
        LogError(&Source(), -1, L":Open, no temporary folder.");
        return false;
    }
    const std::wstring base = std::wstring(temp) + kavri::FolderNameFor(name);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateSddl, SDDL_REVISION_1, &sd, nullptr)) {
        LogError(&Source(), static_cast<int>(GetLastError()), L":Open, the folder ACL could not be built.");
        return false;
    }
    kavri::ScopedLocalMem sdOwner(sd);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), sd, FALSE};
    for (unsigned i = 0; i < kMaxAttempts; ++i) {
        const std::wstring path = i == 0 ? base : base + L"." + std::to_wstring(i);
        // Made here with the private ACL, or there already: either way it is
        // checked through the handle that is then kept.
        if (!CreateDirectoryW(path.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) continue;
        if (TryUse(path)) {
            LogInfo(&Source(), L":Open, downloads go to \"%ls\".", path.c_str());
            RemoveLeftovers();
            return true;
        }
    }
    LogError(&Source(), -1, L":Open, no private download folder could be made under \"%ls\".", temp);
    return false;
}

void DownloadFolder::RemoveLeftovers() {
    // What earlier runs downloaded and started is of no further use; only a
    // partial file that a usable resume record names goes on.
    const std::wstring record = kavri::ResumeRecordPath(m_path);
    kavri::ResumeState state;
    const bool resumable = kavri::LoadResumeState(record, &state);
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((m_path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    kavri::ScopedFindHandle owner(search);
    unsigned removed = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring path = m_path + L"\\" + found.cFileName;
        if (_wcsicmp(path.c_str(), record.c_str()) == 0) continue;
        if (resumable && _wcsicmp(found.cFileName, state.fileName.c_str()) == 0) continue;
        // A file still in use (an installer that is running) stays.
        if (DeleteFileW(path.c_str())) ++removed;
    } while (FindNextFileW(search, &found));
    if (removed) LogInfo(&Source(), L":Open, %u files of earlier runs removed.", removed);
}
