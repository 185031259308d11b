// The download coordinator. See Downloader.h for the threads and locks.
//
// Lifetime rule: a segment is deleted only once its worker thread has ended.
// A segment that has to go while its worker still runs (Reset, a stale list,
// Dispose) is cut off from this coordinator (DetachOwner) and parked in
// m_retired; SweepRetired deletes it later, and Dispose waits for it with a
// bound. The main download thread and the CancelAsync thread are waited for
// (bounded) before anything they use is freed.
#include "download/Downloader.h"

#include <process.h>
#include <share.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "download/Connection.h"
#include "download/Segment.h"

using kavri::EErrorCode;

namespace {

// How long Dispose waits for the threads of a download beyond the WinINet
// time-outs that end their blocked calls.
const DWORD kWorkerExitSlackMs = 5000;
const DWORD kCancelWaitMs = 60000;
const DWORD kPollMs = 1000;
const unsigned kMaxNumberedName = 100000;

bool Contains(const std::vector<CDownloader::CSegment*>& list, const CDownloader::CSegment* s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

void Remove(std::vector<CDownloader::CSegment*>& list, const CDownloader::CSegment* s) {
    list.erase(std::remove(list.begin(), list.end(), s), list.end());
}

// The coordinator's connection for one URL. For the file query it can ask
// for the first byte only: the query needs the headers, not the body, and a
// request for the whole file that is closed unread makes the server send it
// all the same (WinINet drains it on close).
class CUrlConnection final : public CConnection {
public:
    CUrlConnection(CSession* session, const wchar_t* url) : CConnection(session, url) {}

    int GetRequestHeaders(wchar_t* buffer, DWORD capacity) override {
        if (!firstByteOnly || !buffer || capacity < 20) return 0;
        wcscpy(buffer, L"Range: bytes=0-0");
        return static_cast<int>(wcslen(buffer));
    }
    // A 206 answer proves byte-range support, whatever Accept-Ranges said;
    // a refused range disproves it.
    void SetAcceptsRanges(bool value) { m_acceptsRanges = value; }

    bool firstByteOnly = false;
};

// The total size of a Content-Range value "bytes 0-0/TOTAL"; -1 when unknown.
int64_t ContentRangeTotal(const wchar_t* value) {
    const wchar_t* slash = wcschr(value, L'/');
    if (!slash || slash[1] < L'0' || slash[1] > L'9') return -1;
    return _wcstoi64(slash + 1, nullptr, 10);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pure planning helpers

namespace kavri {

std::vector<SegmentPlan> PlanSegments(uint64_t fileSize, bool acceptsRanges,
                                      uint32_t maxSegments, uint64_t minSegmentSize) {
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
    uint32_t q = static_cast<uint32_t>(fileSize / minSegmentSize);
    uint32_t count = maxSegments >= q ? q : maxSegments;
    if (count == 0) count = 1;
    uint64_t segSize = fileSize / count;
    uint64_t offset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t end = (i == count - 1) ? fileSize : offset + segSize;
        plan.push_back({offset, end});
        offset = end;
    }
    return plan;
}

uint32_t RestartDelayMs(size_t remainingSegments, uint32_t restartDelayFactor) {
    uint32_t tenths = static_cast<uint32_t>(static_cast<double>(remainingSegments) * 0.1);
    uint32_t m = tenths * restartDelayFactor;
    return static_cast<uint32_t>(static_cast<double>(m) * 0.1);
}

uint32_t AdjustMaxSegments(uint32_t maxSegments, uint32_t failures) {
    // n - (f - 1) in unsigned arithmetic: no failure gives n + 1, n failures 1.
    // More failures than probes cannot happen; should they, keep one segment.
    if (failures > maxSegments) return 1;
    return maxSegments - (failures - 1);
}

bool JoinInside(const wchar_t* dir, const wchar_t* name, wchar_t* out) {
    out[0] = L'\0';
    if (!dir || !name || !*name) return false;
    std::wstring folder(dir);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    const std::wstring joined = folder + L"\\" + name;
    wchar_t full[MAX_PATH], fullFolder[MAX_PATH];
    wchar_t* filePart = nullptr;
    DWORD n = GetFullPathNameW(joined.c_str(), MAX_PATH, full, &filePart);
    if (n == 0 || n >= MAX_PATH || !filePart || filePart == full) return false;
    n = GetFullPathNameW(folder.c_str(), MAX_PATH, fullFolder, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    const std::wstring parent(full, static_cast<size_t>(filePart - full - 1));
    // The name stays what it was and the file lies directly in the folder.
    if (_wcsicmp(parent.c_str(), fullFolder) != 0 || wcscmp(filePart, name) != 0) return false;
    wcscpy(out, full);
    return true;
}

void NumberedFileName(const wchar_t* fileName, unsigned n, wchar_t* out, size_t outChars) {
    if (!out || outChars == 0) return;
    out[0] = L'\0';
    if (!fileName) return;
    const size_t limit = std::min<size_t>(outChars, MAX_PATH);  // 259 characters + terminator
    const wchar_t* ext = PathFindExtensionW(fileName);
    size_t baseLen = static_cast<size_t>(ext - fileName);
    wchar_t number[16];
    _snwprintf(number, 16, L"%u", n);
    number[15] = L'\0';
    auto append = [&](const wchar_t* text, size_t len) {
        size_t have = wcslen(out);
        size_t room = limit - 1 - have;
        if (len > room) len = room;
        wmemcpy(out + have, text, len);
        out[have + len] = L'\0';
    };
    append(fileName, baseLen);
    append(L"[", 1);
    append(number, wcslen(number));
    append(L"]", 1);
    append(ext, wcslen(ext));
}

}  // namespace kavri

// ---------------------------------------------------------------------------
// Construction and configuration

CDownloader::CDownloader()
    : CLog(L"CDownloader"),
      CSession(0),
      m_restartDelayFactor(1000),
      m_maxSegments(10),
      m_minSegmentSize(1024000),
      m_currentConnection(nullptr),
      m_fileSize(-1),
      m_bytesWritten(-1),
      m_file(nullptr),
      m_cancelled(0),
      m_running(0),
      m_doneEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_result(0),
      m_callback(nullptr),
      m_context(nullptr),
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
    m_maxSegments = n ? n : 1;
}

void CDownloader::SetUrl(const wchar_t* url) {
    LogInfo(this, L"DownloadUrl: %ls", url ? url : L"(null)");
    Reset(false);
    m_filePath[0] = L'\0';
    AddUrl(url);
}

void CDownloader::AddUrl(const wchar_t* url) {
    if (IsBusy()) throw kavri::kErrBusy;
    CConnection* connection = new CUrlConnection(this, url);  // throws -2 for a bad URL
    m_connections.push_back(connection);
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

        // The previous main thread has cleared `running`; it may still be
        // returning from its last notification (a Run from inside it), and
        // it touches nothing of ours any more, so its handle can go.
        if (m_thread) {
            CloseHandle(m_thread);
            m_thread = nullptr;
        }
        m_running = 1;
        ResetEvent(m_doneEvent);
        unsigned threadId = 0;
        uintptr_t thread = _beginthreadex(nullptr, 0, MainThreadProc, this, CREATE_SUSPENDED, &threadId);
        if (!thread) {
            m_running = 0;
            SetEvent(m_doneEvent);
            LogError(this, kavri::kErrGeneric,
                     L":Run, unexpected Error caught on start main download thread.");
            throw kavri::kErrGeneric;
        }
        m_thread = reinterpret_cast<HANDLE>(thread);
        m_threadId = threadId;
        ResumeThread(m_thread);
        return 0;
    } catch (EErrorCode c) {
        m_result = c;
        return c;
    }
}

unsigned __stdcall CDownloader::MainThreadProc(void* param) {
    CDownloader* self = static_cast<CDownloader*>(param);
    if (!self) return static_cast<unsigned>(-1);
    int r = kavri::kErrGeneric;
    if (!kavri::Guarded([&] { r = self->DoRun(); })) r = kavri::kErrGeneric;
    self->m_result = r;
    self->m_running.exchange(0);
    SetEvent(self->m_doneEvent);
    // From here on the receiver may reconfigure or restart the coordinator;
    // this thread touches nothing of it after the notification.
    self->OnComplete(r);
    return 0;
}

bool CDownloader::IsMainThread() const {
    return m_threadId != 0 && GetCurrentThreadId() == m_threadId;
}

void CDownloader::Cancel() {
    LogInfo(this, L":Cancel, start.");
    m_cancelled = 1;
    // On the download thread itself (a notification handler) there is
    // nothing to wait for: the thread ends once the handler returns.
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
// DoRun and its steps

int CDownloader::DoRun() {
    int r = 0;
    try {
        r = Connect();
        if (r != 0) {
            LogError(this, r, L"No connection available, breaking...");
            throw kavri::kErrNoConnection;
        }
        try {
            if (m_cancelled) throw kavri::kCancelled;
            // Segments left over from a cancelled run have lost their file
            // (it was deleted): start that download afresh.
            if (!m_segments.empty() && !m_file) ReleaseAllSegments();
            if (m_segments.empty()) {
                r = OnCreateFilestream(m_currentConnection);
                if (r != 0) throw static_cast<EErrorCode>(r);
                if (m_cancelled) throw kavri::kCancelled;
                OnStatus(DOWNLOAD_TESTING);
                int t = RunConnectivityTest();
                if (t != 0)
                    LogError(this, t, L"%ls: Error while running connectivity test", L"CDownloader::DoRun");
                CreateSegments(m_currentConnection);
            }
            OnStatus(DOWNLOAD_STARTING);
            LogInfo(this, L"Runnig %d segments...\n", static_cast<int>(m_segments.size()));
            for (CSegment* s : m_segments) {
                if (m_cancelled) throw kavri::kCancelled;
                s->startCount = 0;
                // A worker of the failed run may still be ending; the
                // supervision takes its result when it does, and restarts
                // the segment then if needed. Never two workers on one range.
                if (!s->WaitForWorker(0)) {
                    LogInfo(s, L"previous run still ending, supervising it.");
                } else if (s->endTime != 0 && SegmentSucceeded(s)) {
                    // Its worker completed the range after the failed run
                    // had ended. Started again it would ask for the bytes
                    // from its end on (past the end of the file for the last
                    // range, which the server refuses every time); the
                    // supervision removes it as done instead.
                    LogInfo(s, L"completed after the previous run ended.");
                } else {
                    s->Start(0);
                }
            }
            r = WaitAll();
        } catch (EErrorCode c) {
            r = c;
        }
        if (m_cancelled && m_currentConnection) {
            m_currentConnection->Close();
            m_currentConnection = nullptr;
        }
    } catch (EErrorCode c) {
        r = c;
    }
    if (m_cancelled) r = kavri::kCancelled;

    // Never report a file complete that is not: every byte of a known size
    // must have been written.
    if (r == 0 && m_fileSize >= 0 && BytesWritten() != m_fileSize) {
        LogError(this, kavri::kErrNoConnection,
                 L":DoRun, download incomplete, %I64d of %I64d bytes written.", BytesWritten(), m_fileSize);
        r = kavri::kErrNoConnection;
    }

    if (r >= 0) {
        // The last chunks may still sit in the stream's buffer: a failed
        // flush at the close means the file lacks them.
        if (!CloseFile() && r == 0) {
            LogError(this, kavri::kErrWriteFile, L":DoRun, failed to write the last data to \"%ls\".", m_filePath);
            r = kavri::kErrWriteFile;
        }
        if (r == kavri::kCancelled && m_filePath[0]) {
            LogInfo(this, L":DoRun, delete file.");
            if (!DeleteFileW(m_filePath)) LogError(this, kavri::kErrDeleteFile, L":DoRun, delete file failed.");
        }
    }
    return r;
}

int CDownloader::Connect() {
    int r = 0;
    try {
        if (!GetHandle()) GetSession(true);
        OnStatus(DOWNLOAD_CONNECTING);
        if (m_currentConnection) {
            int64_t size = -1;
            r = QueryFile(m_currentConnection, &size);
            if (r == 0 && !m_segments.empty() && size != m_fileSize) {
                // The file changed on the server: what was written no longer fits.
                LogWarning(this, kavri::kErrNoConnection,
                           L":Connect, remote size changed from %I64d to %I64d, starting over.",
                           m_fileSize, size);
                ReleaseAllSegments();
                CloseFile();
                m_bytesWritten = -1;
            }
            if (r == 0) {
                m_fileSize = size;
                m_currentConnection->Close();  // the body is read by the segments
            } else if (kavri::IsNoConnection(r) || r == kavri::kErrGeneric) {
                // The server cannot be reached right now. What was
                // downloaded stays for a later resume; only an answer that
                // the file is no longer there discards it.
                LogWarning(this, r, L":Connect, server not reachable, keeping the download for a resume.");
                m_currentConnection->Close();
                if (m_cancelled) r = kavri::kCancelled;
                return r;
            } else {
                ReleaseAllSegments();
                CloseFile();
                m_fileSize = m_bytesWritten = -1;
                m_currentConnection->Close();
                m_currentConnection = nullptr;
            }
        }
        if (!m_currentConnection) {
            r = kavri::kErrNoConnection;
            for (CConnection* connection : m_connections) {
                if (r == 0) break;
                if (m_cancelled) throw kavri::kCancelled;
                int64_t size = -1;
                r = QueryFile(connection, &size);
                if (r == 0) {
                    m_currentConnection = connection;
                    m_fileSize = size;
                    // Only the headers were wanted; the segments fetch the body.
                    connection->Close();
                } else {
                    m_fileSize = m_bytesWritten = -1;
                }
            }
        }
    } catch (EErrorCode c) {
        r = c;
    }
    if (m_cancelled) r = kavri::kCancelled;
    return r;
}

int CDownloader::OnCreateFilestream(CConnection* connection) {
    bool defaulted = false;
    try {
        if (wcslen(m_filePath) <= 3) {
            defaulted = true;
            DWORD n = 0;
            if (!m_folder.empty() && m_folder.size() < MAX_PATH) {
                wcscpy(m_filePath, m_folder.c_str());
                n = static_cast<DWORD>(m_folder.size() + 1);
            } else {
                n = ExpandEnvironmentStringsW(L"%TEMP%", m_filePath, MAX_PATH);
            }
            if (n == 0 || n > MAX_PATH) {
                m_filePath[0] = L'\0';
                LogError(this, kavri::kErrPrepareFile,
                         L":OnCreateFilestream, failed Expand Environment Strings USERPROFILE");
                throw kavri::kErrPrepareFile;
            }
        }
        wchar_t dir[MAX_PATH];
        wcscpy(dir, m_filePath);
        if (PathIsDirectoryW(m_filePath)) {
            if (!kavri::JoinInside(dir, connection->GetFileName(), m_filePath)) {
                LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file",
                         connection->GetFileName());
                throw kavri::kErrPrepareFile;
            }
        } else {
            PathRemoveFileSpecW(dir);
        }
        if (!PathFileExistsW(dir)) {
            LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, no \"%ls\" Directory exists", dir);
            throw kavri::kErrPrepareFile;
        }
        if (defaulted) {
            for (unsigned n = 1; PathFileExistsW(m_filePath); ++n) {
                wchar_t name[MAX_PATH];
                kavri::NumberedFileName(connection->GetFileName(), n, name, MAX_PATH);
                if (n > kMaxNumberedName || !kavri::JoinInside(dir, name, m_filePath)) {
                    LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file",
                             m_filePath);
                    throw kavri::kErrPrepareFile;
                }
            }
        }

