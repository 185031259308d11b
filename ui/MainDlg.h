// The progress window: owns the download coordinator, runs the download,
// shows its notifications, asks what to do when a download fails, confirms a
// cancel and hands the downloaded file to the installation flow.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "download/Downloader.h"
#include "ui/Dialog.h"
#include "ui/TransferText.h"

class MainDlg final : public Dialog {
public:
    explicit MainDlg(HINSTANCE instance);
    ~MainDlg();

    BOOL OnInitDialog(DialogMessage* msg) override;
    int OnShow(DialogMessage* msg) override;
    BOOL OnCommand(WORD id, WORD code) override;
    int OnClose(DialogMessage* msg) override;

    static void OnWebConfigEvent(CDownloader* sender, DownloadEvent event);
    static void OnDownloadEvent(CDownloader* sender, DownloadEvent event);

    // True when the window was told to close, false when a new run started.
    bool HandleDownloadFailure(int code);

    // Stops notifications, cancels a running download and deletes the
    // downloader once no notification runs any more (bounded wait). False
    // when one is still running: then nothing is deleted.
    bool ReleaseDownloader();
    static constexpr DWORD kNotificationWaitMs = 45000;

private:
    void OnWebConfigEvent(int state, int64_t bytes);
    void OnDownloadEvent(int state, int64_t bytes);
    // SetUrl + SetCallback + Run; false (logged) when the URL is empty or
    // refused or the run did not start. Never throws.
    bool StartDownload(const wchar_t* url, DownloadCallback callback);
    // Run again after a failure, after Reset(true) when asked. Never throws.
    bool RunAgain(bool resetFirst);
    // Before a new run: undoes what a confirmed cancel froze.
    void ResumeProgressDisplay();
    // Feeds the rate and, at most every kTransferIntervalMs, shows the
    // transfer line. Segment threads; takes m_progressLock.
    void UpdateTransferLine(int64_t bytes);
    static constexpr ULONGLONG kTransferIntervalMs = 250;

    std::atomic<int> m_confirming;
    CDownloader* m_downloader;
    // The largest percentage shown since the download started (-1: none).
    std::atomic<int> m_shownPercent;
    // 1 once a cancel was confirmed during a download.
    std::atomic<int> m_cancelling;
    // Serialises the bar and percentage updates of the segment threads; the
    // interface thread never takes it.
    std::mutex m_progressLock;
    kavri::RateMeter m_rate;         // under m_progressLock
    ULONGLONG m_lastTransferTick;    // under m_progressLock; 0: not shown yet
    // Notifications still running on coordinator threads.
    std::atomic<int> m_notifying;
    // 1 once the window object is being destroyed: notifications are ignored.
    std::atomic<int> m_detached;
    // The result the window ends with when it closes itself.
    std::atomic<int> m_exitCode;
};

// Runs the progress window modally; returns its result (0, or -1).
INT_PTR RunProgressWindow(HINSTANCE instance);

namespace kavri {
// The percentage for a byte count: false when no percentage can be shown
// (size unknown or 0); never above 100.
bool DownloadPercent(int64_t bytes, int64_t fileSize, uint32_t* percent);
// The space asked for after a disk-space failure: three times the file size
// in whole MB; 0 when the size is unknown.
uint32_t DiskSpaceNeededMB(int64_t fileSize);
}  // namespace kavri
