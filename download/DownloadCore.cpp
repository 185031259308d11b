// The download coordinator's core: configuration, Run/Cancel/Reset,
// notifications, the workers' calls (ISegmentHost) and the lifetime of
// segments. The run itself is in DownloadRun.cpp. See DownloadCore.h for the
// threads, the ownership and the lock order.
//
// Lifetime rule: a segment is deleted only once its worker thread has ended.
// A segment that has to go while its worker still runs is cut off (it is no
// longer in m_segments, which the host checks under m_planLock) and parked in
// m_retired; SweepRetired deletes it later, the destructor at the latest.
#include "download/DownloadCore.h"

#include <process.h>

#include <algorithm>
#include <mutex>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "download/Connection.h"
#include "download/Deadline.h"
#include "download/Segment.h"

namespace {

const DWORD kWorkerExitSlackMs = 5000;
const DWORD kCancelWaitMs = 60000;
const ULONGLONG kProgressEveryMs = 100;

}  // namespace

CDownloadCore::CDownloadCore(CDownloader* sender)
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
      m_sender(sender),
      m_planned(false),
      m_kind(DownloadKind::File),
      m_fresh(false),
      m_cleanEnd(false),
      m_first(nullptr),
      m_firstPiece{0, 0},
      m_resumed(0),
      m_resumeFromDisk(false),
      m_savedTick(0),
      m_savedBytes(0),
      m_progressTick(0),
      m_threadId(0),
      m_freeSpaceForTest(-1) {
    m_filePath[0] = L'\0';
    ZeroMemory(&m_lastModified, sizeof(m_lastModified));
}

CDownloadCore::~CDownloadCore() {
    // The last holder has let go: no thread of a run uses anything here.
    for (CSegment* s : m_segments) delete s;
    for (CSegment* s : m_retired) delete s;
    delete m_first;
    for (CConnection* connection : m_connections) delete connection;
}

void CDownloadCore::SetMaxSegments(uint32_t n) {
    if (IsBusy()) throw kavri::kErrDownloadBusy;
    // A negative setting arrives here as a huge unsigned number.
    const int64_t wanted = static_cast<int32_t>(n);
    m_maxSegments = m_allowedSegments = kavri::ClampSegments(wanted);
    if (wanted != static_cast<int64_t>(m_maxSegments))
        LogWarning(this, kavri::kErrBadArgument, L":SetMaxSegments, %I64d segments asked for, %u used (1 to %u).",
                   wanted, m_maxSegments, kavri::kMaxSegments);
}

void CDownloadCore::SetUrl(const wchar_t* url) {
    LogInfo(this, L"DownloadUrl: %ls", url ? url : L"(null)");
    Reset(false);
    m_filePath[0] = L'\0';
    AddUrl(url);
}

void CDownloadCore::AddUrl(const wchar_t* url) {
    if (IsBusy()) throw kavri::kErrDownloadBusy;
    m_connections.push_back(new CConnection(this, url));  // throws -2 for a bad URL
}

// ---------------------------------------------------------------------------
// Run, the main download thread, cancel

int CDownloadCore::Run(void* context) {
    try {
        if (IsBusy()) {
            LogWarning(this, kavri::kErrDownloadBusy,
                       L":Run, Dezezuva Vuzadevivor is busy. It's currently executing a download task.");
            throw kavri::kErrDownloadBusy;
        }
        m_cancelled = 0;
        m_result = 0;
        SweepRetired();
        if (!GetSession(true)) {
            LogError(this, kavri::kErrSession, L":Run, failed to create new internet session.");
            throw kavri::kErrSession;
        }
        if (context) m_context = context;
        m_thread.Reset();  // the previous main thread no longer touches anything of ours
        m_running = 1;
        m_stopWorkers = 0;
        ResetEvent(m_doneEvent.Get());
        unsigned threadId = 0;
        m_thread.Reset(StartThread(MainThreadProc, &threadId));
        if (!m_thread) {
            m_running = 0;
            SetEvent(m_doneEvent.Get());
            LogError(this, kavri::kErrGeneric, L":Run, unexpected Error caught on start main download thread.");
            throw kavri::kErrGeneric;
        }
        m_threadId = threadId;
        ResumeThread(m_thread.Get());
        return 0;
    } catch (kavri::EErrorCode c) {
        m_result = c;
        return c;
    }
}

