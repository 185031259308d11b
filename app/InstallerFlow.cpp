// The installation flow: recording an event (log + tracking) and the two
// launches. Each runs on the thread that calls it; SetState waits for its
// tracking request there.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/Installer.h"
#include "app/Tracking.h"
#include "common/Guard.h"
#include "log/Log.h"

namespace {

// The shell's "open" without an owner window or working directory; above 32
// is success, anything else is the shell's error code.
INT_PTR ShellOpen(const wchar_t* file, const wchar_t* parameters) {
    return reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", file, parameters, nullptr, SW_SHOWNORMAL));
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
    bool launched = false;
    kavri::Guarded([&] {
        const InstallerConfig* cfg = GetConfig();
        if (!cfg || cfg->product.installer.empty()) return;
        std::wstring file, args;
        SplitCommand(cfg->product.installer.c_str(), &file, &args);
        INT_PTR rc = ShellOpen(file.c_str(), args.c_str());
        if (rc <= 32) {
            LogError(this, static_cast<int>(rc), L":InstallFromCD, failed to start \"%ls\" with \"%ls\"",
                     file.c_str(), args.c_str());
            return;
        }
        launched = true;
    });
    if (launched) SetState(stubInstaller_InstallFromCD);
    return launched;
}

bool CInstaller::StartMainInstaller(HWND /*parent: the launch has no owner window*/, const wchar_t* path) {
    if (!path || !*path) return false;
    INT_PTR rc = ShellOpen(path, nullptr);
    if (rc <= 32) {
        LogError(this, static_cast<int>(rc), L":StartMainInstaller, failed to start \"%ls\"", path);
        return false;
    }
    SetState(stubinstaller_StartMainInstaller);
    return true;
}
