// The progress window's pure arithmetic: the percentage shown for a byte
// count and the space asked for after a disk-space failure.
#include <gtest/gtest.h>

#include <cstdint>

#include "ui/MainDlg.h"

namespace {

struct PercentCase {
    int64_t bytes;
    int64_t size;
    bool shown;
    uint32_t percent;
};

TEST(MainDlgPercent, Table) {
    const PercentCase cases[] = {
        {0, 1000, true, 0},
        {9, 1000, true, 0},             // truncated, not rounded
        {10, 1000, true, 1},
        {999, 1000, true, 99},
        {1000, 1000, true, 100},
        {1500, 1000, true, 100},        // never above 100 (the text buffer holds "100%")
        {5000000, 10000000, true, 50},
        {INT64_MAX / 2, INT64_MAX, true, 49},  // no overflow in bytes x 100
        {INT64_MAX, INT64_MAX, true, 100},
        {100, 0, false, 0},             // size 0: no percentage
        {100, -1, false, 0},            // size unknown
        {-1, 1000, false, 0},           // no bytes written yet
    };
    for (const PercentCase& c : cases) {
        uint32_t percent = 12345;
        const bool shown = kavri::DownloadPercent(c.bytes, c.size, &percent);
        EXPECT_EQ(c.shown, shown) << c.bytes << " of " << c.size;
        if (c.shown) EXPECT_EQ(c.percent, percent) << c.bytes << " of " << c.size;
    }
}

TEST(MainDlgDiskSpace, ThreeTimesTheSizeInWholeMB) {
    const struct {
        int64_t size;
        uint32_t mb;
    } cases[] = {
        {10LL * 1048576, 30},           // exactly 10 MB -> 30
        {10LL * 1048576 + 1048575, 30}, // divided before multiplied: 10 x 3
        {1048575, 0},
        {-1, 0},                        // size unknown
        {0, 0},
        {1LL << 50, 3221225472u},       // 1 PB advertised
        {INT64_MAX, UINT32_MAX},        // clamped, not wrapped
    };
    for (const auto& c : cases) EXPECT_EQ(c.mb, kavri::DiskSpaceNeededMB(c.size)) << c.size;
}

}  // namespace
