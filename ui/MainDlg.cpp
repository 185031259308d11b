// The progress window. See MainDlg.h.
//
// Threads: OnInitDialog, OnShow, OnCommand and OnClose run on the interface
// thread. The download notifications run on the coordinator's threads (the
// main download thread for states 0, 1, 2, 4, 5; segment threads for state 3,
// several at once). They touch the window only through messages to it and
// its controls, and every decision they take (retry questions, the next run,
// the launches, the recorded events) stays on the main download thread with
// the window as owner of the dialogs.
#include "ui/MainDlg.h"

#include <commctrl.h>

#include <climits>
#include <cwchar>

#include "app/Installer.h"
#include "app/Startup.h"
#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "i18n/LanguageResources.h"
#include "log/Log.h"
#include "ui/MsgBox.h"
#include "ui/TransferText.h"

namespace {

const CLog& Source() {
    static const CLog source(L"MainDlg");
    return source;
}

// The status line is the template's one static with id -1; a classic
// template stores that id as 0xFFFF, an extended one as 0xFFFFFFFF.
HWND StatusLine(HWND window) {
    HWND item = GetDlgItem(window, -1);
    if (!item) item = GetDlgItem(window, 0xFFFF);
    return item;
}

void SetStatus(HWND window, const wchar_t* text) {
    if (HWND item = StatusLine(window)) SetWindowTextW(item, text ? text : L"");
}

void SetPercentText(HWND window, const wchar_t* text) {
    SetDlgItemTextW(window, IDC_PERCENT, text ? text : L"");
}

// Marquee on: the style and the animation go together; a bar that only has
// the style does not move.
void ShowTransferLine(HWND window, bool show);

void StartMarquee(HWND window) {
    ShowTransferLine(window, false);
    HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    if (!bar) return;
    LONG style = GetWindowLongW(bar, GWL_STYLE);
    if (!(style & PBS_MARQUEE)) SetWindowLongW(bar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 100);
}

void StopMarquee(HWND window) {
    HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    if (!bar) return;
    LONG style = GetWindowLongW(bar, GWL_STYLE);
    if (style & PBS_MARQUEE) {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
    }
}

// The transfer line goes with a known size and a moving bar, never with the
// marquee.
void ShowTransferLine(HWND window, bool show) {
    if (HWND line = GetDlgItem(window, IDC_TRANSFER)) {
        if (!show) SetWindowTextW(line, L"");
        ShowWindow(line, show ? SW_SHOWNA : SW_HIDE);
    }
}

void SetBarPos(HWND window, unsigned pos) {
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, pos, 0);
}

// Closing from the window's own logic: lParam 1 makes OnClose let it through
// without asking.
void CloseProgressWindow(HWND window) {
    if (window) SendMessageW(window, WM_CLOSE, 1, 1);
}

CInstaller* App() { return CInstaller::GetInstance(); }

}  // namespace

namespace kavri {

bool DownloadPercent(int64_t bytes, int64_t fileSize, uint32_t* percent) {
    if (fileSize <= 0 || bytes < 0) return false;
    const uint64_t done = static_cast<uint64_t>(bytes);
    const uint64_t size = static_cast<uint64_t>(fileSize);
    uint64_t value;
    if (done >= size) {
        value = 100;
    } else if (done <= UINT64_MAX / 100) {
        value = done * 100 / size;
    } else {
        // done x 100 would overflow: the largest p with done >= p x size / 100,
        // with p x size / 100 rounded up and computed as p x a + p x b / 100
        // for size = 100a + b, which stays in range.
        const uint64_t a = size / 100, b = size % 100;
        value = 0;
        for (uint64_t p = 100; p > 0; --p) {
            if (done >= p * a + (p * b + 99) / 100) {
                value = p;
                break;
            }
        }
    }
    if (value > 100) value = 100;
    if (percent) *percent = static_cast<uint32_t>(value);
    return true;
}

uint32_t DiskSpaceNeededMB(int64_t fileSize) {
    if (fileSize <= 0) return 0;
    const uint64_t mb = static_cast<uint64_t>(fileSize) / 1048576ull * 3ull;
    return mb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mb);
}

}  // namespace kavri

