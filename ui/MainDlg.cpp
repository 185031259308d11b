// The progress window. See MainDlg.h.
//
// Every decision is the flow's (IProgressFlow); this file shows what the
// coordinator reports and carries out the flow's steps, all on the
// interface thread. A cancel the person confirmed while a run was on is
// final: "Cancelling..." stays until the window closes, and the run's end,
// whatever the coordinator reports, is taken as the cancel.
#include "ui/MainDlg.h"

#include <commctrl.h>

#include <cwchar>
#include <functional>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "i18n/LanguageResources.h"
#include "log/Log.h"
#include "ui/MsgBox.h"
#include "ui/ProxyLoginDlg.h"

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
        ShowWindow(line, show ? SW_SHOWNA : SW_HIDE);
        if (!show) SetWindowTextW(line, L"");  // hidden first: never an empty line on screen
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

}  // namespace

MainDlg::MainDlg(HINSTANCE instance, kavri::IProgressFlow* flow) : Dialog(instance), m_flow(flow) {}

MainDlg::~MainDlg() { ReleaseDownloader(); }

bool MainDlg::ReleaseDownloader() {
    m_target.store(nullptr);  // from here on notifications post nothing
    if (m_downloader) {
        kavri::Guarded([this] {
            if (m_downloader->IsBusy()) m_downloader->Cancel();
        });
        delete m_downloader;  // waits (bounded) for the coordinator's threads
        m_downloader = nullptr;
    }
    const ULONGLONG deadline = GetTickCount64() + kNotificationWaitMs;
    while (m_notifying.load() > 0 && GetTickCount64() < deadline) Sleep(10);
    if (m_notifying.load() == 0) return true;
    LogWarning(&Source(), -1, L":ReleaseDownloader, a download notification did not end in time; the window is kept.");
    return false;
}

void MainDlg::OnNotification(CDownloader*, DownloadEvent event) {
    MainDlg* self = static_cast<MainDlg*>(event.context);
    if (!self) return;
    self->m_notifying.fetch_add(1);
    if (HWND target = self->m_target.load()) {
        if (event.state == DOWNLOAD_PROGRESS) {
            // Merged: one message at a time waits, and it reads the latest count.
            self->m_latestBytes.store(event.bytesDone);
            if (!self->m_progressPosted.exchange(true) && !PostMessageW(target, kMsgProgress, 0, 0))
                self->m_progressPosted.store(false);
        } else if (!PostMessageW(target, kMsgState, static_cast<WPARAM>(event.state), 0)) {
            LogError(&Source(), -1, L":OnNotification, state %d could not be posted, error %lu",
                     static_cast<int>(event.state), GetLastError());
        }
    }
    self->m_notifying.fetch_sub(1);
}

void MainDlg::HandleMessage(DialogMessage* msg) {
    switch (msg->message) {
    case kMsgState:
        if (!kavri::Guarded([&] { OnState(static_cast<int>(msg->wParam)); }))
            LogError(&Source(), -1, L":HandleMessage, unexpected error on state %d", static_cast<int>(msg->wParam));
        return;
    case kMsgProgress:
        kavri::Guarded([this] { OnProgress(); });
        return;
    case WM_TIMER:
        if (msg->wParam != kCancellingTimer) break;
        KillTimer(GetWindow(), kCancellingTimer);
        PostDeferred();
        return;
    case WM_DESTROY:
        m_target.store(nullptr);
        break;
    default:
        break;
    }
    Dialog::HandleMessage(msg);
}

BOOL MainDlg::OnInitDialog(DialogMessage*) {
    HWND window = GetWindow();
    ShowWindow(GetDlgItem(window, IDCANCEL), SW_HIDE);
    if (HMENU menu = GetSystemMenu(window, FALSE))
        EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED);
    if (const wchar_t* title = m_flow->Title()) SetWindowTextW(window, title);
    SetDlgItemTextW(window, IDCANCEL, GetString(IDS_BTN_CANCEL));
    SetStatus(window, GetString(IDS_STATUS_PREPARING));
    SetPercentText(window, L"");
    try {
        m_downloader = new CDownloader();
        if (const uint32_t segments = m_flow->MaxSegments()) {
            m_downloader->SetMaxSegments(segments);
            m_downloader->SetDownloadFolder(m_flow->DownloadFolder());
        }
    } catch (kavri::EErrorCode code) {
        LogError(&Source(), code, L":OnInitDialog, the downloader could not be prepared.");
    } catch (...) {
        LogError(&Source(), -1, L":OnInitDialog, the downloader could not be created.");
    }
    m_target.store(window);
    return TRUE;
}

int MainDlg::OnShow(DialogMessage*) {
    StartMarquee(GetWindow());
    Perform(m_flow->Begin());
    return 1;
}

