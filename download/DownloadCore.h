// The download coordinator's work: asks for the file's first piece (whose
// answer gives the size and validator, and whose body is the first data),
// creates or reopens the local file, tests how many parallel connections the
// server accepts, plans the file into lanes and runs one worker per lane,
// each asking for bounded pieces and taking over work left by others; it
// supervises them (restarting failed ones), keeps a resume record beside the
// partial file, and reports every stage through one callback.
//
// Ownership: the CDownloader facade, the main download thread, the cancel
// thread and every running segment or probe worker each hold a shared
// reference; the last one to let go destroys the core, so no thread's
// memory goes away under it. Segments are deleted by the core only once
// their worker has ended (or by its destructor, when no worker is left).
//
// Threads: see Downloader.h. cancelled/running/stopWorkers/detached are
// atomics. Locks, in the order they may be taken (never the other way, and
// neither across a notification or a network call):
//   1. m_planLock: the plan, the segment list and its membership checks, the
//      bytes written; held across the positional write of a delivery, so a
//      segment cut off from the run can never write after it.
//   2. the FileWriter's own lock (inside m_writer).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/CriticalSection.h"
#include "common/Handles.h"
#include "download/Deadline.h"
#include "download/Downloader.h"
#include "download/FileWriter.h"
#include "download/Planner.h"
#include "download/Supervision.h"
#include "download/SegmentHost.h"
#include "net/Session.h"

class CConnection;
class CSegment;