MainDlg::MainDlg(HINSTANCE instance)
    : Dialog(instance), m_confirming(0), m_downloader(nullptr), m_shownPercent(-1),
      m_cancelling(0), m_notifying(0), m_detached(0), m_lastTransferTick(0), m_exitCode(0) {}

MainDlg::~MainDlg() { ReleaseDownloader(); }

bool MainDlg::ReleaseDownloader() {
    if (!m_downloader) return true;
    // From here on notifications are ignored; one that is still on its way
    // out (it has just closed this window and may still wait for a tracking
    // request) is let finish, and a download that still runs is stopped,
    // before the coordinator goes away under them.
    m_detached.store(1);
    kavri::Guarded([this] {
        if (m_downloader->IsBusy()) m_downloader->Cancel();
    });
    const ULONGLONG deadline = GetTickCount64() + kNotificationWaitMs;
    while (m_notifying.load() > 0 && GetTickCount64() < deadline) Sleep(10);
    if (m_notifying.load() > 0) {
        LogWarning(&Source(), -1, L":ReleaseDownloader, a download notification did not end in time; "
                                  L"the downloader is kept.");
        return false;
    }
    delete m_downloader;
    m_downloader = nullptr;
    return true;
}

BOOL MainDlg::OnInitDialog(DialogMessage* msg) {
    HWND window = GetWindow();
    ShowWindow(GetDlgItem(window, IDCANCEL), SW_HIDE);
    if (HMENU menu = GetSystemMenu(window, FALSE))
        EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED);

    if (CInstaller* app = App()) SetWindowTextW(window, app->GetProductName());
    SetDlgItemTextW(window, IDCANCEL, GetString(IDS_BTN_CANCEL));
    SetStatus(window, GetString(IDS_STATUS_PREPARING));
    SetPercentText(window, L"");

    try {
        m_downloader = new CDownloader();
        if (CInstaller* app = App()) {
            m_downloader->SetMaxSegments(app->GetMaxSegments());
            m_downloader->SetDownloadFolder(app->GetDownloadFolder());
        }
    } catch (kavri::EErrorCode code) {
        LogError(&Source(), code, L":OnInitDialog, the downloader could not be prepared.");
    } catch (...) {
        LogError(&Source(), -1, L":OnInitDialog, the downloader could not be created.");
    }
    return TRUE;
}

bool MainDlg::StartDownload(const wchar_t* url, DownloadCallback callback) {
    if (!m_downloader) return false;
    if (!url || !*url) {
        LogError(&Source(), kavri::kErrBadArgument, L":StartDownload, no URL to download.");
        return false;
    }
    try {
        m_downloader->SetUrl(url);
        // The web configuration must be current; the installer may come
        // from a cache and survives a restart half-way.
        const bool settings = callback == static_cast<DownloadCallback>(&MainDlg::OnWebConfigEvent);
        m_downloader->SetKind(settings ? DownloadKind::Settings : DownloadKind::Program);
        m_downloader->SetCallback(callback);
        ResumeProgressDisplay();
        const int r = m_downloader->Run(this);
        if (r != 0) LogError(&Source(), r, L":StartDownload, the download did not start.");
        return r == 0;
    } catch (kavri::EErrorCode code) {
        LogError(&Source(), code, L":StartDownload, \"%ls\" was refused.", url);
    } catch (...) {
        LogError(&Source(), -1, L":StartDownload, unexpected error starting \"%ls\".", url);
    }
    return false;
}

void MainDlg::ResumeProgressDisplay() {
    // A cancel confirmed during the last run froze the bar and the percentage.
    // That run ended with something other than the cancel (it failed or
    // completed at the same moment) and a new one starts now: its progress
    // is shown again, and the Cancel button works again.
    if (m_cancelling.exchange(0) != 0) EnableWindow(GetDlgItem(GetWindow(), IDCANCEL), TRUE);
}

