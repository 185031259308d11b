// The progress texts: the transfer line in the languages' own units, with the
// separator given, the rate it shows (smoothed over about 3 s, unknown before
// 1 s), and the percentage for a byte count.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "i18n/LanguageResources.h"
#include "ui/TransferText.h"

namespace {

const uint64_t KB = 1024, MB = KB * 1024, GB = MB * 1024, kSizeOnly = ~0ull;
const LCID kEn = 0x409, kDe = 1031, kFr = 1036;

TEST(TransferText, SizesAndLines) {
    const struct {
        LCID lcid;
        uint64_t done, size;  // kSizeOnly: FormatSize(done)
        double rate;
        const wchar_t* text;
    } cases[] = {
        {kEn, 1023, kSizeOnly, 0, L"0 KB"}, {kEn, MB - 1, kSizeOnly, 0, L"1023 KB"},  // whole KB below 1 MB
        {kEn, MB, kSizeOnly, 0, L"1.0 MB"}, {kEn, MB * 105 / 100 + 1, kSizeOnly, 0, L"1.1 MB"},  // tenths, rounded
        {kEn, MB * 104 / 100, kSizeOnly, 0, L"1.0 MB"}, {kEn, GB * 125 / 10, kSizeOnly, 0, L"12.5 GB"},
        {kEn, GB - 1, kSizeOnly, 0, L"1.0 GB"},        {kFr, 3 * GB, kSizeOnly, 0, L"3,0 Go"},
        {kEn, MB * 34 / 10, 12 * MB, 0, L"3.4 MB of 12.0 MB"},  // no rate yet
        {kEn, 4 * MB, 12 * MB, 2.0 * MB, L"4.0 MB of 12.0 MB (2.0 MB/s), 0:04 left"},
        {kEn, 4 * MB, 12 * MB, 3.0 * MB, L"4.0 MB of 12.0 MB (3.0 MB/s), 0:03 left"},  // 2.7 s
        {kEn, 100 * KB, 3 * MB, 500.0 * KB, L"100 KB of 3.0 MB (500 KB/s), 0:06 left"},
        {kEn, 0, 3600 * MB, 1.0 * MB, L"0 KB of 3.5 GB (1.0 MB/s), 1:00:00 left"},
        {kEn, 0, 2 * GB, 10.0 * KB, L"0 KB of 2.0 GB (10 KB/s), 58:15:16 left"},
        {kEn, 13 * MB, 12 * MB, 1.0 * MB, L"12.0 MB of 12.0 MB (1.0 MB/s), 0:00 left"},
        {kEn, 5 * MB, 0, 1.0 * MB, L""},  // size unknown: no line
        {kDe, MB * 34 / 10, 12 * MB, 0, L"3,4 MB von 12,0 MB"},
        {kDe, 4 * MB, 12 * MB, 2.0 * MB, L"4,0 MB von 12,0 MB (2,0 MB/s), noch 0:04"},
        {kFr, 4 * MB, 12 * MB, 2.0 * MB, L"4,0 Mo sur 12,0 Mo (2,0 Mo/s), il reste 0:04"},
    };
    for (const auto& c : cases) {
        SetLanguage(c.lcid);
        const std::wstring decimal = c.lcid == kEn ? L"." : L",";
        EXPECT_EQ(c.text, c.size == kSizeOnly ? kavri::FormatSize(c.done, decimal)
                                              : kavri::FormatTransferLine(c.done, c.size, c.rate, decimal))
            << c.lcid << ": " << c.done << " of " << c.size;
    }
    SetLanguage(kEn);
}

TEST(TransferText, RateSmoothedOverThreeSeconds) {
    using Samples = std::vector<std::pair<uint64_t, uint64_t>>;
    auto steady = [](uint64_t untilMs, Samples more) {  // 1 MB/s (1000 bytes a ms), a sample every 250 ms
        Samples s;
        for (uint64_t t = 0; t <= untilMs; t += 250) s.emplace_back(t, t * 1000);
        s.insert(s.end(), more.begin(), more.end());
        return s;
    };
    const std::tuple<const char*, Samples, double> cases[] = {  // what, samples (ms, total), bytes a second
        {"none", {}, 0}, {"one", {{0, 5000}}, 0}, {"under 1 s", steady(750, {}), 0}, {"1 s", steady(1000, {}), 1e6},
        {"burst", steady(5000, {{5250, 7250000}}), 5e6 / 3},  // 2 MB more in 250 ms: over the last 3 s
        {"stall", steady(5000, {{6500, 5000000}}), 5e5},      // nothing for 1.5 s: likewise
        {"sparse", {{0, 0}, {10000, 10000000}}, 1e6}, {"total goes back", steady(5000, {{5250, 1000}}), 1e6},
        {"time goes back", steady(5000, {{4000, 9000000}}), 1e6},
    };
    for (const auto& c : cases) {
        kavri::RateMeter meter;
        for (const auto& s : std::get<1>(c)) meter.Add(s.first, s.second);
        EXPECT_NEAR(std::get<2>(c), meter.BytesPerSecond(), std::get<2>(c) / 50 + 1) << std::get<0>(c);
    }
}

TEST(Percent, Table) {
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

}  // namespace
