// One download run on the coordinator's main download thread: the first
// request, the local file, the split, the supervision of the workers, and
// the resume record. See Downloader.h for the threads and locks; every
// change of the segment list happens here under planLock, because workers
// read it (their rates) when they ask for work.
#include <shlwapi.h>

#include <algorithm>
#include <mutex>

#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "download/DownloadCore.h"
#include "download/ResumeRecord.h"
#include "download/Segment.h"
#include "download/Supervision.h"

using kavri::EErrorCode;

namespace {

const unsigned kMaxNumberedName = 100000;
// The first request asks for this much; its answer gives size and validator.
const uint64_t kFirstPiece = 1000000;
// Internal result: the file on the server changed, start over from zero.
const int kChanged = 2;

// The validator that If-Range may carry: a strong ETag, else Last-Modified.
std::wstring ValidatorOf(const kavri::AnswerInfo& a) {
    if (!a.etag.empty() && a.etag[0] == L'"') return a.etag;
    return a.lastModified;
}

}  // namespace

int CDownloadCore::DoRun() {
    int r = 0;
    m_dropped.assign(m_connections.size(), false);
    m_mixed = false;
    for (int restarts = 0;; ++restarts) {
        r = DoRunOnce();
        if (!m_cancelled && kavri::IsSourceFailure(r) && SwitchSource(r)) continue;
        if (r != kChanged) break;
        LogWarning(this, kavri::kErrHttpStatus, L":DoRun, the file on the server has changed; starting over.");
        DiscardDownload(true);
        m_stopWorkers = 0;  // the old version's workers are cut off; the new ones run
        if (restarts == 2) {
            r = kavri::kErrNoConnection;
            break;
        }
    }
    delete m_first;  // an answer nobody read
    m_first = nullptr;
    if (m_cancelled) r = kavri::kCancelled;
    if (r == 0 && !Finished()) {
        LogError(this, kavri::kErrNoConnection, L":DoRun, download incomplete, %I64d of %I64d bytes written.",
                 m_bytesWritten.load(), m_fileSize);
        r = kavri::kErrNoConnection;
    }
    m_stopWorkers = 1;
    if (r < 0) {
        SaveResume(true);  // the partial file stays, for this process and the next
        return r;
    }
    if (!m_writer.Close() && r == 0) {
        LogError(this, kavri::kErrWriteFile, L":DoRun, failed to write the last data to \"%ls\".", m_filePath);
        r = kavri::kErrWriteFile;
    }
    if (r == kavri::kCancelled && m_filePath[0]) LogInfo(this, L":DoRun, delete file.");
    if (r == 0) DeleteResume();
    if (r == 0) m_lastMixed = m_mixed;
    const int64_t size = m_plan.Size() == UINT64_MAX ? -1 : static_cast<int64_t>(m_plan.Size());  // -1: unknown
    const int64_t written = m_bytesWritten.load();
    DiscardDownload(r == kavri::kCancelled);
    if (r == 0) {  // what the final notification and the caller see
        m_fileSize = size;
        m_bytesWritten = written;
    }
    return r;
}

int CDownloadCore::DoRunOnce() {
    int r = Connect();
    if (r != 0) {
        LogError(this, r, L"No connection available, breaking...");
        if (m_cancelled) return kavri::kCancelled;
        return r == kavri::kErrProxyAuth ? r : kavri::kErrNoConnection;
    }
    try {
        if (m_cancelled) throw kavri::kCancelled;
        if (!m_planned) {
            r = OnCreateFilestream(m_first ? m_first : m_currentConnection);
            if (r != 0) throw static_cast<EErrorCode>(r);
            if (m_cancelled) throw kavri::kCancelled;
            OnStatus(DOWNLOAD_TESTING);
            const int t = RunConnectivityTest();
            if (t != 0) LogError(this, t, L"%ls: Error while running connectivity test", L"CDownloadCore::DoRun");
            CreateSegments(m_currentConnection);
        } else if (m_segments.empty()) {
            CreateSegments(m_currentConnection);  // another source goes on
        }
        StartSegments();
        r = WaitAll();
    } catch (EErrorCode c) {
        r = c;
    }
    if (m_cancelled && m_currentConnection) {
        m_currentConnection->Close();
        m_currentConnection = nullptr;
    }
    return r;
}