        ULARGE_INTEGER available = {};
        if (m_freeSpaceForTest >= 0) {
            available.QuadPart = static_cast<ULONGLONG>(m_freeSpaceForTest);
        } else if (!GetDiskFreeSpaceExW(dir, &available, nullptr, nullptr)) {
            LogError(this, kavri::kErrDiskSpace, L":OnCreateFilestream, failed to get the disk space");
            throw kavri::kErrDiskSpace;
        }
        // An unknown size (-1) cannot be checked; it is downloaded as it comes.
        if (m_fileSize > 0) {
            const uint64_t size = static_cast<uint64_t>(m_fileSize);
            if (size > UINT64_MAX / 3 || available.QuadPart < 3 * size) {
                LogError(this, kavri::kErrDiskSpace, L":OnCreateFilestream, no free disk space available");
                throw kavri::kErrDiskSpace;
            }
        }

        FILE* file = _wfsopen(m_filePath, L"wb", _SH_DENYWR);
        if (!file) {
            LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file",
                     m_filePath);
            throw kavri::kErrPrepareFile;
        }
        {
            std::lock_guard<kavri::CriticalSection> lock(m_fileLock);
            m_file = file;
        }
        if (m_fileSize > 0) {
            // Give the file its full length now, so segments write in place
            // and a full disk shows before the download, not in the middle.
            bool sized = _fseeki64(file, m_fileSize - 1, SEEK_SET) == 0 && fputc(' ', file) != EOF &&
                         fflush(file) == 0 && _fseeki64(file, m_fileSize, SEEK_SET) == 0;
            if (!sized) {
                CloseFile();
                DeleteFileW(m_filePath);
                LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file",
                         m_filePath);
                throw kavri::kErrPrepareFile;
            }
        }
        m_bytesWritten = 0;
        return 0;
    } catch (EErrorCode c) {
        return c;
    } catch (...) {
        CloseFile();
        LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file", m_filePath);
        return kavri::kErrPrepareFile;
    }
}

