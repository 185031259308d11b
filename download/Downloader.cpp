// The download coordinator: configuration, Run/Cancel/Reset, notifications,
// the workers' calls (ISegmentHost) and the lifetime of segments. The run
// itself is in DownloadRun.cpp. See Downloader.h for the threads and locks.
//
// Lifetime rule: a segment is deleted only once its worker thread has ended.
// A segment that has to go while its worker still runs is cut off from this
// coordinator (DetachOwner) and parked in m_retired; SweepRetired deletes it
// later, and Dispose waits for it with a bound.
#include "download/Downloader.h"

#include <process.h>

#include <algorithm>
#include <mutex>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "download/Connection.h"
#include "download/Segment.h"

namespace {

const DWORD kWorkerExitSlackMs = 5000;
const DWORD kCancelWaitMs = 60000;
const ULONGLONG kProgressEveryMs = 100;

}  // namespace

CDownloader::CDownloader()
    : CLog(L"CDownloader"),
      CSession(0),
      m_restartDelayFactor(1000),
      m_maxSegments(10),
      m_allowedSegments(10),
      m_minSegmentSize(1024000),
      m_currentConnection(nullptr),
      m_fileSize(-1),
      m_bytesWritten(-1),
      m_cancelled(0),
      m_running(0),
      m_stopWorkers(0),
      m_doneEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_result(0),
      m_callback(nullptr),
      m_context(nullptr),
      m_planned(false),
      m_kind(Kind::File),
      m_fresh(false),
      m_cleanEnd(false),
      m_first(nullptr),
      m_firstPiece{0, 0},
      m_resumed(0),
      m_resumeFromDisk(false),
      m_savedTick(0),
      m_savedBytes(0),
      m_progressTick(0),
      m_thread(nullptr),
      m_threadId(0),
      m_cancelThread(nullptr),
      m_freeSpaceForTest(-1),
      m_disposed(false) {
    m_filePath[0] = L'\0';
    ZeroMemory(&m_lastModified, sizeof(m_lastModified));
}

CDownloader::~CDownloader() { Dispose(false); }

void CDownloader::SetMaxSegments(uint32_t n) {
    if (IsBusy()) throw kavri::kErrBusy;
    // A negative setting arrives here as a huge unsigned number.
    const int64_t wanted = static_cast<int32_t>(n);
    m_maxSegments = m_allowedSegments = kavri::ClampSegments(wanted);
    if (wanted != static_cast<int64_t>(m_maxSegments))
        LogWarning(this, kavri::kErrBadArgument, L":SetMaxSegments, %I64d segments asked for, %u used (1 to %u).",
                   wanted, m_maxSegments, kavri::kMaxSegments);
}

void CDownloader::SetUrl(const wchar_t* url) {
    LogInfo(this, L"DownloadUrl: %ls", url ? url : L"(null)");
    Reset(false);
    m_filePath[0] = L'\0';
    AddUrl(url);
}

void CDownloader::AddUrl(const wchar_t* url) {
    if (IsBusy()) throw kavri::kErrBusy;
    m_connections.push_back(new CConnection(this, url));  // throws -2 for a bad URL
}

// ---------------------------------------------------------------------------
// Run, the main download thread, cancel

