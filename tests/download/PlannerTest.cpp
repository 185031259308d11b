// The download planner without a network: simulated workers, each with its
// own rate (bytes per 10 ms tick), ask for pieces, read them and may stop
// half-way or go quiet; each request may wait some ticks for its answer.
// Every row checks that each missing byte is written exactly once and that
// the download ends about when the bytes could arrive at all (no slow tail).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "download/Planner.h"

using kavri::ByteRange;
using kavri::PiecePlanner;

namespace {

struct Result {
    uint64_t ticks = 0, written = 0;
    bool overlap = false;
};

// kib: each worker's rate in KiB per tick; stopAt: the tick a worker fails
// (0: never); worker `quiet` brings nothing more once its piece has less
// than 64 KiB left. Returns when no worker has anything left, or the file is
// complete.
Result Simulate(uint64_t size, const std::vector<uint64_t>& kib, const std::vector<uint64_t>& stopAt,
                const std::vector<ByteRange>& done, uint64_t waitTicks, size_t quiet) {
    PiecePlanner plan;
    plan.Begin(size, true, done);
    plan.SetLatency(waitTicks * 10);
    plan.Split(static_cast<uint32_t>(kib.size()), 1024000);
    const size_t n = plan.Workers();
    std::vector<uint64_t> rates(n + 1, 0), pos(n + 1, 0), idle(n + 1, 0);
    std::vector<bool> busy(n + 1, false);
    std::vector<ByteRange> writes;
    Result r;
    auto next = [&](size_t id) {
        ByteRange piece{};
        busy[id] = plan.Next(static_cast<uint32_t>(id), rates, &piece);
        pos[id] = piece.start;
        idle[id] = waitTicks;
    };
    for (size_t id = 1; id <= n; ++id) next(id);
    while (std::count(busy.begin(), busy.end(), true) && !plan.Complete() && r.ticks < 100000) {
        ++r.ticks;
        for (size_t id = 1; id <= n; ++id) {
            if (!busy[id] || (idle[id] && idle[id]--)) continue;
            if (stopAt.size() >= id && stopAt[id - 1] == r.ticks) {
                plan.Release(static_cast<uint32_t>(id));
                busy[id] = false;
                rates[id] = 0;
                continue;
            }
            rates[id] = std::max<uint64_t>(1, kib[id - 1] * 1024 * 100);  // 1: nothing arrives
            if (id == quiet && plan.PieceEnd(static_cast<uint32_t>(id)) < pos[id] + (64u << 10)) {
                rates[id] = 1;
                continue;
            }
            const uint64_t keep = plan.Reserve(static_cast<uint32_t>(id), kib[id - 1] * 1024);
            if (keep) writes.push_back({pos[id], pos[id] + keep});
            pos[id] += keep;
            plan.Commit(static_cast<uint32_t>(id));
            if (plan.PieceEnd(static_cast<uint32_t>(id)) <= pos[id]) next(id);
        }
    }
    std::sort(writes.begin(), writes.end(), [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    for (size_t i = 0; i < writes.size(); ++i) {
        r.written += writes[i].end - writes[i].start;
        r.overlap = r.overlap || (i && writes[i].start < writes[i - 1].end);
    }
    for (const ByteRange& d : done)
        for (const ByteRange& w : writes) r.overlap = r.overlap || (w.start < d.end && d.start < w.end);
    EXPECT_TRUE(plan.Complete());
    return r;
}

}  // namespace

TEST(Planner, EveryByteOnceWithoutASlowTail) {
    const uint64_t mib = 1 << 20;
    const std::vector<uint64_t> even(10, 20), quarterSlow = {80, 80, 80, 10, 80, 80, 80, 10, 80, 80};
    struct Row {
        const char* what;
        uint64_t size;
        std::vector<uint64_t> kib, stopAt;
        std::vector<ByteRange> done;
        double slack;  // ticks allowed over the ideal, as a factor
        uint64_t wait = 0;  // ticks before each answer
        size_t quiet = 0;
    } rows[] = {
        {"ten even connections", 64 * mib, even, {}, {}, 1.10},
        {"one connection in four eight times slower", 64 * mib, quarterSlow, {}, {}, 1.10},
        {"a connection that stalls at once", 64 * mib, even, {0, 1}, {}, 1.10},
        {"a connection that hangs, holding its piece", 64 * mib, {20, 20, 0, 20, 20, 20, 20, 20, 20, 20}, {}, {}, 1.10},
        {"two connections failing half-way", 64 * mib, even, {0, 0, 0, 150, 0, 0, 0, 0, 150}, {}, 1.15},
        {"resumed with two ranges on disk", 64 * mib, quarterSlow, {}, {{0, 5 * mib}, {20 * mib, 41 * mib}}, 1.25},
        {"a file of one piece", 600000, {50}, {}, {}, 1.05},
        {"a connection that goes quiet just before its piece's end", 64 * mib, even, {}, {}, 1.15, 0, 3},
        {"100 ms before each answer: pieces that outweigh the waits", 64 * mib, std::vector<uint64_t>(8, 80), {}, {},
         1.25, 10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        uint64_t missing = row.size, perTick = 0;
        for (const ByteRange& d : row.done) missing -= d.end - d.start;
        for (size_t i = 0; i < row.kib.size(); ++i)
            perTick += (i < row.stopAt.size() && row.stopAt[i]) ? 0 : row.kib[i] * 1024;
        const Result r = Simulate(row.size, row.kib, row.stopAt, row.done, row.wait, row.quiet);
        EXPECT_EQ(r.written, missing);
        EXPECT_FALSE(r.overlap);
        const double ideal = static_cast<double>(missing) / static_cast<double>(perTick);
        EXPECT_LE(r.ticks, ideal * row.slack + row.wait + 3) << "ideal " << ideal;
    }
}