bool MainDlg::RunAgain(bool resetFirst) {
    if (!m_downloader) return false;
    try {
        if (resetFirst) {
            LogInfo(&Source(), L":RunAgain, reset before the retry.");
            m_downloader->Reset(true);
        }
        ResumeProgressDisplay();
        const int r = m_downloader->Run(this);
        if (r != 0) LogError(&Source(), r, L":RunAgain, the download did not start.");
        return r == 0;
    } catch (kavri::EErrorCode code) {
        LogError(&Source(), code, L":RunAgain, the download could not be restarted.");
    } catch (...) {
        LogError(&Source(), -1, L":RunAgain, unexpected error.");
    }
    return false;
}

int MainDlg::OnShow(DialogMessage* msg) {
    HWND window = GetWindow();
    StartMarquee(window);
    CInstaller* app = App();
    if (!app) return 0;

    const bool offer = app->CanInstallFromCD();
    if (offer) {
        INT_PTR answer = 0;
        do {
            answer = AskYesNo(IDS_MSG_INSTALL_LATEST, IDS_BTN_NO_INSTALL_FROM_CD, window);
            if (answer == 1) {
                app->SetState(stubInstaller_CheckNewVersion);
                if (StartDownload(app->GetWebConfigUrl(), &MainDlg::OnWebConfigEvent)) return 1;
                app->InstallFromCD(window);
                return 0;
            }
            if (answer == 2) {
                app->InstallFromCD(window);
                return 0;
            }
            const INT_PTR confirm =
                ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, IDS_CAPTION_CANCEL, window);
            if (confirm == 1) {
                app->SetState(stubinstaller_CancelledByUser);
                return 0;
            }
        } while (answer == 0);
    }

    if (StartDownload(app->GetDownloadUrl(), &MainDlg::OnDownloadEvent)) return 1;
    if (offer) app->InstallFromCD(window);
    return 0;
}

BOOL MainDlg::OnCommand(WORD id, WORD code) {
    if (id == IDCANCEL || id == IDCLOSE) {
        SendMessageW(GetWindow(), WM_CLOSE, 0, 0);
        return 1;
    }
    return 0;
}

int MainDlg::OnClose(DialogMessage* msg) {
    if (msg->lParam != 0) {
        msg->result = m_exitCode.load();
        return 1;
    }
    if (m_confirming.load() != 0) return 0;

    HWND window = GetWindow();
    m_confirming.store(1);
    const INT_PTR answer = ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, IDS_CAPTION_CANCEL, window);
    m_confirming.store(0);
    if (answer != 1) return 0;
    if (!m_downloader || !m_downloader->IsBusy()) return 1;

    m_cancelling.store(1);  // progress notifications stop updating the window
    SetStatus(window, GetString(IDS_STATUS_CANCELLING));
    SetPercentText(window, L"");
    EnableWindow(GetDlgItem(window, IDCANCEL), FALSE);
    StartMarquee(window);

    if (m_downloader->IsBusy()) {
        // The coordinator's final notification (failed, result 1) closes us.
        m_downloader->CancelAsync();
        return 0;
    }
    m_downloader->Cancel();
    if (CInstaller* app = App()) app->SetState(stubinstaller_CancelledByUser);
    return 1;
}

void MainDlg::OnWebConfigEvent(CDownloader* sender, DownloadEvent event) {
    MainDlg* self = static_cast<MainDlg*>(event.context);
    if (!self) return;
    self->m_notifying.fetch_add(1);
    if (!self->m_detached.load())
        kavri::Guarded([&] { self->OnWebConfigEvent(event.state, event.bytesDone); });
    self->m_notifying.fetch_sub(1);
}

void MainDlg::OnDownloadEvent(CDownloader* sender, DownloadEvent event) {
    MainDlg* self = static_cast<MainDlg*>(event.context);
    if (!self) return;
    self->m_notifying.fetch_add(1);
    if (!self->m_detached.load())
        kavri::Guarded([&] { self->OnDownloadEvent(event.state, event.bytesDone); });
    self->m_notifying.fetch_sub(1);
}

