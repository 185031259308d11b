// The download's plan. See Planner.h; nothing here runs concurrently.
#include "download/Planner.h"

#include <algorithm>

namespace kavri {

std::vector<SegmentPlan> PlanSegments(uint64_t fileSize, bool acceptsRanges, uint32_t maxSegments,
                                      uint64_t minSegmentSize) {
    std::vector<SegmentPlan> plan;
    if (fileSize == UINT64_MAX || fileSize == 0) {
        plan.push_back({0, 0});
        return plan;
    }
    if (!acceptsRanges) {
        plan.push_back({0, fileSize});
        return plan;
    }
    if (minSegmentSize == 0) minSegmentSize = 1;
    const uint64_t q = fileSize / minSegmentSize;
    uint32_t count = q < maxSegments ? static_cast<uint32_t>(q) : maxSegments;
    if (count == 0) count = 1;
    const uint64_t segSize = fileSize / count;
    uint64_t offset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t end = (i == count - 1) ? fileSize : offset + segSize;
        plan.push_back({offset, end});
        offset = end;
    }
    return plan;
}

uint32_t RestartDelayMs(size_t remainingSegments, uint32_t restartDelayFactor) {
    const uint32_t tenths = static_cast<uint32_t>(static_cast<double>(remainingSegments) * 0.1);
    const uint32_t m = tenths * restartDelayFactor;
    return static_cast<uint32_t>(static_cast<double>(m) * 0.1);
}

uint32_t AdjustMaxSegments(uint32_t maxSegments, uint32_t failures) {
    // n - (f - 1): the test's own connection took a place the download will
    // not need, so the first failure costs nothing; n failures leave 1. Never
    // more than was allowed: a repeated test must not raise the count.
    if (failures >= maxSegments) return 1;
    const uint32_t n = ClampSegments(maxSegments);
    return failures == 0 ? n : ClampSegments(static_cast<int64_t>(n) - failures + 1);
}

uint32_t ClampSegments(int64_t n) {
    if (n < 1) return 1;
    return n > kMaxSegments ? kMaxSegments : static_cast<uint32_t>(n);
}

// ---------------------------------------------------------------------------

void RangeSet::Add(uint64_t start, uint64_t end) {
    if (start >= end) return;
    std::vector<ByteRange> out;
    out.reserve(m_ranges.size() + 1);
    bool placed = false;
    for (const ByteRange& r : m_ranges) {
        if (r.end < start) {
            out.push_back(r);
        } else if (r.start > end) {
            if (!placed) out.push_back({start, end});
            placed = true;
            out.push_back(r);
        } else {
            start = std::min(start, r.start);
            end = std::max(end, r.end);
        }
    }
    if (!placed) out.push_back({start, end});
    m_ranges.swap(out);
}

uint64_t RangeSet::Total() const {
    uint64_t total = 0;
    for (const ByteRange& r : m_ranges) total += r.end - r.start;
    return total;
}

uint64_t RangeSet::NextMissing(uint64_t from) const {
    for (const ByteRange& r : m_ranges)
        if (r.start <= from && from < r.end) return r.end;
    return from;
}

uint64_t RangeSet::NextPresent(uint64_t from) const {
    for (const ByteRange& r : m_ranges)
        if (r.end > from) return std::max(r.start, from);
    return UINT64_MAX;
}

// ---------------------------------------------------------------------------

void PiecePlanner::Begin(uint64_t size, bool ranges, const std::vector<ByteRange>& done) {
    m_size = size;
    m_ranges = ranges && size != UINT64_MAX;
    m_done.Clear();
    m_workers.clear();
    m_free.clear();
    if (!m_ranges) return;  // only a whole body counts: nothing to go on from
    for (const ByteRange& r : done)
        if (r.start < r.end && r.end <= size) m_done.Add(r.start, r.end);
}

void PiecePlanner::Split(uint32_t workers, uint64_t minLane) {
    m_workers.clear();
    m_free.clear();
    for (const SegmentPlan& lane : PlanSegments(m_size, m_ranges, workers, minLane)) {
        Worker w;
        w.next = lane.start;
        w.end = lane.end == 0 ? UINT64_MAX : lane.end;
        m_workers.push_back(w);
    }
}

PiecePlanner::Worker* PiecePlanner::Get(uint32_t id) {
    if (id == 0) return nullptr;
    if (id > m_workers.size()) m_workers.resize(id);
    return &m_workers[id - 1];
}

uint64_t PiecePlanner::Unrequested(uint64_t from, uint64_t to) const {
    uint64_t n = 0;
    while (from < to) {
        const uint64_t s = m_done.NextMissing(from);
        if (s >= to) break;
        const uint64_t e = std::min(to, m_done.NextPresent(s));
        n += e - s;
        from = e;
    }
    return n;
}