void CDownloader::CreateSegments(CConnection* connection) {
    const uint64_t size = m_fileSize < 0 ? UINT64_MAX : static_cast<uint64_t>(m_fileSize);
    std::vector<kavri::SegmentPlan> plan =
        kavri::PlanSegments(size, connection->AcceptsRanges(), m_maxSegments, m_minSegmentSize);
    for (size_t i = 0; i < plan.size(); ++i) {
        CSegment* segment = new CSegment(static_cast<uint32_t>(i + 1), *connection, plan[i].start, plan[i].end);
        m_segments.push_back(segment);
    }
    SetMaxConnectionsPerServer(static_cast<DWORD>(m_segments.size() + 2), nullptr);
    for (CSegment* segment : m_segments) {
        segment->result = 0;
        segment->owner = this;
    }
}

int CDownloader::QueryFile(CConnection* connection, int64_t* size) {
    CUrlConnection* c = static_cast<CUrlConnection*>(connection);
    int64_t length = -1;
    c->firstByteOnly = true;
    int r = c->QueryFileInformation(&m_lastModified, &length);
    c->firstByteOnly = false;
    if (r == 0) {
        wchar_t range[128] = L"";
        DWORD bytes = sizeof(range) - sizeof(wchar_t);
        if (c->GotRequestedRange() &&
            HttpQueryInfoW(c->GetUrlHandle(), HTTP_QUERY_CONTENT_RANGE, range, &bytes, nullptr)) {
            c->SetAcceptsRanges(true);
            *size = ContentRangeTotal(range);
            return 0;
        }
        c->Close();
        r = kavri::kErrHttpStatus;
    }
    if (r != kavri::kErrHttpStatus) return r;
    // No range for us (a server without byte ranges answers 200): ask for
    // the file as it is; its one segment reads the whole body anyway.
    length = -1;
    r = c->QueryFileInformation(&m_lastModified, &length);
    if (r == 0) {
        *size = length;
        // The server has just shown that it does not serve byte ranges,
        // whatever its Accept-Ranges header claims: split requests would
        // each get the whole file and be refused. One plain segment works.
        if (c->AcceptsRanges()) {
            LogWarning(this, kavri::kErrHttpStatus,
                       L":QueryFile, the server did not serve the range asked for; no byte ranges used.");
            c->SetAcceptsRanges(false);
        }
    }
    return r;
}

