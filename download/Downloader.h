// The download coordinator: sizes the remote file, creates and pre-sizes the
// local file, tests how many parallel connections the server accepts, splits
// the file into byte-range segments, runs and supervises them (restarting
// failed ones) and reports every stage through one callback.
//
// Threads: the caller's thread (configuration, Run, Cancel), one main
// download thread per Run, one worker per running segment or probe, and the
// short CancelAsync thread. Notifications 0, 1, 2, 4, 5 arrive on the main
// download thread, 3 (progress) concurrently on segment threads.
// cancelled/running are atomics; fileLock serialises seek+write and the byte
// total. Nothing a worker touches is freed before that worker has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/CriticalSection.h"
#include "net/Session.h"

class CConnection;
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

class CDownloader : public CSession, public virtual CLog {
public:
    class CSegment;

    CDownloader();
    ~CDownloader();

    // Configuration; each throws kavri::EErrorCode -4 while a download runs
    // (SetUrl/AddUrl also -2 for a bad URL).
    void SetMaxSegments(uint32_t n);  // 0 is taken as 1
    void SetUrl(const wchar_t* url);
    void AddUrl(const wchar_t* url);
    void SetCallback(DownloadCallback fn) { m_callback = fn; }
    // The folder new files are created in (default: %TEMP%).
    void SetDownloadFolder(const wchar_t* dir) { m_folder = dir ? dir : L""; }

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

    // Called by segments on their worker threads.
    uint32_t WriteToFile(CSegment* segment, const void* buffer, uint32_t count);
    bool IsCancelled() const { return m_cancelled.load() != 0; }
    bool IsRunningFlag() const { return m_running.load() == 1; }

    // A segment that must start over from 0 (no byte ranges) takes back the
    // bytes it had counted, so the total never exceeds the file.
    void ForgetWrittenBytes(uint64_t count);

    // Tests shorten the restart delay factor.
    void SetRestartDelayFactorForTest(uint32_t factor) { m_restartDelayFactor = factor; }
    // Tests replace the free space that the target directory reports
    // (negative: use the real value).
    void SetFreeSpaceForTest(int64_t bytes) { m_freeSpaceForTest = bytes; }

protected:
    virtual void OnStatus(int state);
    virtual void OnComplete(int result);
    virtual void OnProgress(CSegment* segment, uint64_t total);
    virtual void Dispose(bool cancelFirst);

    int DoRun();
    int Connect();
    int OnCreateFilestream(CConnection* connection);
    void CreateSegments(CConnection* connection);
    int WaitAll();
    int RunConnectivityTest();
    static int WaitForTestSegments(std::vector<CSegment*>& probes);

    // Segment lifetime: a segment whose worker has ended is deleted; one whose
    // worker still runs is cut off from this coordinator and kept in
    // m_retired until it ends (swept later, waited for on destruction).
    void ReleaseSegment(CSegment* segment);
    void ReleaseAllSegments();
    void SweepRetired();
    // Waits until every worker of this coordinator has ended or deadline
    // (GetTickCount64) passes; true when all ended.
    bool WaitForWorkers(ULONGLONG deadline);
    bool CloseFile();  // false when the final flush failed
    int64_t BytesWritten();  // under fileLock
    bool SegmentSucceeded(const CSegment* segment) const;
    // QueryFileInformation through a URL connection, asking for the first
    // byte only (the size then comes from Content-Range) and plainly when
    // the server does not serve that range.
    int QueryFile(CConnection* connection, int64_t* size);
    static void DeleteConnection(CConnection* connection);
    bool IsMainThread() const;
    static unsigned __stdcall MainThreadProc(void* param);
    static unsigned __stdcall CancelThreadProc(void* param);

    wchar_t m_filePath[MAX_PATH];
    std::wstring m_folder;
    uint32_t m_restartDelayFactor;
    uint32_t m_maxSegments;
    uint64_t m_minSegmentSize;
    std::vector<CConnection*> m_connections;
    CConnection* m_currentConnection;
    SYSTEMTIME m_lastModified;
    int64_t m_fileSize;
    int64_t m_bytesWritten;
    FILE* m_file;
    std::atomic<int32_t> m_cancelled;
    std::atomic<int32_t> m_running;
    std::vector<CSegment*> m_segments;
    kavri::CriticalSection m_fileLock;
    HANDLE m_doneEvent;
    std::atomic<int> m_result;  // set by the download thread, Run and Cancel
    DownloadCallback m_callback;
    void* m_context;

    HANDLE m_thread;        // the main download thread of the last Run
    DWORD m_threadId;
    HANDLE m_cancelThread;  // the last CancelAsync thread
    std::vector<CSegment*> m_retired;  // cut-off segments whose workers still run
    int64_t m_freeSpaceForTest;
    bool m_disposed;
};

namespace kavri {
// Pure planning helpers, exposed for tests.
struct SegmentPlan {
    uint64_t start;
    uint64_t end;
};
// The byte ranges CreateSegments makes. A fileSize of UINT64_MAX (-1, size
// unknown) gives one segment from 0 with no end (end 0: read to the end of
// the data), and so does a file of 0 bytes.
std::vector<SegmentPlan> PlanSegments(uint64_t fileSize, bool acceptsRanges,
                                      uint32_t maxSegments, uint64_t minSegmentSize);
// The delay before restarting a failed segment with n segments remaining.
uint32_t RestartDelayMs(size_t remainingSegments, uint32_t restartDelayFactor);
// maxSegments after a connectivity test with `failures` failed probes.
uint32_t AdjustMaxSegments(uint32_t maxSegments, uint32_t failures);
// out := dir\name as a full path; false unless it names a file directly
// inside dir under exactly that name.
bool JoinInside(const wchar_t* dir, const wchar_t* name, wchar_t* out);
// "name.ext" -> "name[n].ext".
void NumberedFileName(const wchar_t* fileName, unsigned n, wchar_t* out, size_t outChars);
}  // namespace kavri
