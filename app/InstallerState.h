// The installation events. The names are logged and sent to tracking exactly
// as spelled here, case included.
#pragma once

enum EInstallerState : int {
    stubinstaller_Started = 0,
    stubinstaller_Cancelled_UnsupportedOS = 1,
    stubinstaller_Cancelled_CPUnotSupported = 2,
    stubinstaller_Cancelled_InsufficentRAM = 3,
    stubinstaller_Cancelled_DiskSpace = 4,
    stubinstaller_CancelledByUser = 5,
    stubInstaller_CheckNewVersion = 6,
    stubInstaller_InstallFromCD = 7,
    stubinstaller_DownloadStarted = 8,
    stubInstaller_DownloadError = 9,
    stubinstaller_StartMainInstaller = 10,
    stubInstaller_UnexpectedError = 11,
};

// The event's name, or null for a value outside 0..11.
const wchar_t* GetInstallerStateName(int state);