int CDownloadCore::Connect() {
    int r = kavri::kErrNoConnection;
    try {
        if (!GetHandle()) GetSession(true);
        OnStatus(DOWNLOAD_CONNECTING);
        WaitForRetryAfter();
        if (m_currentConnection) {
            r = FirstRequest(m_currentConnection);
            if (r != 0 && (kavri::IsNoConnection(r) || r == kavri::kErrGeneric || r == kavri::kErrProxyAuth ||
                           HasOtherSource())) {
                // Unreachable now (or the proxy wants credentials, or another
                // source may go on): what was downloaded stays.
                LogWarning(this, r, L":Connect, server not reachable, keeping the download for a resume.");
                return m_cancelled ? kavri::kCancelled : r;
            }
            if (r != 0) {  // the file is no longer there
                DiscardDownload(true);
                m_currentConnection = nullptr;
            }
        }
        for (size_t i = 0; !m_currentConnection && i < m_connections.size() && r != 0; ++i) {
            if (m_cancelled) throw kavri::kCancelled;
            if (i < m_dropped.size() && m_dropped[i]) continue;
            if (!m_planned) LoadResume();
            r = FirstRequest(m_connections[i]);
            if (r == 0)
                m_currentConnection = m_connections[i];
            else
                DiscardDownload(false);
            if (r != 0 && kavri::IsSourceFailure(r) && i < m_dropped.size()) m_dropped[i] = true;
            if (r == kavri::kErrProxyAuth) break;  // the same proxy answers every source
        }
    } catch (EErrorCode c) {
        r = c;
    }
    return m_cancelled ? kavri::kCancelled : r;
}

void CDownloadCore::WaitForRetryAfter() {
    const ULONGLONG now = GetTickCount64();
    if (now >= m_notBefore) return;
    const DWORD left = static_cast<DWORD>(m_notBefore - now);  // at most the bound of a Retry-After
    LogInfo(this, L":Connect, the server asked to wait; %lu ms to go.", static_cast<unsigned long>(left));
    Pause(left);
}

int CDownloadCore::FirstRequest(CConnection* connection) {
    delete m_first;
    m_first = new CConnection(*connection);
    m_first->SetOpenInWorkerThread(true);
    m_first->SetFreshAnswers(m_fresh);
    m_first->SetAcceptWholeAnswer(true);
    m_first->SetAcceptsRanges(true);
    const bool resuming = m_planned || m_resumeFromDisk;
    // Going on elsewhere: that source's own validator (if any) is learnt
    // from its answer, so no If-Range is sent to it yet.
    const bool elsewhere = resuming && m_planSource && connection != m_planSource;
    kavri::ByteRange piece{0, kFirstPiece};
    if (resuming) {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        if (!m_plan.FirstMissing(kavri::PiecePlanner::kMaxPiece, &piece)) piece = {0, 1};
    }
    m_first->SetRange(piece.start, piece.end, resuming && !elsewhere ? m_validator : std::wstring());
    int64_t length = -1;
    const int r = m_first->QueryFileInformation(&m_lastModified, &length);
    if (r != 0) {
        if (const uint32_t wait = m_first->Answer().retryAfterMs) m_notBefore = GetTickCount64() + wait;
        delete m_first;
        m_first = nullptr;
        return r;
    }
    const kavri::AnswerInfo& a = m_first->Answer();
    connection->SetRequestUrl(a.finalUrl);
    connection->SetFreshAnswers(m_fresh);
    const kavri::FirstAnswer facts{a.ranged, a.total, ValidatorOf(a)};
    if (elsewhere) {
        if (!kavri::SameFileElsewhere(facts, m_fileSize, m_validator)) {
            LogWarning(this, kavri::kErrHttpStatus, L":Connect, \"%ls\" serves another file (%I64d bytes, \"%ls\").",
                       connection->GetUrl(), a.total, facts.validator.c_str());
            delete m_first;
            m_first = nullptr;
            return kavri::kErrHttpStatus;  // that source is dropped
        }
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        m_onMirror = true;
        m_mirrorValidator = facts.validator;
        m_firstPiece = {piece.start, std::min<uint64_t>(piece.end, static_cast<uint64_t>(a.total))};
        connection->SetAcceptsRanges(true);
        return 0;
    }
    const kavri::FirstMeaning meaning = kavri::JudgeFirstAnswer(facts, resuming, m_fileSize, m_validator);
    if (resuming && meaning != kavri::FirstMeaning::kPlan) {
        // Another version of the file: nothing of the old one is kept. A whole
        // body (200) is the new file itself and is read as it comes.
        LogWarning(this, kavri::kErrHttpStatus, L":Connect, the file on the server has changed; starting over.");
        CConnection* first = m_first;
        m_first = nullptr;
        DiscardDownload(true);
        m_first = first;
        if (meaning == kavri::FirstMeaning::kAskAgain) return FirstRequest(connection);
    }
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    if (meaning == kavri::FirstMeaning::kPlan) {
        if (!m_planned && !m_resumeFromDisk) {
            m_fileSize = a.total;
            m_validator = ValidatorOf(a);
            m_plan.Begin(static_cast<uint64_t>(a.total), true);
            m_planSource = connection;
        }
        m_firstPiece = {piece.start, std::min<uint64_t>(piece.end, static_cast<uint64_t>(a.total))};
        connection->SetAcceptsRanges(true);
    } else {
        // The server sends the whole file: it is the download, read once.
        m_fileSize = a.ranged ? -1 : length;
        m_validator.clear();
        m_plan.Begin(m_fileSize < 0 ? UINT64_MAX : static_cast<uint64_t>(m_fileSize), false);
        m_firstPiece = {0, m_fileSize < 0 ? UINT64_MAX : static_cast<uint64_t>(m_fileSize)};
        connection->SetAcceptsRanges(false);
        if (meaning == kavri::FirstMeaning::kNoTotal) {  // a range without a total cannot be planned
            delete m_first;
            m_first = nullptr;
        }
    }
    return 0;
}

