// The coordinator's pure decisions: how a file is split, how long a failed
// segment waits before its restart, what the connectivity test does to the
// segment count, and how a taken file name is numbered.
#include <gtest/gtest.h>

#include <vector>

#include "download/Downloader.h"

using kavri::SegmentPlan;

namespace {

const uint64_t kMinSegment = 1024000;
const uint64_t kUnknown = UINT64_MAX;

}  // namespace

TEST(PlanSegments, SplitTable) {
    struct Case {
        uint64_t size;
        bool ranges;
        uint32_t maxSegments;
        size_t count;
        uint64_t firstEnd;  // end of segment 1
        uint64_t lastStart;
    } cases[] = {
        {10000000, true, 10, 9, 1111111, 8888888},     // q = 9 < 10: 9 of 1,111,111, remainder last
        {104857600, true, 10, 10, 10485760, 94371840},  // q = 102 > 10
        {104857600, true, 11, 11, 9532509, 95325090},
        {500000, true, 10, 1, 500000, 0},               // smaller than one segment
        {1024000, true, 10, 1, 1024000, 0},
        {2048000, true, 10, 2, 1024000, 1024000},
        {10000000, true, 1, 1, 10000000, 0},
        {10000000, false, 10, 1, 10000000, 0},          // no ranges: one segment whatever maxSegments is
        {104857600, false, 10, 1, 104857600, 0},
        {kUnknown, true, 10, 1, 0, 0},                  // unknown size: to the end of the data
        {kUnknown, false, 10, 1, 0, 0},
        {0, true, 10, 1, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<SegmentPlan> plan = kavri::PlanSegments(c.size, c.ranges, c.maxSegments, kMinSegment);
        ASSERT_EQ(plan.size(), c.count) << c.size << "/" << c.maxSegments;
        EXPECT_EQ(plan.front().start, 0u);
        EXPECT_EQ(plan.front().end, c.firstEnd) << c.size;
        EXPECT_EQ(plan.back().start, c.lastStart) << c.size;
        if (c.size != kUnknown && c.size != 0) {
            EXPECT_EQ(plan.back().end, c.size);
        }
        for (size_t i = 1; i < plan.size(); ++i) EXPECT_EQ(plan[i].start, plan[i - 1].end) << "contiguous";
    }
}

TEST(PlanSegments, TenMillionGivesNineEqualSegmentsAndTheRemainderLast) {
    std::vector<SegmentPlan> plan = kavri::PlanSegments(10000000, true, 10, kMinSegment);
    ASSERT_EQ(plan.size(), 9u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(plan[i].end - plan[i].start, 1111111u);
    EXPECT_EQ(plan[8].start, 8888888u);
    EXPECT_EQ(plan[8].end, 10000000u);
}

TEST(RestartDelayMs, GrowsByATenthOfTheFactorPerTenSegments) {
    struct Case { size_t remaining; uint32_t factor; uint32_t delay; } cases[] = {
        {0, 1000, 0}, {1, 1000, 0}, {9, 1000, 0}, {10, 1000, 100}, {19, 1000, 100},
        {20, 1000, 200}, {29, 1000, 200}, {35, 1000, 300}, {10, 10, 1}, {10, 0, 0}, {50, 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kavri::RestartDelayMs(c.remaining, c.factor), c.delay) << c.remaining << "/" << c.factor;
}

TEST(AdjustMaxSegments, ProbesFailedGiveNMinusFPlusOne) {
    struct Case { uint32_t max; uint32_t failures; uint32_t result; } cases[] = {
        {10, 0, 11}, {10, 1, 10}, {10, 9, 2}, {10, 10, 1}, {1, 0, 2}, {1, 1, 1}, {3, 2, 2},
        {10, 11, 1},  // more failures than probes never drops below one segment
    };
    for (const Case& c : cases)
        EXPECT_EQ(kavri::AdjustMaxSegments(c.max, c.failures), c.result) << c.max << "/" << c.failures;
}

TEST(NumberedFileName, NumberGoesBeforeTheExtension) {
    struct Case { const wchar_t* name; unsigned n; const wchar_t* result; } cases[] = {
        {L"setup.exe", 1, L"setup[1].exe"},
        {L"setup.exe", 12, L"setup[12].exe"},
        {L"archive.tar.gz", 2, L"archive.tar[2].gz"},
        {L"README", 3, L"README[3]"},
        {L"", 1, L"[1]"},
    };
    for (const Case& c : cases) {
        wchar_t out[MAX_PATH];
        kavri::NumberedFileName(c.name, c.n, out, MAX_PATH);
        EXPECT_STREQ(out, c.result);
    }
}

TEST(NumberedFileName, StaysWithin259Characters) {
    std::wstring longName(300, L'a');
    longName += L".exe";
    wchar_t out[MAX_PATH];
    kavri::NumberedFileName(longName.c_str(), 7, out, MAX_PATH);
    EXPECT_EQ(wcslen(out), 259u);
}
