// The coordinator's pure decisions: how a file is split, how long a failed
// segment waits before its restart, what the connectivity test does to the
// segment count, and how a taken file name is numbered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/FileWriter.h"
#include "download/Planner.h"

TEST(Planning, SegmentsOfAFile) {
    const uint64_t unknown = UINT64_MAX;
    struct Row { uint64_t size; bool ranges; uint32_t max; size_t count; uint64_t firstEnd, lastStart; } rows[] = {
        {10000000, true, 10, 9, 1111111, 8888888},  // 9 minimum-size pieces fit: 9, the remainder last
        {104857600, true, 10, 10, 10485760, 94371840},
        {2048000, true, 10, 2, 1024000, 1024000}, {1024000, true, 10, 1, 1024000, 0},
        {500000, true, 10, 1, 500000, 0}, {10000000, true, 1, 1, 10000000, 0},
        {10000000, false, 10, 1, 10000000, 0},  // no ranges: one segment
        {unknown, true, 10, 1, 0, 0},           // unknown size: one, to the end of the data
        {0, true, 10, 1, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.size) + "/" + std::to_string(r.max));
        const std::vector<kavri::SegmentPlan> plan = kavri::PlanSegments(r.size, r.ranges, r.max, 1024000);
        ASSERT_EQ(plan.size(), r.count);
        EXPECT_EQ(plan.front().start, 0u);
        EXPECT_EQ(plan.front().end, r.firstEnd);
        EXPECT_EQ(plan.back().start, r.lastStart);
        EXPECT_EQ(plan.back().end, r.size == unknown ? 0 : r.size);
        for (size_t i = 1; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i].start, plan[i - 1].end);
            EXPECT_TRUE(i + 1 == plan.size() || plan[i].end - plan[i].start == r.firstEnd);
        }
    }
}

TEST(Planning, RestartDelaySegmentCountAndNumberedName) {
    struct Delay { size_t remaining; uint32_t factor, ms; } delays[] = {
        {9, 1000, 0}, {10, 1000, 100}, {19, 1000, 100}, {20, 1000, 200}, {35, 1000, 300}, {10, 10, 1}, {50, 1, 0}};
    for (const Delay& c : delays)
        EXPECT_EQ(kavri::RestartDelayMs(c.remaining, c.factor), c.ms) << c.remaining << "/" << c.factor;
    // n probes with f failures: n - f + 1 segments, never below one.
    struct Adjust { uint32_t max, failures, result; } adjusts[] = {
        {10, 0, 11}, {10, 1, 10}, {10, 9, 2}, {10, 10, 1}, {1, 0, 2}, {3, 2, 2}, {10, 11, 1}};
    for (const Adjust& c : adjusts)
        EXPECT_EQ(kavri::AdjustMaxSegments(c.max, c.failures), c.result) << c.max << "/" << c.failures;
    // A taken file name gets a number before its extension.
    struct Name { std::wstring name; unsigned n; std::wstring result; } names[] = {
        {L"setup.exe", 1, L"setup[1].exe"}, {L"setup.exe", 12, L"setup[12].exe"},
        {L"archive.tar.gz", 2, L"archive.tar[2].gz"}, {L"README", 3, L"README[3]"},
        {std::wstring(300, L'a') + L".exe", 7, std::wstring(259, L'a')},  // cut to 259 characters
    };
    for (const Name& c : names) {
        wchar_t out[MAX_PATH];
        kavri::NumberedFileName(c.name.c_str(), c.n, out, MAX_PATH);
        EXPECT_EQ(std::wstring(out), c.result);
    }
}