void CDownloader::DeleteConnection(CConnection* connection) {
    // Every URL connection is made by AddUrl.
    delete static_cast<CUrlConnection*>(connection);
}

bool CDownloader::SegmentSucceeded(const CSegment* s) const {
    // A worker that reported 0 has read its whole range (a short body is a
    // failure in the worker); a 1 while we are not cancelled is a leftover
    // cancel of an earlier run and means the range is not done.
    return s->result == 0 && (s->end == 0 || s->GetPosition() >= s->end);
}

int CDownloader::WaitAll() {
    std::vector<CSegment*> failed;
    size_t cursor = 0;
    try {
        while (!m_segments.empty()) {
            if (m_cancelled) throw kavri::kCancelled;
            if (cursor >= m_segments.size()) cursor = 0;
            CSegment* s = m_segments[cursor];

            if (!s->WaitForWorker(0)) {
                // s still runs. Rather than sitting on it for the whole poll
                // while another segment has already ended, block only when
                // none has, and then on all running workers at once, so an
                // ended segment is seen at once and its slot reused.
                bool anyEnded = false;
                HANDLE handles[MAXIMUM_WAIT_OBJECTS];
                DWORD count = 0;
                for (CSegment* other : m_segments) {
                    if (Contains(failed, other)) continue;
                    if (other->WaitForWorker(0)) {
                        anyEnded = true;
                        break;
                    }
                    if (other->thread && count < MAXIMUM_WAIT_OBJECTS) handles[count++] = other->thread;
                }
                if (!anyEnded && count) WaitForMultipleObjects(count, handles, FALSE, kPollMs);
                ++cursor;
                continue;
            }
            if (m_cancelled || m_running != 1) throw kavri::kCancelled;

            if (SegmentSucceeded(s)) {
                LogInfo(this, L"WaitAll, removing succed #%d segment", s->id);
                m_segments.erase(m_segments.begin() + static_cast<std::ptrdiff_t>(cursor));
                Remove(failed, s);
                delete s;
                if (m_cancelled || m_running != 1) throw kavri::kCancelled;
                if (!failed.empty()) {
                    CSegment* f = failed.front();
                    failed.erase(failed.begin());
                    LogWarning(this, f->result, L":WaitAll, restarting failed Segment #%d", f->id);
                    f->Start(kavri::RestartDelayMs(m_segments.size(), m_restartDelayFactor));
                }
                continue;
            }

            const int c = s->result;
            const bool inFailed = Contains(failed, s);
            if (kavri::IsNoConnection(c) && m_segments.size() == failed.size()) throw static_cast<EErrorCode>(c);
            if (c == kavri::kErrWriteFile) throw kavri::kErrWriteFile;
            if (m_cancelled || m_running != 1) throw kavri::kCancelled;
            // The time limit of a failed run: the receive time-out, in
            // milliseconds. A run that wrote nothing and still outlasted it
            // hung beyond what the time-out can end (an unanswered connect,
            // for one): the server is gone. The run times are whole seconds,
            // so one second of slack keeps a run that the time-out itself
            // ended from counting. A run that made progress before it broke
            // is limited by the retry count only.
            const int64_t runMs = (s->endTime - s->startTime) * 1000;
            if (s->downloaded == 0 && runMs > static_cast<int64_t>(GetReceiveTimeout()) + 1000) {
                LogError(this, kavri::kErrNoConnection, L":WaitAll, segment #%d failed after %I64d s without data.",
                         s->id, s->endTime - s->startTime);
                throw kavri::kErrNoConnection;
            }
            if (!inFailed) {
                if (static_cast<int64_t>(s->startCount) > static_cast<int64_t>(GetMaxRetries())) {
                    LogError(this, kavri::kErrNoConnection, L":WaitAll, segment #%d failed %u times.", s->id,
                             s->startCount);
                    throw kavri::kErrNoConnection;
                }
                failed.push_back(s);
            } else if (m_segments.size() == failed.size()) {
                CSegment* f = failed.front();
                failed.erase(failed.begin());
                LogWarning(this, f->result,
                           L":WaitAll, caugth a connection limit issue. Restarting failed segment #%d", f->id);
                f->Start(0);
            }
            ++cursor;
        }
        return m_cancelled ? kavri::kCancelled : 0;
    } catch (EErrorCode c) {
        LogInfo(this, L":WaitAll, terminating unfinished (%d) segments thread procs...",
                static_cast<int>(m_segments.size()));
        CSession::Close();
        for (size_t i = 0; i < m_segments.size();) {
            CSegment* s = m_segments[i];
            if (s->WaitForWorker(0) && SegmentSucceeded(s)) {
                LogInfo(this, L"WaitAll, removing succed #%d segment on exit", s->id);
                m_segments.erase(m_segments.begin() + static_cast<std::ptrdiff_t>(i));
                delete s;
            } else {
                ++i;
            }
        }
        return c;
    }
}

