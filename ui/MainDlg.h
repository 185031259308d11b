// The progress window: a view of the application's progress flow
// (ui/ProgressWindow.h). It owns the download coordinator, shows its stages
// and progress, confirms a cancel, and shows and carries out the steps the
// flow returns (questions, starts, retries, the close).
//
// Threads: the coordinator's notifications (OnNotification, on its threads)
// only post to the window: a state as kMsgState, progress as the latest byte
// count in an atomic plus at most one kMsgProgress waiting at a time. Every
// other member runs on the interface thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>

#include "download/Downloader.h"
#include "ui/Dialog.h"
#include "ui/ProgressWindow.h"
#include "ui/TransferText.h"

class MainDlg final : public Dialog {
public:
    MainDlg(HINSTANCE instance, kavri::IProgressFlow* flow);
    ~MainDlg();

    static constexpr UINT kMsgState = WM_APP + 1;     // wParam: a DownloadState other than progress
    static constexpr UINT kMsgProgress = WM_APP + 2;  // the byte count is in m_latestBytes

    void HandleMessage(DialogMessage* msg) override;
    BOOL OnInitDialog(DialogMessage* msg) override;
    int OnShow(DialogMessage* msg) override;
    BOOL OnCommand(WORD id, WORD code) override;
    int OnClose(DialogMessage* msg) override;

    // Stops notifications, cancels a running download and deletes the
    // downloader. False when a notification is still inside this object
    // after a bounded wait: then the object must be kept.
    bool ReleaseDownloader();
    static constexpr DWORD kNotificationWaitMs = 5000;

private:
    static void OnNotification(CDownloader* sender, DownloadEvent event);
    void OnState(int state);
    void OnProgress();
    void OnEnded(bool complete);
    // Carries out the flow's steps until one waits for the download or closes.
    void Perform(kavri::ProgressStep step);
    INT_PTR Ask(const kavri::Question& question);
    // False (logged) when the URL is empty or refused or the run did not start.
    bool StartDownload(kavri::Download download, const wchar_t* url, const std::vector<std::wstring>* mirrors);
    bool RunAgain(bool resetFirst);
    // prepare, then Run; what names the step in the log.
    bool Run(const wchar_t* what, const std::function<void()>& prepare);
    void ShowCancelling();
    // Posts the end held back by a question or by kCancellingMinMs.
    void PostDeferred();
    static constexpr ULONGLONG kCancellingMinMs = 400;  // "Cancelling..." is shown at least this long
    static constexpr UINT_PTR kCancellingTimer = 1;
    // Feeds the rate and, at most every kTransferIntervalMs, shows the line.
    void UpdateTransferLine(int64_t bytes);
    static constexpr ULONGLONG kTransferIntervalMs = 250;

    kavri::IProgressFlow* m_flow;
    CDownloader* m_downloader = nullptr;
    kavri::Download m_download = kavri::Download::kInstaller;
    bool m_running = false;       // a run was started and its end not yet taken
    bool m_transferring = false;  // the installer's data arrives: progress is shown
    bool m_cancelling = false;    // a cancel was confirmed while a run was on
    int m_asking = 0;             // questions of this window now open
    int m_deferred = -1;          // an end held back (PostDeferred)
    ULONGLONG m_cancelTick = 0;   // when the cancel was confirmed
    int m_shownPercent = -1;      // the largest percentage shown in this run
    int m_exitCode = 0;           // the result the window ends with when it closes itself
    kavri::RateMeter m_rate;
    ULONGLONG m_lastTransferTick = 0;  // 0: not shown yet

    // Shared with the coordinator's threads.
    std::atomic<HWND> m_target{nullptr};  // where notifications go; null once closed
    std::atomic<int64_t> m_latestBytes{-1};
    std::atomic<bool> m_progressPosted{false};
    std::atomic<int> m_notifying{0};
};