HANDLE CDownloadCore::StartThread(unsigned(__stdcall* fn)(void*), unsigned* threadId) {
    auto* holder = new std::shared_ptr<CDownloadCore>(shared_from_this());
    const uintptr_t thread = _beginthreadex(nullptr, 0, fn, holder, CREATE_SUSPENDED, threadId);
    if (!thread) delete holder;
    return reinterpret_cast<HANDLE>(thread);
}

namespace {

// The reference a thread started by StartThread holds, taken from its parameter.
std::shared_ptr<CDownloadCore> TakeHolder(void* param) {
    std::unique_ptr<std::shared_ptr<CDownloadCore>> holder(static_cast<std::shared_ptr<CDownloadCore>*>(param));
    return std::move(*holder);
}

}  // namespace

unsigned __stdcall CDownloadCore::MainThreadProc(void* param) {
    // Released last: the core may be destroyed then (its facade has gone).
    const std::shared_ptr<CDownloadCore> keep = TakeHolder(param);
    CDownloadCore* self = keep.get();
    int r = kavri::kErrGeneric;
    if (!kavri::Guarded([&] { r = self->DoRun(); })) r = kavri::kErrGeneric;
    self->m_stopWorkers = 1;  // no worker of this run sends another request
    self->m_result = r;
    self->m_running.exchange(0);
    SetEvent(self->m_doneEvent.Get());
    // From here on the receiver may reconfigure or restart the coordinator;
    // this thread touches nothing of it after the notification.
    self->OnComplete(r);
    return 0;
}

bool CDownloadCore::IsMainThread() const { return m_threadId != 0 && GetCurrentThreadId() == m_threadId; }

void CDownloadCore::Cancel() {
    LogInfo(this, L":Cancel, start.");
    m_cancelled = 1;
    if (m_doneEvent && !IsMainThread()) WaitForSingleObject(m_doneEvent.Get(), kCancelWaitMs);
    m_result = 1;
    LogInfo(this, L":Cancel, complete.");
}

unsigned __stdcall CDownloadCore::CancelThreadProc(void* param) {
    const std::shared_ptr<CDownloadCore> keep = TakeHolder(param);
    kavri::Guarded([&] { keep->Cancel(); });
    return 0;
}

void CDownloadCore::CancelAsync() {
    m_cancelled = 1;
    if (m_cancelThread) {
        if (WaitForSingleObject(m_cancelThread.Get(), 0) != WAIT_OBJECT_0) return;  // one is under way
        m_cancelThread.Reset();
    }
    unsigned threadId = 0;
    m_cancelThread.Reset(StartThread(CancelThreadProc, &threadId));
    if (!m_cancelThread) {
        LogError(this, kavri::kErrGeneric, L":CancelAsync, failed to start the cancel thread.");
        return;
    }
    ResumeThread(m_cancelThread.Get());
}

// ---------------------------------------------------------------------------
// The workers' view of the download

bool CDownloadCore::ShouldStop() { return m_cancelled != 0 || m_running != 1 || m_stopWorkers != 0; }

bool CDownloadCore::IsMember(const CSegment& worker) const {
    return !worker.IsDetached() && std::find(m_segments.begin(), m_segments.end(), &worker) != m_segments.end();
}

ISegmentHost::Work CDownloadCore::NextPiece(const CSegment& worker, kavri::ByteRange* piece, std::wstring* ifRange) {
    if (ShouldStop()) return Work::kNone;
    std::vector<uint64_t> rates(kavri::kMaxSegments + 2, 0);
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    if (!IsMember(worker)) return Work::kNone;
    std::vector<uint32_t> waits;
    for (CSegment* s : m_segments) {
        if (s->id < rates.size()) rates[s->id] = s->Rate();
        if (s->WaitMs()) waits.push_back(s->WaitMs());
    }
    if (!waits.empty()) {  // the typical wait: one slow answer does not count
        std::nth_element(waits.begin(), waits.begin() + waits.size() / 2, waits.end());
        m_plan.SetLatency(waits[waits.size() / 2]);
    }
    if (!m_plan.Next(worker.id, rates, piece))  // an idle worker stays to take over a piece that turns out slow
        return m_plan.Ranges() && !m_plan.Complete() ? Work::kLater : Work::kNone;
    *ifRange = m_onMirror ? m_mirrorValidator : m_validator;
    return Work::kPiece;
}