BOOL MainDlg::OnCommand(WORD id, WORD) {
    if (id == IDCANCEL || id == IDCLOSE) {
        SendMessageW(GetWindow(), WM_CLOSE, 0, 0);
        return 1;
    }
    return 0;
}

int MainDlg::OnClose(DialogMessage* msg) {
    if (msg->lParam != 0) {
        msg->result = m_exitCode;
        return 1;
    }
    // One of the window's own questions is open (the confirmation among them).
    if (m_asking > 0) return 0;
    if (Ask({kavri::Question::kConfirmCancel, IDS_MSG_CONFIRM_CANCEL, 0, 0}) != 1) return 0;
    if (!m_running) return 1;
    ShowCancelling();
    // The run's end closes the window.
    if (m_downloader->IsBusy()) m_downloader->CancelAsync();
    return 0;
}

void MainDlg::ShowCancelling() {
    HWND window = GetWindow();
    m_cancelling = true;
    m_cancelTick = GetTickCount64();
    m_transferring = false;
    SetStatus(window, GetString(IDS_STATUS_CANCELLING));
    SetPercentText(window, L"");
    EnableWindow(GetDlgItem(window, IDCANCEL), FALSE);
    StartMarquee(window);
}

void MainDlg::Perform(kavri::ProgressStep step) {
    for (;;) {
        if (step.status && !m_cancelling) SetStatus(GetWindow(), GetString(step.status));
        switch (step.kind) {
        case kavri::ProgressStep::kAsk:
            step = m_flow->OnAnswer(Ask(step.question));
            break;
        case kavri::ProgressStep::kStart:
            step = m_flow->OnStarted(StartDownload(step.download, step.url, step.mirrors));
            break;
        case kavri::ProgressStep::kRetry:
            step = m_flow->OnStarted(RunAgain(step.resetFirst));
            break;
        case kavri::ProgressStep::kClose:
            m_exitCode = step.exitCode;
            CloseProgressWindow(GetWindow());
            return;
        default:  // kWait
            return;
        }
    }
}

INT_PTR MainDlg::Ask(const kavri::Question& q) {
    HWND window = GetWindow();
    ++m_asking;
    INT_PTR answer = -1;
    switch (q.kind) {
    case kavri::Question::kYesNo: answer = AskYesNo(q.text, q.secondButton, window); break;
    case kavri::Question::kRetry: answer = AskRetry(q.text, q.secondButton, window); break;
    case kavri::Question::kConfirmCancel: answer = ConfirmCancel(q.text, IDS_CAPTION_CANCEL, window); break;
    case kavri::Question::kError: answer = ShowErrorMessage(window, q.text, q.value); break;
    case kavri::Question::kProxyLogin: answer = AskProxyLogin(q.text, window); break;
    default: break;
    }
    if (--m_asking == 0) PostDeferred();
    return answer;
}

void MainDlg::PostDeferred() {
    if (m_deferred < 0) return;
    PostMessageW(GetWindow(), kMsgState, static_cast<WPARAM>(m_deferred), 0);
    m_deferred = -1;
}

bool MainDlg::StartDownload(kavri::Download download, const wchar_t* url, const std::vector<std::wstring>* mirrors) {
    if (!url || !*url) {
        LogError(&Source(), kavri::kErrBadArgument, L":StartDownload, no URL to download.");
        return false;
    }
    return Run(L"StartDownload", [&] {
        m_downloader->SetUrl(url);
        if (mirrors)
            for (const std::wstring& mirror : *mirrors) m_downloader->AddUrl(mirror.c_str());
        // The web configuration must be current; the installer may come
        // from a cache and survives a restart half-way.
        m_downloader->SetKind(download == kavri::Download::kWebConfig ? DownloadKind::Settings : DownloadKind::Program);
        m_downloader->SetCallback(&MainDlg::OnNotification);
        m_download = download;
    });
}

bool MainDlg::RunAgain(bool resetFirst) {
    return Run(L"RunAgain", [&] {
        if (!resetFirst) return;
        LogInfo(&Source(), L":RunAgain, reset before the retry.");
        m_downloader->Reset(true);
    });
}

bool MainDlg::Run(const wchar_t* what, const std::function<void()>& prepare) {
    m_running = false;
    if (!m_downloader) return false;
    try {
        prepare();
        const int r = m_downloader->Run(this);
        if (r != 0) LogError(&Source(), r, L":%ls, the download did not start.", what);
        m_running = r == 0;
    } catch (kavri::EErrorCode code) {
        LogError(&Source(), code, L":%ls, the download was refused.", what);
    } catch (...) {
        LogError(&Source(), -1, L":%ls, unexpected error.", what);
    }
    return m_running;
}

