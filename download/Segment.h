// One worker of a download: it holds a connection of its own and asks for the
// pieces its host gives it, one bounded byte range per request, reads each
// in 64 KiB reads and hands the bytes to the host, until nothing is left.
// The same class serves as a connectivity probe (RunTest / TestThreadMain).
//
// Concurrency: the worker thread writes every field; the coordinator reads
// result, times, counters and flags only after the worker has ended, and
// starts a worker only when none runs. The worker holds a shared reference
// to its host for as long as it runs, and takes no lock of its own: the host
// checks under its own lock that the segment is still one of its run's, so
// a segment cut off (DetachOwner) can change nothing there. Rate() and
// WaitMs() are read by the host while the worker runs; the open request may
// be closed by the coordinator's thread to end a read (cancel by close).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/Handles.h"
#include "download/Connection.h"
#include "download/SegmentHost.h"
#include "download/Supervision.h"

class CSegment final : public virtual CLog {
public:
    static constexpr uint32_t kReadSize = 64 * 1024;
    // A piece under way that brings nothing for this long, and for four
    // reads' time at its rate, counts as stalled (Rate() 1).
    static constexpr uint64_t kQuietMs = 500;

    CSegment(uint32_t id, const CConnection& source, uint64_t start, uint64_t end);
    ~CSegment();
    CSegment(const CSegment&) = delete;
    CSegment& operator=(const CSegment&) = delete;

    CConnection& Connection() { return m_connection; }
    const CConnection& Connection() const { return m_connection; }
    // Ends a read under way by closing the request (from any thread).
    void Close() { m_connection.Close(); }

    void Start(uint32_t delayMs);
    void RunTest();
    void Dispose();
    uint64_t GetPosition() const { return start + downloaded; }
    // Waits up to timeoutMs for the current worker; true when none runs.
    bool WaitForWorker(DWORD timeoutMs) const;
    // The piece the next Open asks for, and the validator for If-Range.
    void SetPiece(uint64_t from, uint64_t to, const std::wstring& ifRange) {
        start = from;
        end = to;
        m_ifRange = ifRange;
        m_connection.SetRange(from, to, ifRange);
    }
    // The next run reads this open request (the first answer) for the
    // piece [from, to) before it asks for anything.
    void AdoptFirstAnswer(CConnection& from, uint64_t pieceStart, uint64_t pieceEnd);
    // The host this segment works for; the worker holds it while it runs.
    void SetOwner(const std::shared_ptr<ISegmentHost>& host) { m_owner = host; }
    // Cuts the segment off: its worker ends at its next check (the host
    // itself refuses a cut-off segment's calls under its own lock).
    void DetachOwner() { m_detached = true; }
    bool IsDetached() const { return m_detached.load(); }
    // What the last worker reported; valid once it has ended.
    kavri::WorkerOutcome Outcome() const { return {result, downloaded, limited, changed, retryAfterMs}; }
    // Bytes per second of the piece under way (0 while unknown).
    uint64_t Rate() const;
    // Milliseconds the last request waited for its answer (0 while unknown).
    uint32_t WaitMs() const { return m_waitMs.load(); }

    uint32_t id;
    uint64_t start;       // the piece under way
    uint64_t end;
    uint64_t downloaded;  // bytes written since the last (re)start
    std::atomic<int32_t> running;
    kavri::ScopedKernelHandle thread;
    int64_t startTime;
    int64_t endTime;
    uint32_t startCount;
    int32_t result;
    DWORD lastStatus;  // of the last answer
    bool limited;      // the server refused it for its connection limit (429, 503)
    uint32_t retryAfterMs;  // ... and asked for this wait
    bool changed;      // an answer showed another version of the file

private:
    bool OwnerStops(ISegmentHost& host) const { return m_detached || host.ShouldStop(); }
    ISegmentHost::Work NextPiece(ISegmentHost& host);
    void ReadPiece(ISegmentHost& host);
    // Starts fn on a thread that holds the host; false (result set) when not.
    bool StartWorker(LPTHREAD_START_ROUTINE fn);

    CConnection m_connection;
    std::weak_ptr<ISegmentHost> m_owner;
    std::atomic<bool> m_detached{false};
    std::unique_ptr<unsigned char[]> m_buffer;
    std::wstring m_ifRange;
    bool m_adopted = false;
    std::atomic<ULONGLONG> m_pieceTick{0};
    std::atomic<uint64_t> m_pieceBytes{0};
    std::atomic<ULONGLONG> m_lastByteTick{0};
    std::atomic<uint64_t> m_lastRate{0};  // of the last piece: sizes the next
    std::atomic<uint32_t> m_waitMs{0};

    void ThreadMain(ISegmentHost& host);
    void TestThreadMain(ISegmentHost& host);
    static DWORD WINAPI ThreadProc(LPVOID param);
    static DWORD WINAPI TestThreadProc(LPVOID param);
};
