// The flow behind the progress window: what to ask, what to record, what to
// start, and when to end. The window (ui/MainDlg) is its view: it shows the
// steps this flow returns and tells it the answers and how downloads end.
//
// The decisions are pure functions (kavri::flow), tested by tables;
// ProgressFlow strings them together and carries out their effects on the
// application object (events, the web configuration, the launches).
//
// Threads: everything runs on the interface thread.
#pragma once

#include <cstdint>

#include "app/InstallerState.h"
#include "ui/ProgressWindow.h"

class CInstaller;

namespace kavri {
namespace flow {

enum class Choice {
    kCheckWeb,  // fetch the web configuration first
    kLocal,     // start the local installer and end
    kRetry,     // run the download again
    kCancel,    // record a cancel and end
    kConfirm,   // ask whether to cancel
    kAskAgain,  // the question was closed and the cancel not confirmed: ask again
    kGiveUp,    // neither question was shown: carry on without an answer
};

// The answer to "install the latest version?" (1 yes, 2 the local installer).
Choice LatestAnswer(INT_PTR answer);
// The answer to a retry question; with offer its second button is the local
// installer, else "Cancel".
Choice RetryAnswer(INT_PTR answer, bool offer);
// The answer to the cancel confirmation asked after `first`.
Choice AfterConfirm(INT_PTR confirm, INT_PTR first);

// A proxy that asks for credentials is asked about this many times in a run
// at most (the first time, and three times more after a refusal).
constexpr int kMaxProxyLogins = 4;

// What a failed download's code leads to; proxyLogins: how often the proxy's
// credentials were asked for already.
struct FailurePlan {
    enum Kind { kClose, kCancelled, kDiskSpace, kAsk, kProxyLogin };
    Kind kind;
    int event;          // -1: none; kDiskSpace: recorded after the message, else at once
    Question question;  // kAsk: the retry question; kDiskSpace: the message; kProxyLogin: its text
    bool resetFirst;    // kAsk: Retry downloads afresh
};
FailurePlan PlanFailure(int code, bool offer, int64_t fileSize, int proxyLogins = 0);

// How an ended download is taken. A cancel the person confirmed wins over
// whatever the coordinator reported.
// kRefusedConfig: a web configuration too large to be one, refused like any
// other that cannot be taken (the local installer runs).
enum class Ending { kCancelled, kLoadConfig, kRefusedConfig, kLaunch, kFailure };
Ending ClassifyEnd(const DownloadEnd& end);

// After the main installer's launch (its result code): 0 done, else a failure
// code to handle (refused: the generic failure, Retry downloads afresh), or
// kErrLaunch: message 590 and the launch exit code.
enum class AfterLaunch { kDone, kFailure, kLaunchError };
AfterLaunch LaunchOutcome(int launched);

// The space asked for after a disk-space failure: three times the file size
// in whole MB; 0 when the size is unknown.
uint32_t DiskSpaceNeededMB(int64_t fileSize);

}  // namespace flow

class ProgressFlow final : public IProgressFlow {
public:
    explicit ProgressFlow(CInstaller* app);

    const wchar_t* Title() override;
    uint32_t MaxSegments() override;
    const wchar_t* DownloadFolder() override;
    ProgressStep Begin() override;
    ProgressStep OnAnswer(INT_PTR answer) override;
    ProgressStep OnStarted(bool started) override;
    void OnTransferStarting() override;
    ProgressStep OnEnded(const DownloadEnd& end) override;

private:
    enum class Asked { kNone, kLatest, kLatestConfirm, kRetry, kRetryConfirm, kMessage, kProxyLogin };
    ProgressStep Ask(Asked asked, const Question& question);
    ProgressStep Start(Download download, const wchar_t* url, bool localOnFailure, int exitOnFailure);
    ProgressStep Failure(int code, int64_t fileSize, UINT status);
    // Records `event` (>= 0) and, with local, starts the local installer first.
    ProgressStep Close(int exitCode, int event = -1, bool local = false);
    ProgressStep AnswerLatest(INT_PTR answer);
    ProgressStep AnswerRetry(INT_PTR answer);
    ProgressStep AnswerProxyLogin(INT_PTR answer);
    ProgressStep RetryStep();

    CInstaller* m_app;
    bool m_offer;
    Asked m_asked = Asked::kNone;
    INT_PTR m_firstAnswer = 0;     // the question the confirmation follows
    Question m_retry;              // the retry question being asked
    bool m_retryReset = false;
    int m_messageExit = 0;         // kMessage: the exit code once it is read,
    int m_messageEvent = -1;       // and the event then recorded (-1: none)
    bool m_startFailLocal = false; // a start that fails: the local installer,
    int m_startFailExit = 0;       // and this exit code
    int m_proxyLogins = 0;         // times the proxy's credentials were asked for
};

}  // namespace kavri