bool PiecePlanner::FirstMissing(uint64_t maxBytes, ByteRange* piece) const {
    const uint64_t s = m_done.NextMissing(0);
    if (s >= Limit()) return false;
    uint64_t e = std::min(Limit(), m_done.NextPresent(s));
    if (maxBytes && e - s > maxBytes) e = s + maxBytes;
    *piece = {s, e};
    return true;
}

namespace {

// [from, to) without r: what stays in place, and a second part after r.
void Subtract(uint64_t* from, uint64_t* to, const ByteRange& r, std::vector<ByteRange>* rest) {
    if (r.end <= *from || r.start >= *to) return;
    if (r.start <= *from) {
        *from = std::min(*to, r.end);
        return;
    }
    if (r.end < *to) rest->push_back({r.end, *to});
    *to = r.start;
}

}  // namespace

uint32_t PiecePlanner::Adopt(const ByteRange& piece) {
    uint32_t id = 0;
    for (size_t i = 0; i < m_workers.size() && !id; ++i)
        if (!m_workers[i].inFlight && m_workers[i].next <= piece.start && piece.start < m_workers[i].end)
            id = static_cast<uint32_t>(i + 1);
    for (size_t i = 0; i < m_workers.size() && !id; ++i)
        if (!m_workers[i].inFlight) id = static_cast<uint32_t>(i + 1);
    if (!id) return 0;
    // Nobody else asks for the piece's bytes again.
    std::vector<ByteRange> rest;
    for (Worker& w : m_workers) Subtract(&w.next, &w.end, piece, &rest);
    for (ByteRange& f : m_free) Subtract(&f.start, &f.end, piece, &rest);
    m_free.insert(m_free.end(), rest.begin(), rest.end());
    Worker& w = m_workers[id - 1];
    w.inFlight = true;
    w.pos = w.claimed = piece.start;
    w.pieceEnd = piece.end;
    return id;
}

uint64_t PiecePlanner::Floor(uint64_t rate, const std::vector<uint64_t>& rates) const {
    if (m_latencyMs < kNearMs) return kMinPiece;
    if (rate <= 1) {  // none of its own yet: the others' mean
        uint64_t known = 0, sum = 0;
        for (uint64_t r : rates)
            if (r > 1) sum += r, ++known;
        rate = known ? sum / known : 0;
    }
    return std::min(4 * kMaxPiece, std::max(kMinPiece, rate * m_latencyMs * kWaitsPerPiece / 1000));
}

bool PiecePlanner::PieceFromLane(Worker& w, uint32_t active, uint64_t rate, uint64_t floor, ByteRange* piece) {
    while (w.next < w.end) {
        const uint64_t s = m_done.NextMissing(w.next);
        if (s >= w.end) break;
        uint64_t e = std::min(w.end, m_done.NextPresent(s));
        if (m_ranges) {
            // Pieces shrink as the work left shrinks, so the last ones are short.
            uint64_t left = 0;
            for (const Worker& o : m_workers) left += Unrequested(o.next, o.end);
            for (const ByteRange& f : m_free) left += Unrequested(f.start, f.end);
            // ... and a slow worker asks for less: about a second of its data.
            uint64_t size = std::min(kMaxPiece, left / std::max<uint32_t>(active, 1));
            if (rate) size = std::min(size, rate);
            size = std::max(floor, size);
            if (e - s > size + floor) e = s + size;
        }
        w.next = e;
        w.inFlight = true;
        w.pos = w.claimed = s;
        w.pieceEnd = e;
        *piece = {s, e};
        return true;
    }
    w.next = w.end;
    return false;
}

bool PiecePlanner::TakeLane(uint32_t worker) {
    Worker* thief = Get(worker);
    // The largest work nobody has asked for: a released range, or a lane.
    uint64_t best = 0;
    int from = -1;  // index into m_free, or -(lane index) - 2
    for (size_t i = 0; i < m_free.size(); ++i) {
        const uint64_t n = Unrequested(m_free[i].start, m_free[i].end);
        if (n > best) best = n, from = static_cast<int>(i);
    }
    for (size_t i = 0; i < m_workers.size(); ++i) {
        const uint64_t n = Unrequested(m_workers[i].next, m_workers[i].end);
        if (n > best && &m_workers[i] != thief) best = n, from = -static_cast<int>(i) - 2;
    }
    if (from == -1) return false;
    if (from >= 0) {
        thief->next = m_free[from].start;
        thief->end = m_free[from].end;
        m_free.erase(m_free.begin() + from);
        return true;
    }
    Worker& owner = m_workers[static_cast<size_t>(-from - 2)];
    uint64_t mid = owner.next;  // a short rest is taken whole
    if (best >= 2 * kMinPiece) {
        // The point that halves the missing bytes (done ones cost nothing).
        uint64_t lo = owner.next, hi = owner.end;
        while (hi - lo > 1) {
            const uint64_t m = lo + (hi - lo) / 2;
            (Unrequested(owner.next, m) * 2 < best ? lo : hi) = m;
        }
        mid = hi;
    }
    thief->next = mid;
    thief->end = owner.end;
    owner.end = mid;
    return true;
}