// m_filePath := the file to write (a folder given or the default one gets
// the connection's file name, numbered when the default's is taken), dir :=
// its folder. Throws kErrPrepareFile.
void CDownloadCore::ChooseFilePath(CConnection* connection, wchar_t (&dir)[MAX_PATH]) {
    bool defaulted = false;
    if (wcslen(m_filePath) <= 3) {
        defaulted = true;
        const std::wstring folder = Folder();
        if (folder.empty() || folder.size() >= MAX_PATH) {
            m_filePath[0] = L'\0';
            LogError(this, kavri::kErrPrepareFile,
                     L":OnCreateFilestream, failed Expand Environment Strings USERPROFILE");
            throw kavri::kErrPrepareFile;
        }
        wcscpy(m_filePath, folder.c_str());
    }
    wcscpy(dir, m_filePath);
    // A program is started by the shell, which goes by the extension: only
    // an installer's name is kept.
    const wchar_t* offered = connection->GetFileName();
    const wchar_t* chosen =
        m_kind == DownloadKind::Program && !kavri::HasProgramExtension(offered) ? kavri::kDefaultFileName : offered;
    if (PathIsDirectoryW(m_filePath)) {
        if (!kavri::JoinInside(dir, chosen, m_filePath)) {
            LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file", chosen);
            throw kavri::kErrPrepareFile;
        }
    } else {
        PathRemoveFileSpecW(dir);
    }
    if (!PathFileExistsW(dir)) {
        LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, no \"%ls\" Directory exists", dir);
        throw kavri::kErrPrepareFile;
    }
    for (unsigned n = 1; defaulted && PathFileExistsW(m_filePath); ++n) {
        wchar_t name[MAX_PATH];
        kavri::NumberedFileName(chosen, n, name, MAX_PATH);
        if (n > kMaxNumberedName || !kavri::JoinInside(dir, name, m_filePath)) {
            LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file", m_filePath);
            throw kavri::kErrPrepareFile;
        }
    }
}

int CDownloadCore::OnCreateFilestream(CConnection* connection) {
    try {
        if (m_resumeFromDisk && m_writer.OpenExisting(m_filePath, m_fileSize)) {
            std::lock_guard<kavri::CriticalSection> lock(m_planLock);
            m_resumed = static_cast<int64_t>(m_plan.DoneBytes());
            m_bytesWritten = m_resumed;
            LogInfo(this, L":OnCreateFilestream, resumed %I64d of %I64d bytes in \"%ls\".", m_resumed, m_fileSize,
                    m_filePath);
            return 0;
        }
        if (m_resumeFromDisk) {  // the partial file is gone: the same version, afresh
            std::lock_guard<kavri::CriticalSection> lock(m_planLock);
            m_plan.Begin(static_cast<uint64_t>(m_fileSize), true);
            m_resumeFromDisk = false;
        }
        wchar_t dir[MAX_PATH];
        ChooseFilePath(connection, dir);
        ULARGE_INTEGER available = {};
        if (m_freeSpaceForTest >= 0) {
            available.QuadPart = static_cast<ULONGLONG>(m_freeSpaceForTest);
        } else if (!GetDiskFreeSpaceExW(dir, &available, nullptr, nullptr)) {
            LogError(this, kavri::kErrDiskSpace, L":OnCreateFilestream, failed to get the disk space");
            throw kavri::kErrDiskSpace;
        }
        if (m_kind == DownloadKind::Settings && m_fileSize > static_cast<int64_t>(kavri::kMaxSettingsBytes)) {
            LogError(this, kavri::kErrTooLarge, L":OnCreateFilestream, %I64d bytes is too large for a settings file.",
                     m_fileSize);
            throw kavri::kErrTooLarge;
        }
        if (!kavri::EnoughSpace(available.QuadPart, m_fileSize)) {
            LogError(this, kavri::kErrDiskSpace, L":OnCreateFilestream, no free disk space available");
            throw kavri::kErrDiskSpace;
        }
        if (!m_writer.Create(m_filePath, m_fileSize)) {
            LogError(this, kavri::kErrPrepareFile, L":OnCreateFilestream, failed to open \"%ls\" file", m_filePath);
            throw kavri::kErrPrepareFile;
        }
        m_bytesWritten = 0;
        return 0;
    } catch (EErrorCode c) {
        return c;
    }
}

