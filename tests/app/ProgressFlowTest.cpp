// The progress flow's decisions, by table: the answers to its questions, what
// a failure code leads to (the space asked for with it), how an ended download is taken.
#include <gtest/gtest.h>

#include <tuple>

#include "app/ProgressFlow.h"
#include "common/ErrorCode.h"
#include "i18n/LanguageResources.h"

using namespace kavri;
using flow::Choice;
using Plan = flow::FailurePlan;

TEST(ProgressFlow, Answers) {
    const struct { INT_PTR answer; Choice latest, retryOffer, retry, confirmAfterClosed, confirmAfterUnshown; } rows[] = {
        {1, Choice::kCheckWeb, Choice::kRetry, Choice::kRetry, Choice::kCancel, Choice::kCancel},
        {2, Choice::kLocal, Choice::kLocal, Choice::kCancel /* by button: as confirmed */, Choice::kAskAgain,
         Choice::kGiveUp},
        {0, Choice::kConfirm, Choice::kConfirm, Choice::kCancel, Choice::kAskAgain, Choice::kGiveUp},
        {-1, Choice::kConfirm, Choice::kConfirm, Choice::kCancel, Choice::kAskAgain, Choice::kGiveUp},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.latest, flow::LatestAnswer(r.answer)) << r.answer;
        EXPECT_EQ(r.retryOffer, flow::RetryAnswer(r.answer, true)) << r.answer;
        EXPECT_EQ(r.retry, flow::RetryAnswer(r.answer, false)) << r.answer;
        EXPECT_EQ(r.confirmAfterClosed, flow::AfterConfirm(r.answer, 0)) << r.answer;
        EXPECT_EQ(r.confirmAfterUnshown, flow::AfterConfirm(r.answer, -1)) << r.answer;
    }
}

TEST(ProgressFlow, Failures) {
    const int64_t size = 10LL * 1048576 + 1048575;  // whole MB first, then x 3: 30
    const UINT none = 0, cd = IDS_BTN_NO_INSTALL_FROM_CD, cancel = IDS_BTN_CANCEL, failed = IDS_MSG_DOWNLOAD_FAILED_RETRY;
    const struct { int code; bool offer; Plan::Kind kind; int event; UINT text, second; unsigned mb; bool reset; } rows[] = {
        {kOk, false, Plan::kClose, -1, none, none, 0, false},
        {kCancelled, true, Plan::kCancelled, stubinstaller_CancelledByUser, none, none, 0, false},
        {kErrDiskSpace, false, Plan::kDiskSpace, stubinstaller_Cancelled_DiskSpace, IDS_MSG_NOT_ENOUGH_DISK, none, 30, false},
        {kErrRead, false, Plan::kAsk, -1, IDS_MSG_NO_INTERNET, cancel, 0, false},
        {kErrHttpStatus, true, Plan::kAsk, -1, IDS_MSG_NO_INTERNET, cd, 0, false},
        {kErrNotVerified, true, Plan::kAsk, stubInstaller_DownloadError, failed, cd, 0, true},  // Retry: afresh
        {kErrWriteFile, false, Plan::kAsk, stubInstaller_DownloadError, failed, cancel, 0, true},
    };
    for (const auto& r : rows) {
        const Plan p = flow::PlanFailure(r.code, r.offer, size);
        EXPECT_EQ(std::make_tuple(r.kind, r.event, r.text, r.second, r.mb, r.reset),
                  std::make_tuple(p.kind, p.event, p.question.text, p.question.secondButton, p.question.value, p.resetFirst))
            << r.code;
    }
    // A proxy that wants credentials: asked four times at most, then the choices of any failed connection.
    for (const auto& r : {std::make_tuple(0, Plan::kProxyLogin, IDS_MSG_PROXY_LOGIN),
                          std::make_tuple(1, Plan::kProxyLogin, IDS_MSG_PROXY_LOGIN_AGAIN),
                          std::make_tuple(3, Plan::kProxyLogin, IDS_MSG_PROXY_LOGIN_AGAIN),
                          std::make_tuple(4, Plan::kAsk, IDS_MSG_NO_INTERNET)}) {
        const Plan p = flow::PlanFailure(kErrProxyAuth, true, size, std::get<0>(r));
        EXPECT_EQ(std::make_tuple(std::get<1>(r), -1, UINT(std::get<2>(r)), false),
                  std::make_tuple(p.kind, p.event, p.question.text, p.resetFirst)) << std::get<0>(r);
    }
}

TEST(ProgressFlow, EndsLaunchesAndDiskSpace) {
    const struct { Download download; bool complete, cancelConfirmed; flow::Ending ending; } rows[] = {
        {Download::kInstaller, true, false, flow::Ending::kLaunch},
        {Download::kWebConfig, true, false, flow::Ending::kLoadConfig},
        {Download::kWebConfig, false, false, flow::Ending::kFailure},
        {Download::kInstaller, false, true, flow::Ending::kCancelled},  // never "Download failed."
        {Download::kInstaller, true, true, flow::Ending::kCancelled},   // a confirmed cancel wins
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.ending, flow::ClassifyEnd({r.download, r.complete, kErrRead, r.cancelConfirmed, L"x", 5}));
    EXPECT_EQ(flow::AfterLaunch::kDone, flow::LaunchOutcome(kOk));
    EXPECT_EQ(flow::AfterLaunch::kFailure, flow::LaunchOutcome(kErrNotVerified));
    EXPECT_EQ(flow::AfterLaunch::kLaunchError, flow::LaunchOutcome(kErrLaunch));
    // The disk space asked for (whole MB x 3, with a size of 10.99 MB in Failures): unknown, huge, clamped.
    EXPECT_EQ(std::make_tuple(0u, 0u, 3221225472u, UINT32_MAX),
              std::make_tuple(flow::DiskSpaceNeededMB(-1), flow::DiskSpaceNeededMB(0),
                              flow::DiskSpaceNeededMB(1LL << 50), flow::DiskSpaceNeededMB(INT64_MAX)));
}