bool PiecePlanner::TakePieceEnd(uint32_t worker, const std::vector<uint64_t>& rates, ByteRange* piece) {
    auto rate = [&](size_t id) { return id < rates.size() ? rates[id] : 0; };
    Worker* thief = Get(worker);
    Worker* slowest = nullptr;
    // The thief's first byte comes a wait later: a piece due within two
    // waits gains too little.
    uint64_t slowestMs = std::max(kTakeOverMs, 2 * m_latencyMs), slowestRate = 0;
    for (size_t i = 0; i < m_workers.size(); ++i) {
        Worker& w = m_workers[i];
        const uint64_t r = rate(i + 1);
        if (&w == thief || !w.inFlight || r == 0 || w.pieceEnd <= w.claimed) continue;
        const uint64_t ms = (w.pieceEnd - w.claimed) * 1000 / r;
        if (ms > slowestMs) slowestMs = ms, slowest = &w, slowestRate = r;
    }
    if (!slowest) return false;
    // What the owner still receives while the thief's request waits stays its.
    const uint64_t early = slowestRate * m_latencyMs / 1000;
    const uint64_t rest = slowest->pieceEnd - slowest->claimed;
    if (rest <= early) return false;
    const uint64_t mine = rate(worker) ? rate(worker) : slowestRate;
    // Shares by rate, so both ends arrive at about the same time; a stalled
    // piece (rate 1: nothing for a while) is taken whole, however short.
    const bool stalled = slowestRate <= 1;
    const uint64_t share =
        stalled ? rest : static_cast<uint64_t>(static_cast<double>(rest - early) * mine / (mine + slowestRate));
    if (share < kMinTakeOver && !stalled) return false;
    const uint64_t mid = slowest->pieceEnd - share;
    thief->next = thief->end = slowest->pieceEnd;
    thief->inFlight = true;
    thief->pos = thief->claimed = mid;
    thief->pieceEnd = slowest->pieceEnd;
    slowest->pieceEnd = mid;
    *piece = {mid, thief->pieceEnd};
    return true;
}

bool PiecePlanner::Next(uint32_t worker, const std::vector<uint64_t>& rates, ByteRange* piece) {
    Worker* w = Get(worker);
    if (!w) return false;
    if (w->inFlight && w->pos < w->pieceEnd) {
        *piece = {w->pos, w->pieceEnd};
        return true;
    }
    w->inFlight = false;
    uint32_t active = 0;
    for (const Worker& o : m_workers) active += (o.inFlight || o.next < o.end) ? 1 : 0;
    const uint64_t rate = worker < rates.size() ? rates[worker] : 0;
    const uint64_t floor = Floor(rate, rates);
    if (PieceFromLane(*w, active + 1, rate, floor, piece)) return true;
    if (!m_ranges) return false;
    while (TakeLane(worker))
        if (PieceFromLane(*w, active + 1, rate, floor, piece)) return true;
    return TakePieceEnd(worker, rates, piece);
}

uint64_t PiecePlanner::Reserve(uint32_t worker, uint64_t n) {
    Worker* w = Get(worker);
    if (!w || !w->inFlight || w->pos >= w->pieceEnd) return 0;
    const uint64_t keep = std::min(n, w->pieceEnd - w->pos);
    w->claimed = w->pos + keep;
    return keep;
}

void PiecePlanner::Commit(uint32_t worker) {
    Worker* w = Get(worker);
    if (!w || !w->inFlight) return;
    m_done.Add(w->pos, w->claimed);
    w->pos = w->claimed;
    if (w->pos >= w->pieceEnd) w->inFlight = false;
}

uint64_t PiecePlanner::PieceEnd(uint32_t worker) const {
    if (worker == 0 || worker > m_workers.size()) return 0;
    const Worker& w = m_workers[worker - 1];
    return w.inFlight ? w.pieceEnd : w.pos;
}

void PiecePlanner::Release(uint32_t worker) {
    Worker* w = Get(worker);
    if (!w) return;
    if (m_ranges) {
        if (w->inFlight && w->pos < w->pieceEnd) m_free.push_back({w->pos, w->pieceEnd});
        if (w->next < w->end) m_free.push_back({w->next, w->end});
    }
    *w = Worker();
}

bool PiecePlanner::Complete() const {
    return m_size != UINT64_MAX && m_done.Total() >= m_size;
}

}  // namespace kavri
