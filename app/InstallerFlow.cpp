// The installation flow: recording an event (log + tracking) and the two
// launches. Each runs on the thread that calls it; SetState waits for its
// tracking request there.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

#include "app/Installer.h"
#include "app/Tracking.h"
#include "app/Verification.h"
#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "common/Handles.h"
#include "log/Log.h"

namespace {

// The shell's "open" without an owner window, in the given working
// directory (null: inherited). 0 when started, else the system's error code.
// With process, the started process's handle is handed back (null when the
// shell reused a running one). COM is set up for the shell on this thread.
DWORD ShellOpen(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory,
                HANDLE* process = nullptr) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | (process ? SEE_MASK_NOCLOSEPROCESS : 0);
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters && *parameters ? parameters : nullptr;
    info.lpDirectory = directory;
    info.nShow = SW_SHOWNORMAL;
    DWORD error = 0;
    if (!ShellExecuteExW(&info)) {
        error = GetLastError();
        if (error == 0) error = ERROR_GEN_FAILURE;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    if (process) *process = error == 0 ? info.hProcess : nullptr;
    return error;
}

// Waits for a started process and stores its exit code (0 without a handle).
void WaitForExit(HANDLE process, DWORD* exitCode) {
    if (!exitCode) return;
    *exitCode = 0;
    if (!process) return;
    kavri::ScopedKernelHandle owner(process);
    WaitForSingleObject(process, INFINITE);
    if (!GetExitCodeProcess(process, exitCode)) *exitCode = static_cast<DWORD>(-1);
}

}  // namespace

bool CInstaller::SetState(EInstallerState state) {
    m_state.store(state);
    bool result = false;
    kavri::Guarded([&] {
        const wchar_t* name = GetInstallerStateName(state);
        if (!name) {
            LogWarning(this, -1, L":SetState, unknown state %d", static_cast<int>(state));
            return;
        }
        LogInfo(this, L":SetState(\"%ls\")", name);
        if (!IsTrackingEnabled()) return;
        result = kavri::TrackEvent(name);
    });
    return result;
}

bool CInstaller::InstallFromCD(HWND /*parent: the launch has no owner window*/) {
    return StartLocalInstaller(nullptr, nullptr);
}

bool CInstaller::StartLocalInstaller(const wchar_t* argsOverride, DWORD* exitCode) {
    bool launched = false;
    kavri::Guarded([&] {
        const InstallerConfig* cfg = GetConfig();
        if (!cfg || cfg->product.installer.empty()) return;
        std::wstring file, args;
        SplitCommand(cfg->product.installer.c_str(), &file, &args);
        if (argsOverride && *argsOverride) args = argsOverride;
        HANDLE process = nullptr;
        const DWORD rc = ShellOpen(file.c_str(), args.c_str(), nullptr, exitCode ? &process : nullptr);
        if (rc != 0) {
            LogError(this, static_cast<int>(rc), L":InstallFromCD, failed to start \"%ls\" with \"%ls\": %ls",
                     file.c_str(), args.c_str(), GetErrorText(rc));
            return;
        }
        launched = true;
        SetState(stubInstaller_InstallFromCD);
        WaitForExit(process, exitCode);
    });
    return launched;
}

bool CInstaller::StartMainInstaller(HWND /*parent: the launch has no owner window*/, const wchar_t* path) {
    return LaunchMainInstaller(path) == kavri::kOk;
}

int CInstaller::LaunchMainInstaller(const wchar_t* path, const wchar_t* args, DWORD* exitCode) {
    if (!path || !*path) return kavri::kErrLaunch;
    // Held with writes and deletion denied to everyone else from before the
    // check until the started process has the file open: what is checked is
    // what runs.
    kavri::ScopedKernelHandle held(kavri::OpenHeld(path));
    if (held.Get() == INVALID_HANDLE_VALUE) {
        held.Release();
        const DWORD error = GetLastError();
        LogError(this, static_cast<int>(error), L":StartMainInstaller, \"%ls\" could not be opened: %ls", path,
                 GetErrorText(error));
        return kavri::kErrLaunch;
    }
    const InstallerConfig* cfg = GetConfig();
    std::wstring signer;
    const kavri::Verdict verdict = kavri::VerifyFile(held.Get(), path, GetSignerList(),
                                                     cfg ? cfg->product.sha256 : std::wstring(), &signer);
    if (verdict == kavri::Verdict::NotPinned) {
        LogWarning(this, 0, L":StartMainInstaller, the download is not verified: no signer or hash is configured.");
    } else if (verdict != kavri::Verdict::Verified) {
        LogError(this, kavri::kErrNotVerified, L":StartMainInstaller, \"%ls\" was refused: %ls.", path,
                 kavri::VerdictText(verdict));
        held.Reset();
        if (!DeleteFileW(path))
            LogError(this, kavri::kErrDeleteFile, L":StartMainInstaller, the refused file could not be deleted.");
        return kavri::kErrNotVerified;
    } else if (!signer.empty()) {
        LogInfo(this, L":StartMainInstaller, verified signer: %ls", signer.c_str());
    } else {
        LogInfo(this, L":StartMainInstaller, verified by its SHA-256.");
    }
    // Started from its own folder, so a DLL it looks for beside itself can
    // only come from there.
    std::wstring directory(path);
    const size_t slash = directory.rfind(L'\\');
    directory = slash == std::wstring::npos ? std::wstring() : directory.substr(0, slash);
    // The held handle is let go once the process exists (the system keeps
    // the image from being written while it runs), before any wait for it.
    HANDLE process = nullptr;
    const DWORD rc = ShellOpen(path, args, directory.empty() ? nullptr : directory.c_str(),
                               exitCode ? &process : nullptr);
    held.Reset();
    if (rc != 0) {
        LogError(this, static_cast<int>(rc), L":StartMainInstaller, failed to start \"%ls\": %ls", path,
                 GetErrorText(rc));
        return kavri::kErrLaunch;
    }
    SetState(stubinstaller_StartMainInstaller);
    WaitForExit(process, exitCode);
    return kavri::kOk;
}
