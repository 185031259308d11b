// The coordinator's decisions as tables: what a worker's end means, what
// happens when none runs, what the first answer means while resuming, and
// the free space a file needs.
#include <gtest/gtest.h>

#include "common/ErrorCode.h"
#include "download/Supervision.h"

using namespace kavri;

TEST(Supervision, WorkerEnds) {
    const int kConn = kErrNoConnection;
    struct Row { WorkerOutcome o; EndAction action; int code; } rows[] = {
        {{0, 0, false, false}, EndAction::kDone, 0}, {{0, 5, true, false}, EndAction::kDone, 0},
        {{kErrWriteFile, 9, false, false}, EndAction::kEndRun, kErrWriteFile},
        {{kCancelled, 0, false, true}, EndAction::kEndRun, kCancelled},
        {{kErrProxyAuth, 3, false, false}, EndAction::kEndRun, kErrProxyAuth},  // no retry without credentials
        {{kErrHttpStatus, 0, false, true}, EndAction::kStartOver, 0},
        {{kConn, 1, false, false}, EndAction::kRestartNow, 0},  // it made progress
        {{kConn, 0, false, false}, EndAction::kPark, 0},
        {{kErrHttpStatus, 7, true, false}, EndAction::kPark, 0},  // refused for the limit: waits
    };
    for (const Row& r : rows) {
        const EndVerdict v = JudgeWorkerEnd(r.o);
        EXPECT_EQ(static_cast<int>(v.action), static_cast<int>(r.action)) << r.o.result << "/" << r.o.downloaded;
        if (r.action == EndAction::kEndRun) EXPECT_EQ(v.code, r.code);
    }
}

// Another source may go on with a download when it serves the same file;
// a failure of the source lets the next one go on, a local one does not.
TEST(Supervision, OtherSources) {
    const std::wstring v = L"\"v1\"";
    struct Row { FirstAnswer a; std::wstring planned; bool same; } rows[] = {
        {{true, 100, v}, v, true}, {{true, 100, L""}, v, true}, {{true, 100, v}, L"", true},
        {{true, 101, v}, v, false}, {{true, 100, L"\"v2\""}, v, false}, {{false, 100, v}, v, false},
        {{true, -1, L""}, L"", false},
    };
    for (const Row& r : rows) EXPECT_EQ(r.same, SameFileElsewhere(r.a, 100, r.planned)) << r.a.total;
    for (int code : {kErrNoConnection, kErrRead, kErrHttpStatus}) EXPECT_TRUE(IsSourceFailure(code)) << code;
    for (int code : {kOk, kCancelled, kErrWriteFile, kErrProxyAuth}) EXPECT_FALSE(IsSourceFailure(code)) << code;
}

// The ramp: 4 connections first, twice as many after each step that paid.
// Steps: rates in bytes a ms of the ramp's measured part of each step.
TEST(Supervision, ConnectionRamp) {
    struct Row { uint32_t allowed; std::vector<double> rates; int refusedAt; uint32_t open; } rows[] = {
        {10, {8, 16, 20}, -1, 10}, {16, {8, 16, 32}, -1, 16},  // every step pays (per-connection caps)
        {16, {8, 9, 9}, -1, 8},     // 8 bring little more than 4: no more
        {16, {8, 16}, 1, 8},        // a refusal ends the adding
        {3, {8}, -1, 3}, {16, {0, 0, 0}, -1, 16},  // nothing yet either way
    };
    for (const Row& r : rows) {
        ConnectionRamp ramp;
        uint32_t open = ramp.Start(r.allowed, 0);
        uint64_t now = 0, bytes = 0;
        for (size_t step = 0; step < r.rates.size() && !ramp.Done(); ++step) {
            open = ramp.Next(now += ConnectionRamp::kSettleMs, bytes, false);  // marks the measured part
            bytes += static_cast<uint64_t>(r.rates[step] * ConnectionRamp::kMeasureMs);
            open = ramp.Next(now += ConnectionRamp::kMeasureMs, bytes, static_cast<int>(step) == r.refusedAt);
        }
        EXPECT_EQ(r.open, open) << r.allowed << "/" << r.rates.size();
    }
}

TEST(Supervision, NoWorkerRuns) {
    const WorkerOutcome conn{kErrNoConnection, 0, false, false}, read{kErrRead, 0, false, false},
        limited{kErrHttpStatus, 0, true, false};
    struct Row { std::vector<WorkerOutcome> parked; int streak; bool fail; int code; uint32_t delay; } rows[] = {
        {{}, 1, true, kErrNoConnection, 0},
        {{conn, conn}, 1, true, kErrNoConnection, 0},      // all on the connection: the first's code
        {{{-502, 0, false, false}}, 1, true, -502, 0},
        {{read, conn}, 1, false, 0, 0},                    // another failure: restart at once
        {{read}, 6, false, 0, 0}, {{read}, 7, true, kErrNoConnection, 0},  // five retries: six restarts in a row
        {{conn, limited}, 1, false, 0, 100}, {{limited}, 2, false, 0, 200}, {{limited}, 4, false, 0, 800},
        {{limited}, 5, false, 0, 800},                     // at most 8 s (scaled by 10/1000)
        {{conn, {kErrHttpStatus, 0, true, false, 5000}}, 1, false, 0, 5000},  // at least what Retry-After asked
    };
    for (const Row& r : rows) {
        const StallVerdict v = JudgeStall(r.parked, r.streak, 5, 100);
        EXPECT_EQ(v.fail, r.fail) << r.parked.size() << "/" << r.streak;
        if (r.fail) EXPECT_EQ(v.code, r.code) << r.streak;
        if (!r.fail) EXPECT_EQ(v.delayMs, r.delay) << r.streak;
    }
    EXPECT_EQ(NextStreak(3, 100, 100), 4);
    EXPECT_EQ(NextStreak(3, 101, 100), 1);
}

TEST(Supervision, FirstAnswer) {
    const std::wstring v1 = L"\"v1\"";
    struct Row { FirstAnswer a; bool resuming; FirstMeaning meaning; } rows[] = {
        {{true, 1000, v1}, false, FirstMeaning::kPlan}, {{true, 1000, v1}, true, FirstMeaning::kPlan},
        {{true, 1000, L"\"v2\""}, true, FirstMeaning::kAskAgain}, {{true, 999, v1}, true, FirstMeaning::kAskAgain},
        {{false, -1, v1}, true, FirstMeaning::kWholeBody}, {{false, -1, L""}, false, FirstMeaning::kWholeBody},
        {{true, -1, v1}, false, FirstMeaning::kNoTotal},
    };
    for (const Row& r : rows)
        EXPECT_EQ(static_cast<int>(JudgeFirstAnswer(r.a, r.resuming, 1000, v1)), static_cast<int>(r.meaning))
            << r.a.total << "/" << r.resuming;
    struct Space { uint64_t available; int64_t size; bool ok; } spaces[] = {
        {3000, 1000, true}, {2999, 1000, false}, {0, -1, true}, {0, 0, true}, {UINT64_MAX, INT64_MAX, false}};
    for (const Space& s : spaces) EXPECT_EQ(EnoughSpace(s.available, s.size), s.ok) << s.available;
}