uint32_t CDownloader::WriteToFile(CSegment* segment, const void* buffer, uint32_t count) {
    uint32_t written = 0;
    int64_t total = 0;
    bool ok = kavri::Guarded([&] {
        auto gone = [this] { return m_cancelled != 0 && m_running != 1; };
        if (gone()) return;
        std::lock_guard<kavri::CriticalSection> lock(m_fileLock);
        if (gone() || !m_file) return;
        if (_fseeki64(m_file, static_cast<int64_t>(segment->GetPosition()), SEEK_SET) != 0) return;
        if (gone()) return;
        written = static_cast<uint32_t>(fwrite(buffer, 1, count, m_file));
        m_bytesWritten += written;
        total = m_bytesWritten;
    });
    if (!ok) {
        m_result = kavri::kErrWriteFile;
        LogError(this, kavri::kErrWriteFile, L":WriteToFile, failed to write portion of data to the file");
        return written;
    }
    if (written) OnProgress(segment, static_cast<uint64_t>(total));
    return written;
}

void CDownloader::ForgetWrittenBytes(uint64_t count) {
    std::lock_guard<kavri::CriticalSection> lock(m_fileLock);
    if (m_bytesWritten >= static_cast<int64_t>(count)) m_bytesWritten -= static_cast<int64_t>(count);
}

