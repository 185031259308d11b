// The download coordinator: asks for the file's first piece (whose answer
// gives the size and validator, and whose body is the first data), creates
// or reopens the local file, tests how many parallel connections the server
// accepts, plans the file into lanes and runs one worker per lane, each
// asking for bounded pieces and taking over work left by others; it
// supervises them (restarting failed ones), keeps a resume record beside the
// partial file, and reports every stage through one callback.
//
// Threads: the caller's thread (configuration, Run, Cancel), one main
// download thread per Run, one worker per running segment or probe, and the
// short CancelAsync thread. Notifications 0, 1, 2, 4, 5 arrive on the main
// download thread, 3 (progress, at most ten a second) on segment threads.
// cancelled/running/stopWorkers are atomics; planLock guards the plan (the
// workers' calls through ISegmentHost); file writes need no lock (each byte
// has one owner). Nothing a worker touches is freed before it has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/CriticalSection.h"
#include "download/FileWriter.h"
#include "download/Planner.h"
#include "download/SegmentHost.h"
#include "net/Session.h"

class CConnection;
class CSegment;
class CDownloader;

enum DownloadState : int32_t {
    DOWNLOAD_CONNECTING = 0,
    DOWNLOAD_TESTING = 1,
    DOWNLOAD_STARTING = 2,
    DOWNLOAD_PROGRESS = 3,
    DOWNLOAD_COMPLETE = 4,
    DOWNLOAD_FAILED = 5,
};

struct DownloadEvent {
    int32_t state;      // a DownloadState
    int64_t bytesDone;  // bytes written so far
    void* context;      // the value given to Run
};

typedef void (*DownloadCallback)(CDownloader* sender, DownloadEvent event);

class CDownloader : public CSession, public ISegmentHost, public virtual CLog {
public:
    using CSegment = ::CSegment;

    CDownloader();
    ~CDownloader();

    // Configuration; each throws kavri::EErrorCode -4 while a download runs
    // (SetUrl/AddUrl also -2 for a bad URL).
    void SetMaxSegments(uint32_t n);  // clamped to 1..16, with a warning
    void SetUrl(const wchar_t* url);
    void AddUrl(const wchar_t* url);
    void SetCallback(DownloadCallback fn) { m_callback = fn; }
    // The folder new files are created in (default: %TEMP%); the resume
    // record lives there too.
    void SetDownloadFolder(const wchar_t* dir) { m_folder = dir ? dir : L""; }
    // What the file is. Any file (the default) may come from a cache,
    // survives a restart half-way and is saved under the name offered. A
    // program (the main installer) is saved under that name only when it
    // ends in .exe or .msi (else "setup.exe"). Settings (a web configuration)
    // must come from the origin, keep nothing for a resume, and fail with
    // kErrTooLarge past kMaxSettingsBytes.
    enum class Kind { File, Program, Settings };
    void SetKind(Kind kind) { m_kind = kind, m_fresh = kind == Kind::Settings; }

    // 0 when the download thread started, else the error code (also stored).
    int Run(void* context);
    void Cancel();       // waits at most 60 s for the download thread
    void CancelAsync();  // Cancel on a thread of its own; returns at once
    void Reset(bool keepConnections);

    const wchar_t* GetFilePath() const { return m_filePath; }
    int64_t GetFileSize() const { return m_fileSize; }
    int GetResult() const { return m_result.load(); }
    bool IsBusy() const { return m_running.load() == 1; }
    uint32_t GetMaxSegments() const { return m_maxSegments; }
    bool IsCancelled() const { return m_cancelled.load() != 0; }
    bool IsRunningFlag() const { return m_running.load() == 1; }

    // Tests shorten the restart delays, and replace the free space that the
    // target directory reports (negative: use the real value).
    void SetRestartDelayFactorForTest(uint32_t factor) { m_restartDelayFactor = factor; }
    void SetFreeSpaceForTest(int64_t bytes) { m_freeSpaceForTest = bytes; }

    // ISegmentHost, called on segment workers.
    bool ShouldStop() override;
    Work NextPiece(uint32_t id, kavri::ByteRange* piece, std::wstring* ifRange) override;
    bool SameFile(const kavri::AnswerInfo& answer) override;
    int64_t Deliver(uint32_t id, uint64_t offset, const void* data, uint32_t count, bool* pieceDone) override;
    void Stopped(uint32_t id) override;

protected:
    virtual void OnStatus(int state);
    virtual void OnComplete(int result);
    virtual void OnProgress(CSegment* segment, uint64_t total);
    virtual void Dispose(bool cancelFirst);

    int DoRun();
    int DoRunOnce();
    int Connect();
    int FirstRequest(CConnection* connection);
    int OnCreateFilestream(CConnection* connection);
    void CreateSegments(CConnection* connection);
    void StartSegments();
    void AddSegment(uint32_t id, CConnection* source);
    void RemoveSegment(size_t index);
    int WaitAll();
    bool Finished();
    int RunConnectivityTest();
    static int WaitForTestSegments(std::vector<CSegment*>& probes);

    // The resume record: found for this URL, kept up to date, removed.
    bool LoadResume(CConnection* connection);
    void SaveResume(bool force);
    void DeleteResume();
    std::wstring Folder() const;
    // Forgets the download (another version of the file, a reset): workers
    // cut off, file closed, and with deleteFile the file and record removed.
    void DiscardDownload(bool deleteFile);

    void ReleaseSegment(CSegment* segment);
    void ReleaseAllSegments();
    void SweepRetired();
    bool WaitForWorkers(ULONGLONG deadline);
    static void DeleteConnection(CConnection* connection);
    bool IsMainThread() const;
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
    HANDLE m_doneEvent;
    std::atomic<int> m_result;
    DownloadCallback m_callback;
    void* m_context;

    kavri::CriticalSection m_planLock;
    kavri::PiecePlanner m_plan;
    bool m_planned;        // the file exists and is split (a Run resumes it)
    Kind m_kind;
    bool m_fresh;  // Settings: answers from the origin, no resume record
    bool m_cleanEnd;       // a body of unknown length ended cleanly
    CSegment* m_first;     // holds the first answer until a worker reads it
    kavri::ByteRange m_firstPiece;
    std::wstring m_validator;
    std::wstring m_recordPath;  // set while a resume record is kept
    int64_t m_resumed;
    bool m_resumeFromDisk;  // the plan comes from a resume record
    ULONGLONG m_savedTick;
    uint64_t m_savedBytes;
    std::atomic<ULONGLONG> m_progressTick;

    HANDLE m_thread;
    DWORD m_threadId;
    HANDLE m_cancelThread;
    std::vector<CSegment*> m_retired;
    int64_t m_freeSpaceForTest;
    bool m_disposed;
};
