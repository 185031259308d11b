// The download's plan: which bytes of the remote file each worker asks for
// next, which bytes are on disk, and how work moves between workers. Pure
// logic (no network, no clock, no locks): the coordinator owns one planner
// and calls it under its own lock from the main download thread and from the
// workers, so nothing here runs concurrently with itself.
//
// The file is split into lanes, one per worker, like the fixed split of old.
// A worker asks for its lane in bounded pieces, so no request ever has to be
// abandoned with a long body behind it. A worker whose lane is used up takes
// over the second half of the largest range that nobody has asked for yet;
// when every byte has been asked for, it takes over the end of the piece
// that will take longest to arrive (by the rates the coordinator measured),
// and that piece's owner stops at the new end. Every byte is written once,
// by the worker whose piece holds it when it arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavri {

struct ByteRange {
    uint64_t start;
    uint64_t end;  // exclusive
};

struct SegmentPlan {
    uint64_t start;
    uint64_t end;
};

// The byte ranges of the initial split: as many lanes as minimum-size pieces
// fit (at most maxSegments, at least one). A fileSize of UINT64_MAX (size
// unknown) or 0 gives one lane from 0 with no end (end 0), a server without
// ranges one lane over the whole file.
std::vector<SegmentPlan> PlanSegments(uint64_t fileSize, bool acceptsRanges, uint32_t maxSegments,
                                      uint64_t minSegmentSize);
// The delay before restarting a failed segment with n segments remaining.
uint32_t RestartDelayMs(size_t remainingSegments, uint32_t restartDelayFactor);
// The segment count after a connectivity test of maxSegments probes with
// `failures` failed ones, within 1..maxSegments (and 1..kMaxSegments).
uint32_t AdjustMaxSegments(uint32_t maxSegments, uint32_t failures);
// The bound of parallel connections; configured values are clamped to it.
constexpr uint32_t kMaxSegments = 16;
// n clamped to 1..kMaxSegments (a negative setting read as unsigned is huge).
uint32_t ClampSegments(int64_t n);

// Sorted, disjoint, merged byte ranges.
class RangeSet {
public:
    void Add(uint64_t start, uint64_t end);
    void Clear() { m_ranges.clear(); }
    uint64_t Total() const;
    // The first byte >= from that is not in the set.
    uint64_t NextMissing(uint64_t from) const;
    // The first byte >= from that is in the set (UINT64_MAX when none).
    uint64_t NextPresent(uint64_t from) const;
    const std::vector<ByteRange>& Ranges() const { return m_ranges; }

private:
    std::vector<ByteRange> m_ranges;
};

class PiecePlanner {
public:
    static constexpr uint64_t kMaxPiece = 1u << 20;
    static constexpr uint64_t kMinPiece = 256u << 10;
    static constexpr uint64_t kMinTakeOver = 128u << 10;
    // A piece that arrives within this time at its owner's rate is left alone.
    static constexpr uint64_t kTakeOverMs = 100;
    // Each request waits for its answer before a byte arrives; a piece is
    // then at least this many waits' worth of data, so the waits cost no
    // more than about a sixth of the time.
    static constexpr uint64_t kWaitsPerPiece = 5;
    // Shorter waits are the machine's own more than the link's, and the
    // rates measured so early are often a server's first burst: no floor.
    static constexpr uint64_t kNearMs = 20;

    // How long a request waits for its answer, as measured (0: unknown).
    // Pieces grow and take-overs that cannot win the wait back are left out.
    void SetLatency(uint64_t ms) { m_latencyMs = ms; }

    // A fresh plan (done empty) or one that goes on from bytes on disk.
    // size UINT64_MAX: unknown; then, and without ranges, there is one lane
    // and a restart begins at 0 again.
    void Begin(uint64_t size, bool ranges, const std::vector<ByteRange>& done = {});
    // Lanes for `workers` workers (ids 1..workers); false when none is needed.
    void Split(uint32_t workers, uint64_t minLane);
    // The first piece of at most maxBytes that is missing (for the first
    // request); false when nothing is.
    bool FirstMissing(uint64_t maxBytes, ByteRange* piece) const;
    // The worker whose lane holds piece (else the first idle one) takes it
    // as its piece in flight: the first answer, read by that worker. Nobody
    // else asks for its bytes. 0 when no worker is idle.
    uint32_t Adopt(const ByteRange& piece);

    // The next piece for a worker; false when nothing is left for it.
    // rates[id] (bytes per second, 0 unknown) guide take-overs.
    bool Next(uint32_t worker, const std::vector<uint64_t>& rates, ByteRange* piece);
    // n bytes arrived for the worker's piece: how many of them belong to it
    // (fewer when its end was taken over). They are on disk once Commit runs.
    uint64_t Reserve(uint32_t worker, uint64_t n);
    void Commit(uint32_t worker);
    // The end of the worker's piece as it stands now.
    uint64_t PieceEnd(uint32_t worker) const;
    // A worker stops (failed or gone): its unread bytes go back to the pool.
    void Release(uint32_t worker);

    bool Ranges() const { return m_ranges; }
    uint64_t Size() const { return m_size; }
    bool Complete() const;
    uint64_t DoneBytes() const { return m_done.Total(); }
    const std::vector<ByteRange>& Done() const { return m_done.Ranges(); }
    uint32_t Workers() const { return static_cast<uint32_t>(m_workers.size()); }

private:
    struct Worker {
        uint64_t next = 0, end = 0;        // its lane: not yet asked for
        uint64_t pos = 0, claimed = 0, pieceEnd = 0;  // its piece in flight
        bool inFlight = false;
    };
    Worker* Get(uint32_t id);
    uint64_t Limit() const { return m_size == UINT64_MAX ? UINT64_MAX : m_size; }
    uint64_t Unrequested(uint64_t from, uint64_t to) const;
    bool PieceFromLane(Worker& w, uint32_t active, uint64_t rate, uint64_t floor, ByteRange* piece);
    // The smallest piece worth a request at a worker's rate (bytes per
    // second), or at the mean of the others' while it has none.
    uint64_t Floor(uint64_t rate, const std::vector<uint64_t>& rates) const;
    bool TakeLane(uint32_t worker);
    bool TakePieceEnd(uint32_t worker, const std::vector<uint64_t>& rates, ByteRange* piece);

    uint64_t m_size = 0;
    uint64_t m_latencyMs = 0;
    bool m_ranges = false;
    RangeSet m_done;
    std::vector<Worker> m_workers;
    std::vector<ByteRange> m_free;  // released, unowned work
};

}  // namespace kavri