void MainDlg::OnWebConfigEvent(int state, int64_t bytes) {
    HWND window = GetWindow();
    CInstaller* app = App();
    if (!app || !m_downloader) return;
    switch (state) {
    case DOWNLOAD_CONNECTING:
        SetStatus(window, GetString(IDS_STATUS_CONNECTING));
        break;
    case DOWNLOAD_COMPLETE:
        if (app->LoadConfig(m_downloader->GetFilePath()) &&
            StartDownload(app->GetDownloadUrl(), &MainDlg::OnDownloadEvent)) {
            break;
        }
        app->InstallFromCD(window);
        CloseProgressWindow(window);
        break;
    case DOWNLOAD_FAILED:
        // A web configuration too large to be one is refused like any other
        // that cannot be taken: the local installer runs.
        if (m_downloader->GetResult() == kavri::kErrTooLarge) {
            app->InstallFromCD(window);
            CloseProgressWindow(window);
            break;
        }
        HandleDownloadFailure(m_downloader->GetResult());
        break;
    default:
        break;
    }
}

void MainDlg::OnDownloadEvent(int state, int64_t bytes) {
    HWND window = GetWindow();
    if (!m_downloader) return;
    switch (state) {
    case DOWNLOAD_CONNECTING:
        SetStatus(window, GetString(IDS_STATUS_CONNECTING));
        StartMarquee(window);
        SetPercentText(window, L"");
        m_shownPercent.store(-1);
        break;
    case DOWNLOAD_TESTING:
        SetStatus(window, GetString(IDS_STATUS_PREPARING));
        break;
    case DOWNLOAD_STARTING: {
        SetStatus(window, GetString(IDS_STATUS_DOWNLOADING));
        // With the size unknown there is no percentage to show: the bar
        // keeps its marquee.
        uint32_t percent = 0;
        if (kavri::DownloadPercent(bytes < 0 ? 0 : bytes, m_downloader->GetFileSize(), &percent))
            StopMarquee(window);
        m_shownPercent.store(-1);
        {
            std::lock_guard<std::mutex> lock(m_progressLock);
            m_rate.Clear();
            m_lastTransferTick = 0;
        }
        if (CInstaller* app = App()) app->SetState(stubinstaller_DownloadStarted);
        break;
    }
    case DOWNLOAD_PROGRESS: {
        uint32_t percent = 0;
        if (!kavri::DownloadPercent(bytes, m_downloader->GetFileSize(), &percent)) break;
        UpdateTransferLine(bytes);
        // Segment threads report concurrently. Only a larger value is shown,
        // and bar and text are set together under the lock, so the bar never
        // steps back, the two always agree, and unchanged values cost no
        // message to the window.
        if (m_cancelling.load() || static_cast<int>(percent) <= m_shownPercent.load()) break;
        std::lock_guard<std::mutex> lock(m_progressLock);
        if (m_cancelling.load() || static_cast<int>(percent) <= m_shownPercent.load()) break;
        m_shownPercent.store(static_cast<int>(percent));
        SetBarPos(window, percent);
        wchar_t text[5];
        _snwprintf(text, 5, L"%u%%", percent);
        text[4] = L'\0';
        SetPercentText(window, text);
        // A cancel confirmed meanwhile cleared the text before this update
        // reached the window: clear it again, so "Cancelling..." stands alone.
        if (m_cancelling.load()) SetPercentText(window, L"");
        break;
    }
    case DOWNLOAD_COMPLETE:
        SetStatus(window, GetString(IDS_STATUS_COMPLETE));
        SetBarPos(window, 0);
        SetPercentText(window, L"100%");
        if (CInstaller* app = App()) {
            // A refused file was deleted: the failure takes the generic way,
            // and Retry downloads afresh.
            const int launched = app->LaunchMainInstaller(m_downloader->GetFilePath());
            if (launched == kavri::kErrNotVerified) {
                SetStatus(window, GetString(IDS_STATUS_FAILED));
                HandleDownloadFailure(kavri::kErrNotVerified);
                break;
            }
            // The reason is in the log; the person is told, and the run ends
            // with a code of its own rather than as a success.
            if (launched != kavri::kOk) {
                SetStatus(window, GetString(IDS_STATUS_FAILED));
                ShowErrorMessage(window, IDS_MSG_UNEXPECTED_ERROR, 0);
                m_exitCode.store(kavri::kExitLaunchFailed);
            }
        }
        CloseProgressWindow(window);
        break;
    case DOWNLOAD_FAILED:
        SetStatus(window, GetString(IDS_STATUS_FAILED));
        HandleDownloadFailure(m_downloader->GetResult());
        break;
    default:
        break;
    }
}