class CDownloadCore final : public CSession,
                            public ISegmentHost,
                            public virtual CLog,
                            public std::enable_shared_from_this<CDownloadCore> {
public:
    using CSegment = ::CSegment;

    // sender is the facade named in every notification.
    explicit CDownloadCore(CDownloader* sender);
    // Deletes segments, connections and handles; runs when the last holder
    // lets go, so no thread uses any of them any more.
    ~CDownloadCore();

    // CDownloader's interface (it forwards here); see Downloader.h.
    void SetMaxSegments(uint32_t n);
    void SetUrl(const wchar_t* url);
    void AddUrl(const wchar_t* url);
    void SetCallback(DownloadCallback fn) { m_callback = fn; }
    void SetDownloadFolder(const wchar_t* dir) { m_folder = dir ? dir : L""; }
    void SetKind(DownloadKind kind) { m_kind = kind, m_fresh = kind == DownloadKind::Settings; }
    int Run(void* context);
    void Cancel();
    void CancelAsync();
    void Reset(bool keepConnections);
    const wchar_t* GetFilePath() const { return m_filePath; }
    int64_t GetFileSize() const { return m_fileSize; }
    int GetResult() const { return m_result.load(); }
    bool IsBusy() const { return m_running.load() == 1; }
    uint32_t GetMaxSegments() const { return m_maxSegments; }
    bool IsCancelled() const { return m_cancelled.load() != 0; }
    void SetRestartDelayFactorForTest(uint32_t factor) { m_restartDelayFactor = factor; }
    void SetFreeSpaceForTest(int64_t bytes) { m_freeSpaceForTest = bytes; }

    // The facade goes away: every thread is told to stop and waited for
    // with a bound; from then on no notification is sent. What a late
    // thread still uses stays alive with it (it holds the core).
    void Shutdown();

    // ISegmentHost, called on segment workers. A segment that is no longer
    // one of this run's (cut off) gets nothing and changes nothing.
    bool ShouldStop() override;
    Work NextPiece(const CSegment& worker, kavri::ByteRange* piece, std::wstring* ifRange) override;
    bool SameFile(const CSegment& worker, const kavri::AnswerInfo& answer) override;
    int64_t Deliver(const CSegment& worker, uint64_t offset, const void* data, uint32_t count,
                    bool* pieceDone) override;
    void Progressed() override;
    void Stopped(const CSegment& worker) override;

protected:
    void OnStatus(int state);
    void OnComplete(int result);
    void OnProgress(uint64_t total);
    // Calls the callback unless the facade has gone; never under a lock.
    void Notify(int32_t state, int64_t bytes);
    bool IsMember(const CSegment& worker) const;  // under m_planLock

    int DoRun();
    int DoRunOnce();
    // The run's source failed with code: the next source not yet dropped
    // goes on from the bytes on disk (a body without ranges starts over
    // there). False when none is left, or one source must serve the file.
    bool SwitchSource(int code);
    bool HasOtherSource() const;
    int Connect();
    int FirstRequest(CConnection* connection);
    // Waits (cancellably) until the wait a refused first request was asked for has passed.
    void WaitForRetryAfter();
    int OnCreateFilestream(CConnection* connection);
    void ChooseFilePath(CConnection* connection, wchar_t (&dir)[MAX_PATH]);
    void CreateSegments(CConnection* connection);
    // Opens more connections while the ramp says they pay (lanes up to m_lanes).
    void GrowSegments(const std::vector<CSegment*>& parked);
    void StartSegments();
    void AddSegment(uint32_t id, CConnection* source);
    void RemoveSegment(size_t index);
    int WaitAll();
    // WaitAll's steps: wait for a running worker to end (bounded), act on
    // the outcomes of those that ended (true when one finished), restart or
    // fail when none runs, and stop the rest when the run ends with code.
    struct Stall {
        int streak = 0;                  // restarts in a row without a new byte
        uint64_t doneBytes = UINT64_MAX;  // on disk at the last one
    };
    void WaitForAnyEnd(const std::vector<CSegment*>& parked);
    bool ReapEnded(std::vector<CSegment*>& parked);
    void RestartAfterStall(std::vector<CSegment*>& parked, Stall& stall);
    void RestartWholeBody();
    int StopUnfinished(int code);
    // Sleeps ms, or less when the run is cancelled meanwhile.
    void Pause(DWORD ms);
    bool Finished();
    int RunConnectivityTest();
    int OpenTestConnection(std::unique_ptr<CSession>* session, std::unique_ptr<CConnection>* connection);
    bool ReleaseTestSegments(const std::vector<CSegment*>& probes);
    static int WaitForTestSegments(std::vector<CSegment*>& probes);

    // The resume record: found for one of the sources, kept up to date, removed.
    bool LoadResume();
    void SaveResume(bool force);
    void DeleteResume();
    std::wstring Folder() const;
    // Forgets the download (another version of the file, a reset): workers
    // cut off, file closed, and with deleteFile the file and record removed.
    void DiscardDownload(bool deleteFile);

    void ReleaseSegment(CSegment* segment);
    void ReleaseAllSegments();
    void SweepRetired();
    bool WaitForWorkers(const kavri::Deadline& deadline);
    bool IsMainThread() const;
    // Starts fn on a thread that holds a reference to this core; null on failure.
    HANDLE StartThread(unsigned(__stdcall* fn)(void*), unsigned* threadId);
    static unsigned __stdcall MainThreadProc(void* param);
    static unsigned __stdcall CancelThreadProc(void* param);

    wchar_t m_filePath[MAX_PATH];
    std::wstring m_folder;
    uint32_t m_restartDelayFactor;
    uint32_t m_maxSegments;      // the count in use: the connectivity test lowers it
    uint32_t m_allowedSegments;  // what SetMaxSegments allowed
    uint64_t m_minSegmentSize;
    std::vector<CConnection*> m_connections;
    CConnection* m_currentConnection;
    SYSTEMTIME m_lastModified;
    int64_t m_fileSize;
    std::atomic<int64_t> m_bytesWritten;
    kavri::FileWriter m_writer;
    std::atomic<int32_t> m_cancelled;
    std::atomic<int32_t> m_running;
    std::atomic<int32_t> m_stopWorkers;  // the run the workers belong to has ended
    std::vector<CSegment*> m_segments;
    kavri::ScopedKernelHandle m_doneEvent;
    std::atomic<int> m_result;
    DownloadCallback m_callback;
    void* m_context;
    CDownloader* const m_sender;
    std::atomic<bool> m_detached{false};  // the facade has gone: no notifications
    std::atomic<int> m_notifying{0};      // notifications under way

    kavri::CriticalSection m_planLock;
    kavri::PiecePlanner m_plan;
    bool m_planned;        // the file exists and is split (a Run resumes it)
    DownloadKind m_kind;
    bool m_fresh;          // settings: answers from the origin, no resume record
    bool m_cleanEnd;       // a body of unknown length ended cleanly
    CConnection* m_first;  // holds the first answer until a worker reads it
    kavri::ByteRange m_firstPiece;
    ULONGLONG m_notBefore = 0;  // no first request before this tick (Retry-After); run thread only
    std::wstring m_validator;
    // Sources (m_connections) of one Run: the one the plan was made from,
    // those that failed, and the validator If-Range carries to another one.
    kavri::ConnectionRamp m_ramp;  // main download thread only
    uint32_t m_lanes = 0;           // workers the plan was split for
    CConnection* m_planSource = nullptr;
    std::vector<bool> m_dropped;
    bool m_onMirror = false;        // under m_planLock, with m_mirrorValidator
    std::wstring m_mirrorValidator;
    bool m_mixed = false;           // this download's bytes came from more than one source
    bool m_lastMixed = false;       // ... and so did the last completed file
    bool m_singleSource = false;    // the next download keeps to one source
    std::wstring m_recordPath;  // set while a resume record is kept
    int64_t m_resumed;
    bool m_resumeFromDisk;  // the plan comes from a resume record
    ULONGLONG m_savedTick;
    uint64_t m_savedBytes;
    std::atomic<ULONGLONG> m_progressTick;

    kavri::ScopedKernelHandle m_thread;
    DWORD m_threadId;
    kavri::ScopedKernelHandle m_cancelThread;
    std::vector<CSegment*> m_retired;  // cut off, their workers still ending
    int64_t m_freeSpaceForTest;
};