// ---------------------------------------------------------------------------
// Notifications

void CDownloader::OnStatus(int state) {
    if (!kavri::Guarded([&] {
            if (m_callback) m_callback(this, DownloadEvent{state, BytesWritten(), m_context});
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
                                               BytesWritten(), m_context});
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
    // Workers of a failed run may still be finishing their last read; their
    // bytes still count, but nobody waits for progress after the final
    // notification.
    if (m_running != 1) return;
    if (!kavri::Guarded([&] {
            if (m_callback)
                m_callback(this, DownloadEvent{DOWNLOAD_PROGRESS, static_cast<int64_t>(total), m_context});
        }))
        LogError(this, kavri::kErrGeneric, L":OnProgress, failed to expose progress event");
}

// ---------------------------------------------------------------------------
// Reset, Dispose and the lifetime of segments

int64_t CDownloader::BytesWritten() {
    std::lock_guard<kavri::CriticalSection> lock(m_fileLock);
    return m_bytesWritten;
}

bool CDownloader::CloseFile() {
    std::lock_guard<kavri::CriticalSection> lock(m_fileLock);
    bool ok = true;
    if (m_file) {
        ok = fclose(m_file) == 0;
        m_file = nullptr;
    }
    return ok;
}

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
    segments.swap(m_segments);
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
        ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };
    bool all = true;
    for (CSegment* s : m_segments) all = s->WaitForWorker(left()) && all;
    for (CSegment* s : m_retired) all = s->WaitForWorker(left()) && all;
    return all;
}