int CDownloader::Run(void* context) {
    try {
        if (IsBusy()) {
            LogWarning(this, kavri::kErrBusy,
                       L":Run, Dezezuva Vuzadevivor is busy. It's currently executing a download task.");
            throw kavri::kErrBusy;
        }
        m_cancelled = 0;
        m_result = 0;
        SweepRetired();
        if (!GetSession(true)) {
            LogError(this, kavri::kErrSession, L":Run, failed to create new internet session.");
            throw kavri::kErrSession;
        }
        if (context) m_context = context;
        if (m_thread) {  // the previous main thread no longer touches anything of ours
            CloseHandle(m_thread);
            m_thread = nullptr;
        }
        m_running = 1;
        m_stopWorkers = 0;
        ResetEvent(m_doneEvent);
        unsigned threadId = 0;
        uintptr_t thread = _beginthreadex(nullptr, 0, MainThreadProc, this, CREATE_SUSPENDED, &threadId);
        if (!thread) {
            m_running = 0;
            SetEvent(m_doneEvent);
            LogError(this, kavri::kErrGeneric, L":Run, unexpected Error caught on start main download thread.");
            throw kavri::kErrGeneric;
        }
        m_thread = reinterpret_cast<HANDLE>(thread);
        m_threadId = threadId;
        ResumeThread(m_thread);
        return 0;
    } catch (kavri::EErrorCode c) {
        m_result = c;
        return c;
    }
}

unsigned __stdcall CDownloader::MainThreadProc(void* param) {
    CDownloader* self = static_cast<CDownloader*>(param);
    if (!self) return static_cast<unsigned>(-1);
    int r = kavri::kErrGeneric;
    if (!kavri::Guarded([&] { r = self->DoRun(); })) r = kavri::kErrGeneric;
    self->m_stopWorkers = 1;  // no worker of this run sends another request
    self->m_result = r;
    self->m_running.exchange(0);
    SetEvent(self->m_doneEvent);
    // From here on the receiver may reconfigure or restart the coordinator;
    // this thread touches nothing of it after the notification.
    self->OnComplete(r);
    return 0;
}

bool CDownloader::IsMainThread() const { return m_threadId != 0 && GetCurrentThreadId() == m_threadId; }

void CDownloader::Cancel() {
    LogInfo(this, L":Cancel, start.");
    m_cancelled = 1;
    if (m_doneEvent && !IsMainThread()) WaitForSingleObject(m_doneEvent, kCancelWaitMs);
    m_result = 1;
    LogInfo(this, L":Cancel, complete.");
}

unsigned __stdcall CDownloader::CancelThreadProc(void* param) {
    CDownloader* self = static_cast<CDownloader*>(param);
    if (self) kavri::Guarded([&] { self->Cancel(); });
    return 0;
}

void CDownloader::CancelAsync() {
    m_cancelled = 1;
    if (m_cancelThread) {
        if (WaitForSingleObject(m_cancelThread, 0) != WAIT_OBJECT_0) return;  // one is under way
        CloseHandle(m_cancelThread);
        m_cancelThread = nullptr;
    }
    uintptr_t thread = _beginthreadex(nullptr, 0, CancelThreadProc, this, 0, nullptr);
    if (!thread) {
        LogError(this, kavri::kErrGeneric, L":CancelAsync, failed to start the cancel thread.");
        return;
    }
    m_cancelThread = reinterpret_cast<HANDLE>(thread);
}

// ---------------------------------------------------------------------------
// The workers' view of the download

bool CDownloader::ShouldStop() { return m_cancelled != 0 || m_running != 1 || m_stopWorkers != 0; }

ISegmentHost::Work CDownloader::NextPiece(uint32_t id, kavri::ByteRange* piece, std::wstring* ifRange) {
    if (ShouldStop()) return Work::kNone;
    std::vector<uint64_t> rates(kavri::kMaxSegments + 2, 0);
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    for (CSegment* s : m_segments)
        if (s->id < rates.size()) rates[s->id] = s->Rate();
    if (!m_plan.Next(id, rates, piece))  // an idle worker stays to take over a piece that turns out slow
        return m_plan.Ranges() && !m_plan.Complete() ? Work::kLater : Work::kNone;
    *ifRange = m_validator;
    return Work::kPiece;
}

bool CDownloader::SameFile(const kavri::AnswerInfo& answer) {
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    if (m_plan.Ranges() && answer.total != m_fileSize) return false;
    // A server that ignores If-Range still shows a new ETag.
    const bool etag = !m_validator.empty() && m_validator[0] != L'W' && m_validator.find(L'"') != std::wstring::npos;
    return !etag || answer.etag.empty() || answer.etag == m_validator;
}

