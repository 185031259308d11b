// The one header of ui/ that the application sees: the progress window as a
// view of an application-level flow (IProgressFlow, which the application
// implements), and the few messages the start-up and the crash handler show.
//
// Threads: the window and every IProgressFlow call run on the interface
// thread (the one that calls RunProgressWindow). The download coordinator's
// notifications only post to the window; nothing of the flow runs on them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavri {

enum class Download { kWebConfig, kInstaller };

// A question or message the window shows with itself as owner; the flow is
// told the answer (MsgBox.h: 1 first button, 2 second, 0 closed, -1 not shown).
// kProxyLogin asks for the proxy's user name and password: 1 (OK) means they
// were stored for the run's requests (net/ProxyCredentials.h).
struct Question {
    enum Kind { kNone, kYesNo, kRetry, kConfirmCancel, kError, kProxyLogin };
    Kind kind = kNone;
    UINT text = 0;
    UINT secondButton = 0;  // kYesNo, kRetry
    unsigned value = 0;     // %2 of a kError text
};

// What the window does next for the flow.
struct ProgressStep {
    enum Kind {
        kWait,   // a download runs: wait for its next notification
        kAsk,    // show `question`, then IProgressFlow::OnAnswer
        kStart,  // start `download` from `url`, then IProgressFlow::OnStarted
        kRetry,  // run the same download again (after a reset when resetFirst), then OnStarted
        kClose,  // close the window with exitCode
    };
    Kind kind = kWait;
    UINT status = 0;  // a status line text to show first; 0: unchanged
    Question question;
    Download download = Download::kInstaller;
    const wchar_t* url = nullptr;
    const std::vector<std::wstring>* mirrors = nullptr;  // kStart: other sources of url's file
    bool resetFirst = false;
    int exitCode = 0;
};

// How a download ended, as the window saw it on the interface thread.
struct DownloadEnd {
    Download download;
    bool complete;          // the coordinator's last word: complete (else failed)
    int result;             // its result code
    bool cancelConfirmed;   // the person confirmed a cancel while it ran
    const wchar_t* file;    // the downloaded file
    int64_t fileSize;       // -1: unknown
};

class IProgressFlow {
public:
    virtual ~IProgressFlow() = default;
    virtual const wchar_t* Title() = 0;
    virtual uint32_t MaxSegments() = 0;
    virtual const wchar_t* DownloadFolder() = 0;
    // The window is shown: the first step.
    virtual ProgressStep Begin() = 0;
    virtual ProgressStep OnAnswer(INT_PTR answer) = 0;
    virtual ProgressStep OnStarted(bool started) = 0;
    // The installer's data begins to arrive.
    virtual void OnTransferStarting() = 0;
    virtual ProgressStep OnEnded(const DownloadEnd& end) = 0;
};

}  // namespace kavri

// Runs the progress window modally; returns its result (0, -1 or the exit
// code the flow closed it with).
INT_PTR RunProgressWindow(HINSTANCE instance, kavri::IProgressFlow* flow);

// The installer title of every message: source() when set and not empty,
// else the default name (string 101). source runs on the showing thread.
void SetInstallerTitleSource(const wchar_t* (*source)());

// Messages by string id; %1 of every text is the installer title.
INT_PTR ShowErrorMessage(HWND owner, UINT textId, unsigned value);
INT_PTR ShowErrorWithLink(HWND owner, UINT captionId, UINT linkId, UINT textId, unsigned value);
