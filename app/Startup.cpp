// Start-up and requirement checks. See Startup.h.
#include "app/Startup.h"

#include "app/TrackingSender.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/CrashHandler.h"
#include "app/Installer.h"
#include "app/ProgressFlow.h"
#include "app/QuietRun.h"
#include "app/SystemProbes.h"
#include "common/Guard.h"
#include "i18n/LanguageResources.h"
#include "ui/ProgressWindow.h"  // the one header of ui/ that app/ uses

namespace {

const wchar_t kUsageText[] =
    L"Command line usage: \n\n"
    L"[-[u|U|Url]] URL \n"
    L"\tDownload URL (switch could be omitted). Required, if it's not specified in the config file.\n"
    L"[-c|C|CultureCode LCID]\n"
    L"\tLocale ID. Optional, if not specified user default LCID will be used.\n"
    L"[-s|S|SegmentCount NUMBER]\n"
    L"\tMax Segment count. Optional, default is 10 \n"
    L"[-t|T|Tracking {1, 0}] \n"
    L"\tEnables/Disables Google Analytics. Optional, default is 1 (Enabled) \n"
    L"[-l|L|LogLevel {1, 4, 5, -1}]\n"
    L"\tOptional Log level: \n"
    L"\t\t1- Log all messages.\n"
    L"\t\t4- Log Warning and Error type messages only.\n"
    L"\t\t5- Log Error type messages only.\n"
    L"\t\t-1- Log all messages.\n"
    L"[-q|Q|quiet]\n"
    L"\tUnattended: no window or message of any kind; the exit code tells the result.\n";

// The title of every message: the configured product name.
const wchar_t* ProductTitle() {
    const CInstaller* app = CInstaller::GetInstance();
    return app ? app->GetProductName() : nullptr;
}

void OpenHelpPage(void* url) {
    ShellExecuteW(nullptr, L"open", static_cast<const wchar_t*>(url), nullptr, nullptr,
                  SW_SHOWNORMAL);
}

// The four checks in their fixed order; 0 when all pass, else the exit code
// after the message has been shown and the event recorded.
int CheckRequirements(CInstaller* app, bool quiet) {
    OSVERSIONINFOW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    GetOsVersion(&os);
    const OSVERSIONINFOW* required = app->GetRequiredOsVersion();
    if (required && !kavri::IsOsVersionSupported(os.dwMajorVersion, os.dwMinorVersion,
                                                 required->dwMajorVersion,
                                                 required->dwMinorVersion)) {
        app->SetState(stubinstaller_Cancelled_UnsupportedOS);
        if (quiet) return kavri::kExitNoAppOrOs;
        const INT_PTR answer = ShowErrorWithLink(nullptr, IDS_CAPTION_OS_NOT_SUPPORTED,
                                                 IDS_LINK_SUPPORTED_OS, IDS_MSG_OS_NOT_SUPPORTED, 0);
        if (answer == IDC_LINK) {
            kavri::RunFaultGuarded(&OpenHelpPage, const_cast<wchar_t*>(app->GetHelpUrl()));
        }
        return kavri::kExitNoAppOrOs;
    }
    if (GetTotalRamMB() < app->GetRequiredRamMB()) {
        if (!quiet) ShowErrorMessage(nullptr, IDS_MSG_NOT_ENOUGH_RAM, app->GetRequiredRamMB());
        app->SetState(stubinstaller_Cancelled_InsufficentRAM);
        return kavri::kExitRam;
    }
    if (GetCpuMHz() < app->GetRequiredCpuMHz()) {
        if (!quiet) ShowErrorMessage(nullptr, IDS_MSG_CPU_TOO_SLOW, app->GetRequiredCpuMHz());
        app->SetState(stubinstaller_Cancelled_CPUnotSupported);
        return kavri::kExitCpu;
    }
    if (GetFreeDiskMB() < app->GetRequiredDiskMB()) {
        if (!quiet) ShowErrorMessage(nullptr, IDS_MSG_NOT_ENOUGH_DISK, app->GetRequiredDiskMB());
        app->SetState(stubinstaller_Cancelled_DiskSpace);
        return kavri::kExitDisk;
    }
    return 0;
}

}  // namespace

namespace kavri {

const wchar_t* GetUsageText() { return kUsageText; }

bool IsOsVersionSupported(DWORD major, DWORD minor, DWORD requiredMajor, DWORD requiredMinor) {
    return major > requiredMajor || (major == requiredMajor && minor >= requiredMinor);
}

namespace {

int RunSetupSteps() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetInstallerTitleSource(&ProductTitle);
    InstallCrashHandler();

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    // Quiet: nothing is shown, whatever happens; the exit code tells.
    const bool quiet = IsQuietCommandLine();
    CInstaller* app = CInstaller::GetInstance();
    if (!app) {
        if (!quiet) MessageBoxW(nullptr, kUsageText, L"Stub Installer", MB_OK);
        return kExitNoAppOrOs;
    }

    if (app->IsAlreadyRunning()) {
        if (quiet) return kExitOtherInstance;
        if (HWND other = FindWindowW(nullptr, app->GetProductName())) SetForegroundWindow(other);
        return kExitNoAppOrOs;
    }

    const LCID lcid = app->GetLcid();
    Guarded([lcid] { SetLanguage(lcid); });
    app->SetState(stubinstaller_Started);

    const int refused = CheckRequirements(app, quiet);
    if (refused != 0) return refused;

    if (quiet) return RunQuiet(app);
    ProgressFlow flow(app);
    return static_cast<int>(RunProgressWindow(nullptr, &flow));
}

}  // namespace

int RunSetup() {
    const int result = RunSetupSteps();
    // Tracking requests still on their way get one second in all; a silent
    // analytics host never holds up the end of the run longer.
    FlushTracking(kTrackingFlushMs);
    return result;
}

}  // namespace kavri
