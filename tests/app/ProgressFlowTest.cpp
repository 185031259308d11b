// The progress flow's decisions: the answers to its questions, what a failure
// code leads to, how an ended download is taken, and the space asked for.
#include <gtest/gtest.h>

#include "app/ProgressFlow.h"
#include "common/ErrorCode.h"
#include "i18n/LanguageResources.h"

using namespace kavri;
using flow::Choice;

TEST(ProgressFlow, Answers) {
    const struct { INT_PTR answer; Choice latest, retryOffer, retry; } rows[] = {  // retry: no local installer
        {1, Choice::kCheckWeb, Choice::kRetry, Choice::kRetry},
        {2, Choice::kLocal, Choice::kLocal, Choice::kCancel},  // a cancel by button counts as confirmed
        {0, Choice::kConfirm, Choice::kConfirm, Choice::kCancel},
        {-1, Choice::kConfirm, Choice::kConfirm, Choice::kCancel},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.latest, flow::LatestAnswer(r.answer)) << r.answer;
        EXPECT_EQ(r.retryOffer, flow::RetryAnswer(r.answer, true)) << r.answer;
        EXPECT_EQ(r.retry, flow::RetryAnswer(r.answer, false)) << r.answer;
    }
    // The confirmation: a closed first box is asked again, one never shown is given up.
    EXPECT_EQ(Choice::kCancel, flow::AfterConfirm(1, 0));
    EXPECT_EQ(Choice::kAskAgain, flow::AfterConfirm(2, 0));
    EXPECT_EQ(Choice::kAskAgain, flow::AfterConfirm(0, 0));
    EXPECT_EQ(Choice::kGiveUp, flow::AfterConfirm(-1, -1));
}

TEST(ProgressFlow, Failures) {
    const int64_t size = 10LL * 1048576 + 1048575;
    const struct {
        int code; bool offer;
        flow::FailurePlan::Kind kind; int event; UINT text, second; unsigned value; bool reset;
    } rows[] = {
        {kOk, false, flow::FailurePlan::kClose, -1, 0, 0, 0, false},
        {kCancelled, true, flow::FailurePlan::kCancelled, stubinstaller_CancelledByUser, 0, 0, 0, false},
        {kErrDiskSpace, false, flow::FailurePlan::kDiskSpace, stubinstaller_Cancelled_DiskSpace, IDS_MSG_NOT_ENOUGH_DISK,
         0, 30 /* whole MB, then x 3 */, false},
        {kErrRead, false, flow::FailurePlan::kAsk, -1, IDS_MSG_NO_INTERNET, IDS_BTN_CANCEL, 0, false},
        {kErrOpenUrl, true, flow::FailurePlan::kAsk, -1, IDS_MSG_NO_INTERNET, IDS_BTN_NO_INSTALL_FROM_CD, 0, false},
        {kErrNotVerified, true, flow::FailurePlan::kAsk, stubInstaller_DownloadError, IDS_MSG_DOWNLOAD_FAILED_RETRY,
         IDS_BTN_NO_INSTALL_FROM_CD, 0, true},  // Retry downloads afresh
        {kErrWriteFile, false, flow::FailurePlan::kAsk, stubInstaller_DownloadError, IDS_MSG_DOWNLOAD_FAILED_RETRY,
         IDS_BTN_CANCEL, 0, true},
    };
    for (const auto& r : rows) {
        const flow::FailurePlan plan = flow::PlanFailure(r.code, r.offer, size);
        EXPECT_EQ(r.kind, plan.kind) << r.code;
        EXPECT_EQ(r.event, plan.event) << r.code;
        EXPECT_EQ(r.text, plan.question.text) << r.code;
        EXPECT_EQ(r.second, plan.question.secondButton) << r.code;
        EXPECT_EQ(r.value, plan.question.value) << r.code;
        EXPECT_EQ(r.reset, plan.resetFirst) << r.code;
    }
}

TEST(ProgressFlow, EndsAndLaunches) {
    const struct { Download download; bool complete, cancelConfirmed; flow::Ending ending; } rows[] = {
        {Download::kInstaller, true, false, flow::Ending::kLaunch},
        {Download::kWebConfig, true, false, flow::Ending::kLoadConfig},
        {Download::kInstaller, false, false, flow::Ending::kFailure},
        {Download::kWebConfig, false, false, flow::Ending::kFailure},
        {Download::kInstaller, false, true, flow::Ending::kCancelled},  // never "Download failed."
        {Download::kInstaller, true, true, flow::Ending::kCancelled},   // a confirmed cancel wins
    };
    for (const auto& r : rows) {
        const DownloadEnd end = {r.download, r.complete, kErrRead, r.cancelConfirmed, L"x.exe", 5};
        EXPECT_EQ(r.ending, flow::ClassifyEnd(end)) << r.complete << r.cancelConfirmed;
    }
    EXPECT_EQ(flow::AfterLaunch::kDone, flow::LaunchOutcome(kOk));
    EXPECT_EQ(flow::AfterLaunch::kFailure, flow::LaunchOutcome(kErrNotVerified));
    EXPECT_EQ(flow::AfterLaunch::kLaunchError, flow::LaunchOutcome(kErrLaunch));
}

TEST(ProgressFlow, DiskSpaceIsThreeTimesTheSizeInWholeMB) {
    const int64_t sizes[] = {10LL * 1048576, 1048575, -1, 0, 1LL << 50, INT64_MAX};
    const uint32_t mb[] = {30, 0, 0, 0, 3221225472u, UINT32_MAX /* clamped */};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(mb[i], flow::DiskSpaceNeededMB(sizes[i])) << sizes[i];
}
