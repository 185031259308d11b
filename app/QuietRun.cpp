// The unattended run. See QuietRun.h.
#include "app/QuietRun.h"

#include <random>
#include <string>

#include "app/Installer.h"
#include "app/Startup.h"
#include "common/ErrorCode.h"
#include "common/Handles.h"
#include "download/Downloader.h"
#include "log/Log.h"

namespace kavri {

namespace {

const CLog& Source() {
    static const CLog source(L"QuietRun");
    return source;
}

// What the downloader's final notification said, for the waiting thread.
struct Outcome {
    ScopedKernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool started = false;  // the download got to its start (size known)
    bool mainInstaller = false;  // only its start is an event, as in the window
    int result = kErrGeneric;
};

void OnEvent(CDownloader* sender, DownloadEvent event) {
    Outcome* outcome = static_cast<Outcome*>(event.context);
    if (!outcome) return;
    if (event.state == DOWNLOAD_STARTING) {
        outcome->started = true;
        CInstaller* app = outcome->mainInstaller ? CInstaller::GetInstance() : nullptr;
        if (app) app->SetState(stubinstaller_DownloadStarted);
    } else if (event.state == DOWNLOAD_COMPLETE || event.state == DOWNLOAD_FAILED) {
        outcome->result = event.state == DOWNLOAD_COMPLETE ? kOk : sender->GetResult();
        SetEvent(outcome->done.Get());
    }
}

// One run of the downloader to its end; the result code.
int RunOnce(CDownloader* downloader, bool reset, bool mainInstaller) {
    Outcome outcome;
    if (!outcome.done) return kErrGeneric;
    outcome.mainInstaller = mainInstaller;
    try {
        if (reset) downloader->Reset(true);
        downloader->SetCallback(&OnEvent);
        const int r = downloader->Run(&outcome);
        if (r != 0) return r;
    } catch (EErrorCode code) {
        return code;
    }
    WaitForSingleObject(outcome.done.Get(), INFINITE);
    return outcome.result;
}

// Downloads url, retrying on its own; for the main installer, a file that
// verification refuses is a failure like any other (Retry downloads afresh).
// 0, or the last failure's code.
int DownloadWithRetries(CInstaller* app, CDownloader* downloader, const wchar_t* url, bool mainInstaller,
                        DWORD* installerExit) {
    try {
        downloader->SetUrl(url);
        if (mainInstaller)
            for (const std::wstring& mirror : app->GetMirrors()) downloader->AddUrl(mirror.c_str());
        downloader->SetKind(mainInstaller ? DownloadKind::Program : DownloadKind::Settings);
    } catch (EErrorCode code) {
        LogError(&Source(), code, L":Download, \"%ls\" was refused.", url);
        return code;
    }
    std::mt19937 random(GetTickCount());
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int result = kErrGeneric;
    for (unsigned attempt = 0; attempt <= kQuietRetries; ++attempt) {
        if (attempt > 0) {
            const DWORD delay = QuietRetryDelayMs(attempt - 1, unit(random));
            LogWarning(&Source(), result, L":Download, retry %u of %u in %lu ms.", attempt, kQuietRetries,
                       static_cast<unsigned long>(delay));
            Sleep(delay);
        }
        // A connection that failed resumes; anything else starts afresh.
        result = RunOnce(downloader, attempt > 0 && !IsConnectionError(result), mainInstaller);
        if (result == kErrDiskSpace) {  // no retry helps; the progress window ends so too
            app->SetState(stubinstaller_Cancelled_DiskSpace);
            return result;
        }
        if (result == kErrTooLarge) return result;  // the same answer again
        if (result == kErrProxyAuth) {  // nobody to ask for credentials
            LogError(&Source(), result, L":Download, the proxy asks for a user name and password; a quiet run cannot give them.");
            return result;
        }
        if (result == kOk && mainInstaller)
            result = app->LaunchMainInstaller(downloader->GetFilePath(), app->GetConfig()->product.quietArgs.c_str(),
                                              installerExit);
        if (result == kOk || result == kErrLaunch) return result;
        // A refused file is a download error too, as in the window.
        if (!IsConnectionError(result)) app->SetState(stubInstaller_DownloadError);
    }
    LogError(&Source(), result, L":Download, \"%ls\" failed after %u retries.", url, kQuietRetries);
    return result;
}

int ExitFor(int result, DWORD installerExit) {
    if (result == kOk) return static_cast<int>(installerExit);
    if (result == kErrNotVerified) return kExitNotVerified;
    if (result == kErrLaunch) return kExitLaunchFailed;
    if (result == kErrDiskSpace) return kExitDisk;
    if (result == kErrProxyAuth) return kExitProxyAuth;
    return kExitDownloadFailed;
}

int StartLocal(CInstaller* app) {
    DWORD exitCode = 0;
    const std::wstring& args = app->GetConfig()->product.quietArgs;
    if (!app->StartLocalInstaller(args.empty() ? nullptr : args.c_str(), &exitCode)) return kExitLaunchFailed;
    return static_cast<int>(exitCode);
}

}  // namespace

DWORD QuietRetryDelayMs(unsigned retry, double unit) {
    const double base = 1000.0 * static_cast<double>(1u << (retry < 16 ? retry : 16));
    const double factor = 1.0 + 0.2 * (2.0 * (unit < 0 ? 0 : unit >= 1 ? 0.999999 : unit) - 1.0);
    return static_cast<DWORD>(base * factor);
}

int RunQuiet(CInstaller* app) {
    CDownloader downloader;
    downloader.SetMaxSegments(app->GetMaxSegments());
    if (const wchar_t* folder = app->GetDownloadFolder()) downloader.SetDownloadFolder(folder);
    DWORD installerExit = 0;

    if (app->CanInstallFromCD()) {
        // As a "Yes" to the question: a newer version is downloaded,
        // otherwise the local installer runs.
        app->SetState(stubInstaller_CheckNewVersion);
        const int config = DownloadWithRetries(app, &downloader, app->GetWebConfigUrl(), false, nullptr);
        if (config == kErrDiskSpace) return kExitDisk;
        if (config == kErrProxyAuth) return kExitProxyAuth;  // the installer's download would meet it too
        if (config != kOk || !app->LoadConfig(downloader.GetFilePath()) || !app->GetDownloadUrl())
            return StartLocal(app);
    }
    const wchar_t* url = app->GetDownloadUrl();
    if (!url) return StartLocal(app);
    const int result = DownloadWithRetries(app, &downloader, url, true, &installerExit);
    return ExitFor(result, installerExit);
}

}  // namespace kavri