void CDownloadCore::AddSegment(uint32_t id, CConnection* source) {
    CSegment* segment = new CSegment(id, *source, 0, 0);
    segment->Connection().SetAcceptsRanges(m_plan.Ranges());
    segment->result = 0;
    segment->SetOwner(shared_from_this());
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    m_segments.push_back(segment);
}

void CDownloadCore::RemoveSegment(size_t index) {
    CSegment* segment = m_segments[index];
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        segment->DetachOwner();  // cut off in the same hold
        m_segments.erase(m_segments.begin() + static_cast<std::ptrdiff_t>(index));
    }
    ReleaseSegment(segment);
}

bool CDownloadCore::HasOtherSource() const {
    if (m_singleSource) return false;
    for (size_t i = 0; i < m_connections.size() && i < m_dropped.size(); ++i)
        if (!m_dropped[i] && m_connections[i] != m_currentConnection) return true;
    return false;
}

bool CDownloadCore::SwitchSource(int code) {
    if (!m_currentConnection || !HasOtherSource()) return false;
    size_t next = m_connections.size();
    for (size_t i = 0; i < m_connections.size(); ++i) {
        if (m_connections[i] == m_currentConnection) m_dropped[i] = true;
        else if (!m_dropped[i] && next == m_connections.size()) next = i;
    }
    LogWarning(this, code, L":DoRun, \"%ls\" failed; going on from \"%ls\".", m_currentConnection->GetUrl(),
               m_connections[next]->GetUrl());
    ReleaseAllSegments();
    delete m_first;
    m_first = nullptr;
    if (m_planned && !m_plan.Ranges()) {
        DiscardDownload(true);  // a body without ranges cannot go on elsewhere
    } else {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        const std::vector<kavri::ByteRange> done = m_plan.Done();
        m_mixed = m_mixed || !done.empty();
        m_plan.Begin(m_plan.Size(), m_plan.Ranges(), done);  // the lanes of the old workers go
    }
    m_currentConnection = m_connections[next];
    m_notBefore = 0;  // a wait another server asked for
    m_stopWorkers = 0;
    return true;
}

void CDownloadCore::CreateSegments(CConnection* connection) {
    uint32_t count;
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);
        m_plan.Split(m_maxSegments, m_minSegmentSize);
        count = m_plan.Workers();
    }
    // The other lanes wait for the ramp; until then the workers that run take
    // their bytes over.
    m_lanes = count;
    const uint32_t first = m_ramp.Start(count, GetTickCount64());
    for (uint32_t id = 1; id <= first; ++id) AddSegment(id, connection);
    SetMaxConnectionsPerServer(count + 2, nullptr);
    m_planned = true;
}

void CDownloadCore::StartSegments() {
    // Workers still ending from a failed run are replaced, never doubled.
    for (size_t i = 0; i < m_segments.size(); ++i) {
        CSegment* s = m_segments[i];
        if (s->WaitForWorker(0)) continue;
        const uint32_t id = s->id;
        RemoveSegment(i);
        {
            std::lock_guard<kavri::CriticalSection> lock(m_planLock);
            m_plan.Release(id);
        }
        AddSegment(id, m_currentConnection);
        --i;
    }
    if (m_segments.empty()) AddSegment(1, m_currentConnection);
    if (m_first) {
        uint32_t id;
        {
            std::lock_guard<kavri::CriticalSection> lock(m_planLock);
            id = m_plan.Adopt(m_firstPiece);
        }
        auto it = std::find_if(m_segments.begin(), m_segments.end(), [id](CSegment* s) { return s->id == id; });
        if (id && it == m_segments.end()) {
            AddSegment(id, m_currentConnection);
            it = m_segments.end() - 1;
        }
        if (id) (*it)->AdoptFirstAnswer(*m_first, m_firstPiece.start, m_firstPiece.end);
        delete m_first;
        m_first = nullptr;
    }
    OnStatus(DOWNLOAD_STARTING);
    LogInfo(this, L"Runnig %d segments...\n", static_cast<int>(m_segments.size()));
    for (CSegment* s : m_segments) {
        if (m_cancelled) throw kavri::kCancelled;
        s->startCount = 0;
        s->Start(0);
    }
}

bool CDownloadCore::Finished() {
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    return m_plan.Complete() || (m_plan.Size() == UINT64_MAX && m_cleanEnd);
}
