// The coordinator's decisions as pure functions over what its workers
// report: what a worker's end means for the run, what to do when no worker
// runs any more, and what the first answer means for a download under way.
// No threads, no clock, no WinINet: the coordinator (DownloadSupervise.cpp,
// DownloadRun.cpp) acts on the verdicts.
//
// Concurrency: none; values in, values out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavri {

// What a worker reports once it has ended.
struct WorkerOutcome {
    int result = 0;           // 0: nothing is left for it; else a result code
    uint64_t downloaded = 0;  // bytes it wrote since its last start
    bool limited = false;     // refused for the server's connection limit (429, 503)
    bool changed = false;     // an answer showed another version of the file
    uint32_t retryAfterMs = 0;  // the wait the refusal asked for (Retry-After)
};

enum class EndAction {
    kDone,        // it is finished: remove it
    kRestartNow,  // it failed after making progress: start it again at once
    kPark,        // it failed without progress (or was refused): it waits
    kEndRun,      // the run ends with `code` (a write failure, a cancel)
    kStartOver,   // the file changed on the server: start over from zero
};
struct EndVerdict {
    EndAction action;
    int code;  // for kEndRun
};
EndVerdict JudgeWorkerEnd(const WorkerOutcome& outcome);

// No worker runs; parked holds the waiting ones, the longest-waiting first.
// streak counts the restarts in a row without a new byte on disk, this one
// included. Fail when none waits, when all failed on the connection and none
// was refused for a limit, or when restarts ran out (maxRetries + 1);
// otherwise restart the first after delayMs (a refused one waits longer as
// the streak grows, scaled by delayFactor / 1000, and at least what its
// Retry-After asked for).
struct StallVerdict {
    bool fail;
    int code;        // when failing
    uint32_t delayMs;
};
StallVerdict JudgeStall(const std::vector<WorkerOutcome>& parked, int streak, int maxRetries, uint32_t delayFactor);
// The streak after a stall: one more when nothing arrived since the last.
inline int NextStreak(int streak, uint64_t doneNow, uint64_t doneAtLastStall) {
    return doneNow == doneAtLastStall ? streak + 1 : 1;
}

// What the answer to the first request means for what is already known.
struct FirstAnswer {
    bool ranged;            // 206 with the start asked for
    int64_t total;          // its Content-Range total (-1 none)
    std::wstring validator; // strong ETag, else Last-Modified
};
enum class FirstMeaning {
    kPlan,         // ranges: the file is planned (or goes on) in pieces of `total`
    kAskAgain,     // another version while resuming, answered in ranges: discard, ask again
    kWholeBody,    // the body is the whole file, read once
    kNoTotal,      // a range without a total: the file is read once from a new request
};
// resuming: a plan of size `size` with `validator` exists (from this
// process or a resume record). A whole body while resuming is another
// version too: the old one is discarded and the body is the new file.
FirstMeaning JudgeFirstAnswer(const FirstAnswer& answer, bool resuming, int64_t size, const std::wstring& validator);

// Another source of the same file (a mirror) may go on with a download
// planned from one source when its first answer is a range of the same size
// and the validators agree where both give one.
bool SameFileElsewhere(const FirstAnswer& answer, int64_t size, const std::wstring& validator);

// A failure that belongs to the run's source (unreachable, refused, another
// file): the next source may go on. Not a cancel, the local disk, a proxy
// that wants credentials (every source is behind it) or a settings file too large.
bool IsSourceFailure(int code);

// How many connections a run opens: a few first, then twice as many, one
// step at a time while each step pays. A step's rate is measured once every
// connection open has been answered (or kSettleMs have passed, whichever is
// later), over kMeasureMs; the next step is
// taken when that rate beat the step before by kMargin of what the added
// connections would bring at the average rate of those before. A step that
// does not pay, a refusal (429/503: the server limits its connections) or
// the allowed count ends the adding.
class ConnectionRamp {
public:
    static constexpr uint32_t kFirst = 4;
    static constexpr uint64_t kSettleMs = 20;
    static constexpr uint64_t kMeasureMs = 100;
    static constexpr double kMargin = 0.25;

    ConnectionRamp() = default;
    // The connections to open first, for at most `allowed`.
    uint32_t Start(uint32_t allowed, uint64_t nowMs);
    // The connections to have open now, with `bytes` on disk so far, whether
    // a connection was refused and whether every open one has been answered;
    // never fewer than before.
    uint32_t Next(uint64_t nowMs, uint64_t bytes, bool refused, bool answered = true);
    bool Done() const { return m_done; }

private:
    uint32_t m_allowed = 0, m_active = 0, m_before = 0;
    uint64_t m_stepMs = 0, m_markMs = 0, m_markBytes = 0;
    bool m_marked = false, m_done = true;
    double m_rate = -1;  // bytes a second of the step before (-1: none yet)
};

// True when a file of `size` bytes (<= 0: unknown) may be written to a disk
// with `available` free bytes: three times the size, so the installer it
// becomes still has room to run.
bool EnoughSpace(uint64_t available, int64_t size);

}  // namespace kavri
