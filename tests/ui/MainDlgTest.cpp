// The percentage the progress window shows for a byte count.
#include <gtest/gtest.h>

#include <cstdint>

#include "ui/MainDlg.h"

namespace {

TEST(MainDlgPercent, Table) {
    const struct {
        int64_t bytes, size;
        bool shown;
        uint32_t percent;
    } cases[] = {
        {0, 1000, true, 0},      {9, 1000, true, 0},  {10, 1000, true, 1},  // truncated, not rounded
        {999, 1000, true, 99},   {1000, 1000, true, 100},
        {1500, 1000, true, 100},  // never above 100
        {INT64_MAX / 2, INT64_MAX, true, 49}, {INT64_MAX, INT64_MAX, true, 100},  // no overflow in bytes x 100
        {100, 0, false, 0},      {100, -1, false, 0}, {-1, 1000, false, 0},  // size 0 or unknown, no bytes
    };
    for (const auto& c : cases) {
        uint32_t percent = 12345;
        EXPECT_EQ(c.shown, kavri::DownloadPercent(c.bytes, c.size, &percent)) << c.bytes << " of " << c.size;
        EXPECT_EQ(c.shown ? c.percent : 12345, percent) << c.bytes << " of " << c.size;
    }
}

// More bytes never show a smaller percentage, for small and for huge sizes.
TEST(MainDlgPercent, NeverGoesBackwards) {
    for (const int64_t size : {int64_t{997}, int64_t{500000000}, INT64_MAX / 3, INT64_MAX}) {
        uint32_t last = 0, percent = 0;
        for (int step = 0; step <= 1000; ++step) {
            ASSERT_TRUE(kavri::DownloadPercent(step == 1000 ? size : size / 1000 * step, size, &percent));
            EXPECT_GE(percent, last) << step << "/1000 of " << size;
            last = percent;
        }
        EXPECT_EQ(100u, last) << size;
    }
}

}  // namespace
