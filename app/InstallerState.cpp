// Names of the installation events, as logged and sent to tracking.
#include "app/InstallerState.h"

const wchar_t* GetInstallerStateName(int state) {
    // Spelled exactly as the tracking reports expect them, case included.
    static const wchar_t* const kNames[] = {
        L"stubinstaller_Started",
        L"stubinstaller_Cancelled_UnsupportedOS",
        L"stubinstaller_Cancelled_CPUnotSupported",
        L"stubinstaller_Cancelled_InsufficentRAM",
        L"stubinstaller_Cancelled_DiskSpace",
        L"stubinstaller_CancelledByUser",
        L"stubInstaller_CheckNewVersion",
        L"stubInstaller_InstallFromCD",
        L"stubinstaller_DownloadStarted",
        L"stubInstaller_DownloadError",
        L"stubinstaller_StartMainInstaller",
        L"stubInstaller_UnexpectedError",
    };
    if (state < 0 || state >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) return nullptr;
    return kNames[state];
}