int64_t CDownloader::Deliver(uint32_t id, uint64_t offset, const void* data, uint32_t count, bool* pieceDone) {
    if (m_kind == Kind::Settings && offset + count > kavri::kMaxSettingsBytes) {
        LogError(this, kavri::kErrTooLarge, L":Deliver, the answer is larger than %u bytes.",
                 static_cast<unsigned>(kavri::kMaxSettingsBytes));
        return kavri::kErrTooLarge;
    }
    uint64_t keep;
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        keep = m_plan.Reserve(id, count);
    }
    if (keep && !m_writer.WriteAt(offset, data, static_cast<uint32_t>(keep))) return kavri::kErrWriteFile;
    int64_t total;
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        m_plan.Commit(id);
        *pieceDone = m_plan.PieceEnd(id) <= offset + keep;
        total = m_bytesWritten += static_cast<int64_t>(keep);
    }
    const ULONGLONG now = GetTickCount64();
    ULONGLONG last = m_progressTick.load();
    if (keep && now - last >= kProgressEveryMs && m_progressTick.compare_exchange_strong(last, now))
        OnProgress(nullptr, static_cast<uint64_t>(total));
    return static_cast<int64_t>(keep);
}

void CDownloader::Stopped(uint32_t id) {
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    m_plan.Release(id);
}

// ---------------------------------------------------------------------------
// Notifications

void CDownloader::OnStatus(int state) {
    if (!kavri::Guarded([&] {
            if (m_callback) m_callback(this, DownloadEvent{state, m_bytesWritten.load(), m_context});
            if (IsLogEnabled(LOG_LEVEL_INFO)) {
                switch (state) {
                case DOWNLOAD_CONNECTING: LogInfo(this, L"Connecting to server"); break;
                case DOWNLOAD_TESTING: LogInfo(this, L"Testing Connection"); break;
                case DOWNLOAD_STARTING: LogInfo(this, L"Starting download"); break;
                default: break;
                }
            }
        }))
        LogError(this, kavri::kErrGeneric, L":OnProgress, failed to expose progress event");
}

void CDownloader::OnComplete(int result) {
    m_result = result;
    if (!kavri::Guarded([&] {
            if (m_callback)
                m_callback(this, DownloadEvent{result != 0 ? DOWNLOAD_FAILED : DOWNLOAD_COMPLETE,
                                               m_bytesWritten.load(), m_context});
            if (IsLogEnabled(LOG_LEVEL_INFO)) {
                if (result == 0)
                    LogInfo(this, L"Download complete successfully");
                else
                    LogInfo(this, L"Download complete with errors, last ERROR: %d", result);
            }
        }))
        LogError(this, kavri::kErrGeneric, L":OnProgress, failed to expose progress event");
}

void CDownloader::OnProgress(CSegment* segment, uint64_t total) {
    if (m_running != 1) return;  // nobody waits for progress after the end
    if (!kavri::Guarded([&] {
            if (m_callback) m_callback(this, DownloadEvent{DOWNLOAD_PROGRESS, static_cast<int64_t>(total), m_context});
        }))
        LogError(this, kavri::kErrGeneric, L":OnProgress, failed to expose progress event");
}

// ---------------------------------------------------------------------------
// Reset, Dispose and the lifetime of segments

void CDownloader::ReleaseSegment(CSegment* segment) {
    if (!segment) return;
    if (segment->WaitForWorker(0)) {
        delete segment;
        return;
    }
    segment->DetachOwner();
    m_retired.push_back(segment);
}

void CDownloader::ReleaseAllSegments() {
    std::vector<CSegment*> segments;
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);  // workers read the list
        segments.swap(m_segments);
    }
    for (CSegment* s : segments) ReleaseSegment(s);
}