void MainDlg::OnState(int state) {
    if (state == DOWNLOAD_COMPLETE || state == DOWNLOAD_FAILED) return OnEnded(state == DOWNLOAD_COMPLETE);
    if (!m_running || !m_downloader) return;
    HWND window = GetWindow();
    const bool installer = m_download == kavri::Download::kInstaller;
    if (state == DOWNLOAD_STARTING && installer) {
        m_flow->OnTransferStarting();
        if (m_cancelling) return;
        SetStatus(window, GetString(IDS_STATUS_DOWNLOADING));
        // With the size unknown there is no percentage to show: the bar
        // keeps its marquee.
        uint32_t percent = 0;
        if (kavri::DownloadPercent(0, m_downloader->GetFileSize(), &percent)) StopMarquee(window);
        m_shownPercent = -1;
        m_rate.Clear();
        m_lastTransferTick = 0;
        m_transferring = true;
    } else if (m_cancelling) {
        // "Cancelling..." stands until the window closes.
    } else if (state == DOWNLOAD_CONNECTING) {
        SetStatus(window, GetString(IDS_STATUS_CONNECTING));
        if (!installer) return;
        StartMarquee(window);
        SetPercentText(window, L"");
        m_shownPercent = -1;
        m_transferring = false;
    } else if (state == DOWNLOAD_TESTING && installer) {
        SetStatus(window, GetString(IDS_STATUS_PREPARING));
    }
}

void MainDlg::OnEnded(bool complete) {
    if (!m_running || !m_downloader) return;
    // Taken once the window asks nothing more, and once "Cancelling..." has
    // been seen (a cancel often ends within a few milliseconds).
    const ULONGLONG shown = GetTickCount64() - m_cancelTick;
    if (m_asking > 0 || (m_cancelling && shown < kCancellingMinMs)) {
        m_deferred = complete ? DOWNLOAD_COMPLETE : DOWNLOAD_FAILED;
        if (m_asking == 0) SetTimer(GetWindow(), kCancellingTimer, static_cast<UINT>(kCancellingMinMs - shown), nullptr);
        return;
    }
    m_running = false;
    m_transferring = false;
    HWND window = GetWindow();
    if (complete && m_download == kavri::Download::kInstaller && !m_cancelling) {
        SetStatus(window, GetString(IDS_STATUS_COMPLETE));
        SetBarPos(window, 0);
        SetPercentText(window, L"100%");
    }
    const wchar_t* file = m_downloader->GetFilePath();
    if (m_cancelling && file && *file && GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES) {
        // The run ended on its own before it saw the cancel: what it left goes too.
        kavri::Guarded([this] { m_downloader->Reset(true); });
    }
    const kavri::DownloadEnd end = {m_download, complete, m_downloader->GetResult(), m_cancelling, file,
                                    m_downloader->GetFileSize()};
    Perform(m_flow->OnEnded(end));
}

void MainDlg::OnProgress() {
    m_progressPosted.store(false);
    const int64_t bytes = m_latestBytes.load();
    uint32_t percent = 0;
    if (!m_transferring || !m_downloader || !kavri::DownloadPercent(bytes, m_downloader->GetFileSize(), &percent))
        return;
    UpdateTransferLine(bytes);
    // Only a larger value is shown: the bar never steps back, and an
    // unchanged value costs no message to the window.
    if (static_cast<int>(percent) <= m_shownPercent) return;
    m_shownPercent = static_cast<int>(percent);
    HWND window = GetWindow();
    SetBarPos(window, percent);
    wchar_t text[5];
    _snwprintf(text, 5, L"%u%%", percent);
    text[4] = L'\0';
    SetPercentText(window, text);
}

void MainDlg::UpdateTransferLine(int64_t bytes) {
    const int64_t size = m_downloader->GetFileSize();
    if (size <= 0 || bytes < 0) return;
    const ULONGLONG now = GetTickCount64();
    m_rate.Add(now, static_cast<uint64_t>(bytes));
    // At most four changes a second: a text that changes faster is unreadable.
    if (m_lastTransferTick != 0 && now - m_lastTransferTick < kTransferIntervalMs) return;
    m_lastTransferTick = now;
    static const std::wstring decimal = kavri::UserDecimalSeparator();
    const std::wstring text = kavri::FormatTransferLine(static_cast<uint64_t>(bytes), static_cast<uint64_t>(size),
                                                        m_rate.BytesPerSecond(), decimal);
    HWND window = GetWindow();
    SetDlgItemTextW(window, IDC_TRANSFER, text.c_str());
    ShowTransferLine(window, true);
}

INT_PTR RunProgressWindow(HINSTANCE instance, kavri::IProgressFlow* flow) {
    if (!flow) return -1;
    MainDlg* dialog = new MainDlg(instance, flow);
    const INT_PTR result = dialog->DoModal(IDD_PROGRESS, nullptr);
    // A notification still inside the window object keeps it alive: it is
    // left to the process exit rather than freed under it.
    if (dialog->ReleaseDownloader()) delete dialog;
    return result;
}