bool CDownloadCore::SameFile(const CSegment& worker, const kavri::AnswerInfo& answer) {
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    if (!IsMember(worker)) return true;  // it stops at its next check
    if (m_plan.Ranges() && answer.total != m_fileSize) return false;
    // A server that ignores If-Range still shows a new ETag.
    const std::wstring& v = m_onMirror ? m_mirrorValidator : m_validator;
    const bool etag = !v.empty() && v[0] != L'W' && v.find(L'"') != std::wstring::npos;
    return !etag || answer.etag.empty() || answer.etag == v;
}

int64_t CDownloadCore::Deliver(const CSegment& worker, uint64_t offset, const void* data, uint32_t count,
                               bool* pieceDone) {
    // The claim and the commit are made under the plan lock, only for a
    // segment of this run; the write between them names the file opening it
    // was claimed for, so a segment cut off meanwhile never writes into a
    // file opened after it (another version).
    if (m_kind == DownloadKind::Settings && offset + count > kavri::kMaxSettingsBytes) {
        LogError(this, kavri::kErrTooLarge, L":Deliver, the answer is larger than %u bytes.",
                 static_cast<unsigned>(kavri::kMaxSettingsBytes));
        return kavri::kErrTooLarge;
    }
    uint64_t keep;
    uint32_t opening;
    {
        std::lock_guard<kavri::Lock> lock(m_planLock);
        if (!IsMember(worker)) return kavri::kErrWriteFile;
        keep = m_plan.Reserve(worker.id, count);
        opening = m_writer.Generation();
    }
    if (keep && !m_writer.WriteAt(opening, offset, data, static_cast<uint32_t>(keep))) return kavri::kErrWriteFile;
    std::lock_guard<kavri::Lock> lock(m_planLock);
    if (!IsMember(worker)) return kavri::kErrWriteFile;
    m_plan.Commit(worker.id);
    *pieceDone = m_plan.PieceEnd(worker.id) <= offset + keep;
    m_bytesWritten += static_cast<int64_t>(keep);
    return static_cast<int64_t>(keep);
}

void CDownloadCore::Progressed() {
    const ULONGLONG now = GetTickCount64();
    ULONGLONG last = m_progressTick.load();
    if (now - last >= kProgressEveryMs && m_progressTick.compare_exchange_strong(last, now))
        OnProgress(static_cast<uint64_t>(m_bytesWritten.load()));
}

void CDownloadCore::Stopped(const CSegment& worker) {
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    if (IsMember(worker)) m_plan.Release(worker.id);
}

// ---------------------------------------------------------------------------
// Notifications

void CDownloadCore::Notify(int32_t state, int64_t bytes) {
    // Counted before the check, so Shutdown either sees this call under way
    // or this call sees the facade gone.
    ++m_notifying;
    if (!m_detached && m_callback && !kavri::Guarded([&] { m_callback(m_sender, DownloadEvent{state, bytes, m_context}); }))
        LogError(this, kavri::kErrGeneric, L":Notify, failed to expose event %d", static_cast<int>(state));
    --m_notifying;
}

void CDownloadCore::OnStatus(int state) {
    Notify(state, m_bytesWritten.load());
    static const wchar_t* const kNames[] = {L"Connecting to server", L"Testing Connection", L"Starting download"};
    if (state >= DOWNLOAD_CONNECTING && state <= DOWNLOAD_STARTING) LogInfo(this, L"%ls", kNames[state]);
}

