// The private folder the main installer is downloaded into and started
// from: %TEMP%\<product>, one per product, writable only by SYSTEM and the
// Administrators. %TEMP% belongs to the user, so any process of the user
// could otherwise swap the file or plant DLLs beside it.
//
// Concurrency: opened once on the interface thread; afterwards the path is
// read-only. The folder is held open without delete sharing for the object's
// life, so it can be neither renamed nor removed while the program runs.
#pragma once

#include <windows.h>

#include <string>

#include "common/Handles.h"

class DownloadFolder {
public:
    // Uses %TEMP%\<name> when it is a real folder (no link) owned by SYSTEM
    // or the Administrators whose ACL lets no one else write; otherwise
    // makes a new one (<name>.1, <name>.2, ...) with that ACL; files earlier
    // runs left there are removed. False, logged, when none could be made.
    bool Open(const wchar_t* name);
    const std::wstring& Path() const { return m_path; }

private:
    bool TryUse(const std::wstring& path);
    // Deletes the files earlier runs left, but the resume record and the
    // partial file it names.
    void RemoveLeftovers();
    kavri::ScopedKernelHandle m_handle;
    std::wstring m_path;
};

namespace kavri {
// A product name made a plain folder name ("Download" when nothing is left).
std::wstring FolderNameFor(const wchar_t* product);
// True when the object's owner and DACL keep everyone but SYSTEM and the
// Administrators from writing: no allow entry for another SID grants a
// right to write, delete, add files or change the ACL or owner.
// alsoTrusted (may be null) is treated like them.
bool IsPrivateSecurity(PSID owner, PACL dacl, PSID alsoTrusted);
}  // namespace kavri