void CDownloader::SweepRetired() {
    for (size_t i = 0; i < m_retired.size();) {
        if (m_retired[i]->WaitForWorker(0)) {
            delete m_retired[i];
            m_retired.erase(m_retired.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

bool CDownloader::WaitForWorkers(ULONGLONG deadline) {
    auto left = [deadline]() -> DWORD {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };
    bool all = true;
    for (CSegment* s : m_segments) all = s->WaitForWorker(left()) && all;
    for (CSegment* s : m_retired) all = s->WaitForWorker(left()) && all;
    return all;
}

void CDownloader::DiscardDownload(bool deleteFile) {
    const bool ours = m_filePath[0] || m_planned || m_resumeFromDisk;
    ReleaseAllSegments();
    m_writer.Close();
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        m_plan.Begin(0, false);
        m_bytesWritten = -1;
    }
    if (deleteFile && m_filePath[0] && !DeleteFileW(m_filePath) && GetLastError() != ERROR_FILE_NOT_FOUND)
        LogError(this, kavri::kErrDeleteFile, L":Reset, delete file failed.");
    if (deleteFile && ours) DeleteResume();
    m_planned = false;
    m_cleanEnd = false;
    m_fileSize = -1;
    m_validator.clear();
    m_resumed = 0;
    m_resumeFromDisk = false;
}

void CDownloader::Reset(bool keepConnections) {
    if (IsBusy()) throw kavri::kErrBusy;
    SweepRetired();
    delete m_first;  // never started: no worker
    m_first = nullptr;
    if (m_filePath[0]) LogInfo(this, L":Reset, delete file.");
    DiscardDownload(true);
    if (!keepConnections) {
        for (CConnection* connection : m_connections) DeleteConnection(connection);
        m_connections.clear();
        m_currentConnection = nullptr;
    }
}

void CDownloader::DeleteConnection(CConnection* connection) { delete connection; }

void CDownloader::Dispose(bool cancelFirst) {
    if (m_disposed) return;
    if (!kavri::Guarded([&] {
            if (cancelFirst) Cancel();
            m_cancelled = -1;
            m_stopWorkers = 1;
            // Closing the session ends the workers' pending calls where the
            // platform allows; the WinINet time-outs end them everywhere.
            CSession::Close();
            const ULONGLONG deadline =
                GetTickCount64() + GetConnectionTimeout() + GetReceiveTimeout() + kWorkerExitSlackMs;
            auto left = [deadline]() -> DWORD {
                const ULONGLONG now = GetTickCount64();
                return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            };
            if (m_thread && !IsMainThread() && WaitForSingleObject(m_thread, left()) != WAIT_OBJECT_0)
                LogError(this, kavri::kErrGeneric, L"~CDownloader, the download thread did not end in time.");
            if (m_cancelThread && WaitForSingleObject(m_cancelThread, left()) != WAIT_OBJECT_0)
                LogError(this, kavri::kErrGeneric, L"~CDownloader, the cancel thread did not end in time.");
            m_running = -1;
            ReleaseAllSegments();
            delete m_first;
            m_first = nullptr;
            if (!WaitForWorkers(deadline))
                LogError(this, kavri::kErrGeneric, L"~CDownloader, %d segment workers did not end in time.",
                         static_cast<int>(m_retired.size()));
            SweepRetired();
            m_retired.clear();  // left to the end of the process, cut off from us
            for (CConnection* connection : m_connections) DeleteConnection(connection);
            m_connections.clear();
            m_currentConnection = nullptr;
            m_writer.Close();  // a partial file stays for a resume
            if (m_thread) CloseHandle(m_thread);
            m_thread = nullptr;
            if (m_cancelThread) CloseHandle(m_cancelThread);
            m_cancelThread = nullptr;
            if (m_doneEvent) CloseHandle(m_doneEvent);
            m_doneEvent = nullptr;
        }))
        LogWarning(this, kavri::kErrGeneric, L"~CDownloader, unexpected error on CDownloader instance dispose");
    m_disposed = true;
}