void CDownloadCore::OnComplete(int result) {
    m_result = result;
    Notify(result != 0 ? DOWNLOAD_FAILED : DOWNLOAD_COMPLETE, m_bytesWritten.load());
    if (result == 0)
        LogInfo(this, L"Download complete successfully");
    else
        LogInfo(this, L"Download complete with errors, last ERROR: %d", result);
}

void CDownloadCore::OnProgress(uint64_t total) {
    if (m_running != 1) return;  // nobody waits for progress after the end
    Notify(DOWNLOAD_PROGRESS, static_cast<int64_t>(total));
}

// ---------------------------------------------------------------------------
// Reset, Dispose and the lifetime of segments

void CDownloadCore::ReleaseSegment(CSegment* segment) {
    if (!segment) return;
    if (segment->WaitForWorker(0)) {
        delete segment;
        return;
    }
    segment->DetachOwner();
    m_retired.push_back(segment);
}

void CDownloadCore::ReleaseAllSegments() {
    std::vector<CSegment*> segments;
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);  // workers read the list
        segments.swap(m_segments);
        for (CSegment* s : segments) s->DetachOwner();  // cut off in the same hold
    }
    for (CSegment* s : segments) ReleaseSegment(s);
}

void CDownloadCore::SweepRetired() {
    for (size_t i = 0; i < m_retired.size();) {
        if (m_retired[i]->WaitForWorker(0)) {
            delete m_retired[i];
            m_retired.erase(m_retired.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

bool CDownloadCore::WaitForWorkers(const kavri::Deadline& deadline) {
    bool all = true;
    for (CSegment* s : m_segments) all = s->WaitForWorker(deadline.Left()) && all;
    for (CSegment* s : m_retired) all = s->WaitForWorker(deadline.Left()) && all;
    return all;
}

void CDownloadCore::DiscardDownload(bool deleteFile) {
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
    m_planSource = nullptr;
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    m_onMirror = false;
}

void CDownloadCore::Reset(bool keepConnections) {
    if (IsBusy()) throw kavri::kErrDownloadBusy;
    SweepRetired();
    delete m_first;  // never started: no worker
    m_first = nullptr;
    if (m_filePath[0]) LogInfo(this, L":Reset, delete file.");
    DiscardDownload(true);
    // The same file again after one that mixed sources (verification refused
    // it): this time from one source.
    m_singleSource = keepConnections && m_lastMixed;
    m_lastMixed = false;
    if (!keepConnections) {
        for (CConnection* connection : m_connections) delete connection;
        m_connections.clear();
        m_currentConnection = nullptr;
    }
}

void CDownloadCore::Shutdown() {
    if (!kavri::Guarded([&] {
            m_cancelled = -1;
            m_stopWorkers = 1;
            // Closing the session ends the workers' pending calls where the
            // platform allows; the WinINet time-outs end them everywhere.
            CSession::Close();
            const kavri::Deadline deadline(GetConnectionTimeout() + GetReceiveTimeout() + kWorkerExitSlackMs);
            const bool mainEnded =
                !m_thread || (!IsMainThread() && WaitForSingleObject(m_thread.Get(), deadline.Left()) == WAIT_OBJECT_0);
            if (!mainEnded) LogError(this, kavri::kErrGeneric, L"~CDownloader, the download thread did not end in time.");
            if (m_cancelThread && WaitForSingleObject(m_cancelThread.Get(), deadline.Left()) != WAIT_OBJECT_0)
                LogError(this, kavri::kErrGeneric, L"~CDownloader, the cancel thread did not end in time.");
            m_detached = true;  // no notification starts from here on; one under way may end
            while (m_notifying.load() > 0 && !deadline.Passed()) Sleep(10);
            if (!mainEnded) return;  // the run still uses everything: its thread's reference keeps it
            m_running = -1;
            ReleaseAllSegments();
            m_writer.Close();  // a partial file stays for a resume
            if (!WaitForWorkers(deadline))
                LogError(this, kavri::kErrGeneric, L"~CDownloader, %d segment workers did not end in time.",
                         static_cast<int>(m_retired.size()));
            SweepRetired();  // the rest goes with the last worker's reference
        }))
        LogWarning(this, kavri::kErrGeneric, L"~CDownloader, unexpected error on CDownloader instance dispose");
}