void MainDlg::UpdateTransferLine(int64_t bytes) {
    const int64_t size = m_downloader ? m_downloader->GetFileSize() : -1;
    if (size <= 0 || bytes < 0 || m_cancelling.load()) return;
    std::lock_guard<std::mutex> lock(m_progressLock);
    const ULONGLONG now = GetTickCount64();
    m_rate.Add(now, static_cast<uint64_t>(bytes));
    // At most four changes a second: a text that changes faster is unreadable.
    if (m_lastTransferTick != 0 && now - m_lastTransferTick < kTransferIntervalMs) return;
    m_lastTransferTick = now;
    static const std::wstring decimal = kavri::UserDecimalSeparator();
    const std::wstring text = kavri::FormatTransferLine(static_cast<uint64_t>(bytes), static_cast<uint64_t>(size),
                                                        m_rate.BytesPerSecond(), decimal);
    if (m_cancelling.load()) return;
    HWND window = GetWindow();
    SetDlgItemTextW(window, IDC_TRANSFER, text.c_str());
    ShowTransferLine(window, true);
    // A cancel confirmed while this update was on its way hid the line before
    // the update reached it: hide it again, so "Cancelling..." stands alone.
    if (m_cancelling.load()) ShowTransferLine(window, false);
}

bool MainDlg::HandleDownloadFailure(int code) {
    HWND window = GetWindow();
    CInstaller* app = App();
    if (!app) {
        CloseProgressWindow(window);
        return true;
    }
    const bool offer = app->CanInstallFromCD();

    if (code == kavri::kOk) {
        CloseProgressWindow(window);
        return true;
    }
    if (code == kavri::kCancelled) {
        app->SetState(stubinstaller_CancelledByUser);
        CloseProgressWindow(window);
        return true;
    }
    if (code == kavri::kErrDiskSpace) {
        const int64_t size = m_downloader ? m_downloader->GetFileSize() : -1;
        ShowErrorMessage(window, IDS_MSG_NOT_ENOUGH_DISK, kavri::DiskSpaceNeededMB(size));
        app->SetState(stubinstaller_Cancelled_DiskSpace);
        CloseProgressWindow(window);
        return true;
    }

    const bool connection = kavri::IsConnectionError(code);
    const UINT message = connection ? IDS_MSG_NO_INTERNET : IDS_MSG_DOWNLOAD_FAILED_RETRY;
    if (!connection) app->SetState(stubInstaller_DownloadError);

    INT_PTR answer = 0;
    while (answer == 0) {
        answer = offer ? AskRetry(message, IDS_BTN_NO_INSTALL_FROM_CD, window)
                       : AskRetry(message, window);
        if (answer == 1) {
            if (RunAgain(!connection)) return false;
            break;
        }
        if (answer == 2) {
            // The second button is either the local installer or "Cancel";
            // a cancel chosen by button is recorded like one confirmed.
            if (offer)
                app->InstallFromCD(window);
            else
                app->SetState(stubinstaller_CancelledByUser);
            break;
        }
        if (offer) {
            const INT_PTR confirm =
                ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, IDS_CAPTION_CANCEL, window);
            if (confirm != 1) continue;  // asks again only when the box was just closed
        }
        app->SetState(stubinstaller_CancelledByUser);
        break;
    }
    CloseProgressWindow(window);
    return true;
}

INT_PTR RunProgressWindow(HINSTANCE instance) {
    MainDlg* dialog = new MainDlg(instance);
    const INT_PTR result = dialog->DoModal(IDD_PROGRESS, nullptr);
    // A notification thread that is still inside the window object keeps it
    // alive: it is left to the process exit rather than freed under it.
    if (dialog->ReleaseDownloader()) delete dialog;
    return result;
}
