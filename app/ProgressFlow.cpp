// The progress window's flow. See ProgressFlow.h.
#include "app/ProgressFlow.h"

#include "app/Installer.h"
#include "app/Startup.h"
#include "common/ErrorCode.h"
#include "i18n/LanguageResources.h"

namespace kavri {
namespace flow {

Choice LatestAnswer(INT_PTR answer) {
    return answer == 1 ? Choice::kCheckWeb : answer == 2 ? Choice::kLocal : Choice::kConfirm;
}

Choice RetryAnswer(INT_PTR answer, bool offer) {
    if (answer == 1) return Choice::kRetry;
    // The second button is either the local installer or "Cancel"; a cancel
    // chosen by button is recorded like one confirmed.
    if (answer == 2) return offer ? Choice::kLocal : Choice::kCancel;
    return offer ? Choice::kConfirm : Choice::kCancel;
}

Choice AfterConfirm(INT_PTR confirm, INT_PTR first) {
    if (confirm == 1) return Choice::kCancel;
    // Asks again only when the first box was just closed.
    return first == 0 ? Choice::kAskAgain : Choice::kGiveUp;
}

FailurePlan PlanFailure(int code, bool offer, int64_t fileSize, int proxyLogins) {
    if (code == kOk) return {FailurePlan::kClose, -1, {}, false};
    if (code == kCancelled) return {FailurePlan::kCancelled, stubinstaller_CancelledByUser, {}, false};
    if (code == kErrDiskSpace) {
        // The event follows the message.
        return {FailurePlan::kDiskSpace, stubinstaller_Cancelled_DiskSpace,
                {Question::kError, IDS_MSG_NOT_ENOUGH_DISK, 0, DiskSpaceNeededMB(fileSize)}, false};
    }
    if (code == kErrProxyAuth && proxyLogins < kMaxProxyLogins) {
        const UINT text = proxyLogins > 0 ? UINT(IDS_MSG_PROXY_LOGIN_AGAIN) : UINT(IDS_MSG_PROXY_LOGIN);
        return {FailurePlan::kProxyLogin, -1, {Question::kProxyLogin, text, 0, 0}, false};
    }
    const bool connection = IsConnectionError(code);
    const Question retry = {Question::kRetry, connection ? UINT(IDS_MSG_NO_INTERNET) : UINT(IDS_MSG_DOWNLOAD_FAILED_RETRY),
                            offer ? UINT(IDS_BTN_NO_INSTALL_FROM_CD) : UINT(IDS_BTN_CANCEL), 0};
    return {FailurePlan::kAsk, connection ? -1 : stubInstaller_DownloadError, retry, !connection};
}

Ending ClassifyEnd(const DownloadEnd& end) {
    if (end.cancelConfirmed) return Ending::kCancelled;
    if (!end.complete)
        return end.download == Download::kWebConfig && end.result == kErrTooLarge ? Ending::kRefusedConfig
                                                                                  : Ending::kFailure;
    return end.download == Download::kWebConfig ? Ending::kLoadConfig : Ending::kLaunch;
}

AfterLaunch LaunchOutcome(int launched) {
    if (launched == kOk) return AfterLaunch::kDone;
    return launched == kErrNotVerified ? AfterLaunch::kFailure : AfterLaunch::kLaunchError;
}

uint32_t DiskSpaceNeededMB(int64_t fileSize) {
    if (fileSize <= 0) return 0;
    const uint64_t mb = static_cast<uint64_t>(fileSize) / 1048576ull * 3ull;
    return mb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mb);
}

}  // namespace flow

namespace {

const Question kLatestQuestion = {Question::kYesNo, IDS_MSG_INSTALL_LATEST, IDS_BTN_NO_INSTALL_FROM_CD, 0};
const Question kConfirmQuestion = {Question::kConfirmCancel, IDS_MSG_CONFIRM_CANCEL, 0, 0};

}  // namespace

using flow::Choice;

ProgressFlow::ProgressFlow(CInstaller* app) : m_app(app), m_offer(app && app->CanInstallFromCD()) {}

const wchar_t* ProgressFlow::Title() { return m_app ? m_app->GetProductName() : nullptr; }
uint32_t ProgressFlow::MaxSegments() { return m_app ? m_app->GetMaxSegments() : 0; }
const wchar_t* ProgressFlow::DownloadFolder() { return m_app ? m_app->GetDownloadFolder() : nullptr; }

ProgressStep ProgressFlow::Begin() {
    if (!m_app) return Close(-1);
    if (m_offer) return Ask(Asked::kLatest, kLatestQuestion);
    return Start(Download::kInstaller, m_app->GetDownloadUrl(), false, -1);
}

ProgressStep ProgressFlow::Ask(Asked asked, const Question& question) {
    m_asked = asked;
    ProgressStep step;
    step.kind = ProgressStep::kAsk;
    step.question = question;
    return step;
}

ProgressStep ProgressFlow::Start(Download download, const wchar_t* url, bool localOnFailure, int exitOnFailure) {
    m_startFailLocal = localOnFailure;
    m_startFailExit = exitOnFailure;
    ProgressStep step;
    step.kind = ProgressStep::kStart;
    step.download = download;
    step.url = url;
    if (download == Download::kInstaller && m_app) step.mirrors = &m_app->GetMirrors();
    return step;
}

ProgressStep ProgressFlow::Close(int exitCode, int event, bool local) {
    if (local && m_app) m_app->InstallFromCD(nullptr);
    if (event >= 0 && m_app) m_app->SetState(static_cast<EInstallerState>(event));
    ProgressStep step;
    step.kind = ProgressStep::kClose;
    step.exitCode = exitCode;
    return step;
}