void CDownloader::Reset(bool keepConnections) {
    if (IsBusy()) throw kavri::kErrBusy;
    // Workers of a failed run may still be writing: cut them off before the
    // byte total is reset, so none adds to the fresh total.
    ReleaseAllSegments();
    SweepRetired();
    {
        std::lock_guard<kavri::CriticalSection> lock(m_fileLock);
        m_fileSize = m_bytesWritten = -1;
    }
    if (!keepConnections) {
        for (CConnection* connection : m_connections) DeleteConnection(connection);
        m_connections.clear();
        m_currentConnection = nullptr;
    }
    CloseFile();
    if (m_filePath[0]) {
        LogInfo(this, L":Reset, delete file.");
        if (!DeleteFileW(m_filePath) && GetLastError() != ERROR_FILE_NOT_FOUND)
            LogError(this, kavri::kErrDeleteFile, L":Reset, delete file failed.");
    }
}

void CDownloader::Dispose(bool cancelFirst) {
    if (m_disposed) return;
    if (!kavri::Guarded([&] {
            if (cancelFirst) Cancel();
            m_cancelled = -1;
            // Closing the session ends the workers' pending calls where the
            // platform allows; the WinINet time-outs end them everywhere.
            CSession::Close();
            const ULONGLONG deadline = GetTickCount64() + GetConnectionTimeout() + GetReceiveTimeout() +
                                       kWorkerExitSlackMs;
            auto left = [deadline]() -> DWORD {
                ULONGLONG now = GetTickCount64();
                return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            };
            if (m_thread && !IsMainThread() && WaitForSingleObject(m_thread, left()) != WAIT_OBJECT_0)
                LogError(this, kavri::kErrGeneric, L"~CDownloader, the download thread did not end in time.");
            if (m_cancelThread && WaitForSingleObject(m_cancelThread, left()) != WAIT_OBJECT_0)
                LogError(this, kavri::kErrGeneric, L"~CDownloader, the cancel thread did not end in time.");
            m_running = -1;
            ReleaseAllSegments();
            if (!WaitForWorkers(deadline)) {
                // Their objects are never freed under them; they stay cut
                // off from us and are left to the end of the process.
                LogError(this, kavri::kErrGeneric, L"~CDownloader, %d segment workers did not end in time.",
                         static_cast<int>(m_retired.size()));
            }
            SweepRetired();
            m_retired.clear();
            for (CConnection* connection : m_connections) DeleteConnection(connection);
            m_connections.clear();
            m_currentConnection = nullptr;
            CloseFile();
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