ProgressStep ProgressFlow::OnAnswer(INT_PTR answer) {
    const Asked asked = m_asked;
    m_asked = Asked::kNone;
    switch (asked) {
    case Asked::kLatest:
        return AnswerLatest(answer);
    case Asked::kLatestConfirm:
        switch (flow::AfterConfirm(answer, m_firstAnswer)) {
        case Choice::kCancel: return Close(-1, stubinstaller_CancelledByUser);
        case Choice::kAskAgain: return Ask(Asked::kLatest, kLatestQuestion);
        default: return Start(Download::kInstaller, m_app->GetDownloadUrl(), m_offer, -1);
        }
    case Asked::kRetry:
        return AnswerRetry(answer);
    case Asked::kRetryConfirm:
        switch (flow::AfterConfirm(answer, m_firstAnswer)) {
        case Choice::kCancel: return Close(0, stubinstaller_CancelledByUser);
        case Choice::kAskAgain: return Ask(Asked::kRetry, m_retry);
        default: return Close(0);
        }
    case Asked::kMessage:
        return Close(m_messageExit, m_messageEvent);
    case Asked::kProxyLogin:
        return AnswerProxyLogin(answer);
    default:
        return ProgressStep();
    }
}

ProgressStep ProgressFlow::AnswerLatest(INT_PTR answer) {
    switch (flow::LatestAnswer(answer)) {
    case Choice::kCheckWeb:
        m_app->SetState(stubInstaller_CheckNewVersion);
        return Start(Download::kWebConfig, m_app->GetWebConfigUrl(), true, -1);
    case Choice::kLocal:
        return Close(-1, -1, true);
    default:
        m_firstAnswer = answer;
        return Ask(Asked::kLatestConfirm, kConfirmQuestion);
    }
}

ProgressStep ProgressFlow::AnswerRetry(INT_PTR answer) {
    switch (flow::RetryAnswer(answer, m_offer)) {
    case Choice::kRetry:
        return RetryStep();
    case Choice::kLocal:
        return Close(0, -1, true);
    case Choice::kCancel:
        return Close(0, stubinstaller_CancelledByUser);
    default:
        m_firstAnswer = answer;
        return Ask(Asked::kRetryConfirm, kConfirmQuestion);
    }
}

ProgressStep ProgressFlow::RetryStep() {
    m_startFailLocal = false;
    m_startFailExit = 0;
    ProgressStep step;
    step.kind = ProgressStep::kRetry;
    step.resetFirst = m_retryReset;
    return step;
}

// OK: the download goes on with the credentials (what it has is kept);
// anything else: the choices of any failed connection.
ProgressStep ProgressFlow::AnswerProxyLogin(INT_PTR answer) {
    if (answer == 1) {
        m_retryReset = false;
        return RetryStep();
    }
    return Failure(kErrNoConnection, -1, 0);
}

ProgressStep ProgressFlow::OnStarted(bool started) {
    if (started) return ProgressStep();
    return Close(m_startFailExit, -1, m_startFailLocal);
}

void ProgressFlow::OnTransferStarting() {
    if (m_app) m_app->SetState(stubinstaller_DownloadStarted);
}

ProgressStep ProgressFlow::OnEnded(const DownloadEnd& end) {
    if (!m_app) return Close(0);
    switch (flow::ClassifyEnd(end)) {
    case flow::Ending::kCancelled:
        return Close(0, stubinstaller_CancelledByUser);
    case flow::Ending::kFailure:
        return Failure(end.result, end.fileSize, end.download == Download::kInstaller ? UINT(IDS_STATUS_FAILED) : 0u);
    case flow::Ending::kLoadConfig:
        if (m_app->LoadConfig(end.file)) return Start(Download::kInstaller, m_app->GetDownloadUrl(), true, 0);
        return Close(0, -1, true);
    case flow::Ending::kRefusedConfig:
        return Close(0, -1, true);
    case flow::Ending::kLaunch:
        break;
    }
    switch (flow::LaunchOutcome(m_app->LaunchMainInstaller(end.file))) {
    case flow::AfterLaunch::kDone:
        return Close(0);
    case flow::AfterLaunch::kFailure:  // refused and deleted: Retry downloads afresh
        return Failure(kErrNotVerified, end.fileSize, IDS_STATUS_FAILED);
    default: {  // the reason is in the log; the run ends with a code of its own
        m_messageExit = kExitLaunchFailed;
        m_messageEvent = -1;
        ProgressStep step = Ask(Asked::kMessage, {Question::kError, IDS_MSG_UNEXPECTED_ERROR, 0, 0});
        step.status = IDS_STATUS_FAILED;
        return step;
    }
    }
}

ProgressStep ProgressFlow::Failure(int code, int64_t fileSize, UINT status) {
    const flow::FailurePlan plan = flow::PlanFailure(code, m_offer, fileSize, m_proxyLogins);
    ProgressStep step;
    switch (plan.kind) {
    case flow::FailurePlan::kClose:
        step = Close(0);
        break;
    case flow::FailurePlan::kCancelled:
        step = Close(0, plan.event);
        break;
    case flow::FailurePlan::kDiskSpace:
        m_messageExit = 0;
        m_messageEvent = plan.event;
        step = Ask(Asked::kMessage, plan.question);
        break;
    case flow::FailurePlan::kAsk:
        if (plan.event >= 0) m_app->SetState(static_cast<EInstallerState>(plan.event));
        m_retry = plan.question;
        m_retryReset = plan.resetFirst;
        step = Ask(Asked::kRetry, plan.question);
        break;
    case flow::FailurePlan::kProxyLogin:
        ++m_proxyLogins;
        step = Ask(Asked::kProxyLogin, plan.question);
        break;
    }
    step.status = status;
    return step;
}

}  // namespace kavri
