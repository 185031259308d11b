// The supervision of a run's workers and the resume record, on the
// coordinator's main download thread. See DownloadCore.h for the threads.
//
// A worker that ends reports its outcome; what it means is decided by the
// pure functions of Supervision.h (done, restarted at once, parked, the end
// of the run), and so is what happens when no worker runs any more. Here
// those verdicts are carried out.
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

const DWORD kSuperviseMs = 250;
const ULONGLONG kSaveEveryMs = 900;
const int kChanged = 2;  // as in DownloadRun.cpp: start over from zero

bool Contains(const std::vector<CSegment*>& list, const CSegment* s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

void CDownloadCore::WaitForAnyEnd(const std::vector<CSegment*>& parked) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    for (CSegment* s : m_segments)
        if (!Contains(parked, s) && s->thread && !s->WaitForWorker(0) && count < MAXIMUM_WAIT_OBJECTS)
            handles[count++] = s->thread.Get();
    // While connections are still being added, the ramp is looked at often.
    if (count) WaitForMultipleObjects(count, handles, FALSE, m_ramp.Done() ? kSuperviseMs : 20);
}

void CDownloadCore::GrowSegments(const std::vector<CSegment*>& parked) {
    if (m_ramp.Done()) return;
    bool refused = false, answered = true;
    for (const CSegment* s : parked) refused = refused || s->limited;
    for (const CSegment* s : m_segments) answered = answered && (s->Rate() > 0 || s->WaitForWorker(0));
    const uint32_t want = m_ramp.Next(GetTickCount64(), static_cast<uint64_t>(std::max<int64_t>(0, m_bytesWritten)),
                                      refused, answered);
    for (uint32_t id = 1; id <= m_lanes && m_segments.size() < want; ++id) {
        if (std::any_of(m_segments.begin(), m_segments.end(), [id](const CSegment* s) { return s->id == id; }))
            continue;
        AddSegment(id, m_currentConnection);
        m_segments.back()->Start(0);
    }
    if (m_ramp.Done())
        LogInfo(this, L":WaitAll, %u connections open (%u allowed).", static_cast<unsigned>(m_segments.size()),
                m_lanes);
}

void CDownloadCore::RestartWholeBody() {
    // Without ranges a body can only begin again at 0.
    std::lock_guard<kavri::Lock> lock(m_planLock);
    m_plan.Begin(m_plan.Size(), false);
    m_plan.Split(1, m_minSegmentSize);
    m_bytesWritten = 0;
    if (m_fileSize < 0) m_writer.Truncate(0);
}

bool CDownloadCore::ReapEnded(std::vector<CSegment*>& parked) {
    bool succeeded = false;
    for (size_t i = 0; i < m_segments.size();) {
        CSegment* s = m_segments[i];
        if (Contains(parked, s) || !s->WaitForWorker(0)) {
            ++i;
            continue;
        }
        const kavri::WorkerOutcome outcome = s->Outcome();
        const kavri::EndVerdict verdict = kavri::JudgeWorkerEnd(outcome);
        switch (verdict.action) {
        case kavri::EndAction::kDone:
            LogInfo(this, L"WaitAll, removing succed #%d segment", s->id);
            if (!m_plan.Ranges()) m_cleanEnd = true;
            RemoveSegment(i);
            succeeded = true;
            continue;
        case kavri::EndAction::kEndRun: throw static_cast<EErrorCode>(verdict.code);
        case kavri::EndAction::kStartOver: throw static_cast<EErrorCode>(kChanged);
        case kavri::EndAction::kRestartNow:
            if (!m_plan.Ranges()) RestartWholeBody();
            LogWarning(this, outcome.result, L":WaitAll, restarting failed Segment #%d", s->id);
            s->Start(0);
            break;
        case kavri::EndAction::kPark:
            if (!m_plan.Ranges()) RestartWholeBody();
            if (outcome.limited)
                LogWarning(this, outcome.result, L":WaitAll, segment #%d refused: the server limits connections.",
                           s->id);
            parked.push_back(s);
            break;
        }
        ++i;
    }
    return succeeded;
}

void CDownloadCore::RestartAfterStall(std::vector<CSegment*>& parked, Stall& stall) {
    uint64_t done;
    {
        std::lock_guard<kavri::Lock> lock(m_planLock);  // workers commit meanwhile
        done = m_plan.DoneBytes();
    }
    stall.streak = kavri::NextStreak(stall.streak, done, stall.doneBytes);
    stall.doneBytes = done;
    std::vector<kavri::WorkerOutcome> outcomes;
    for (CSegment* s : parked) outcomes.push_back(s->Outcome());
    const kavri::StallVerdict verdict =
        kavri::JudgeStall(outcomes, stall.streak, GetMaxRetries(), m_restartDelayFactor);
    if (verdict.fail) {
        LogError(this, verdict.code, L":WaitAll, no worker can go on (%d restarts without progress).",
                 stall.streak - 1);
        throw static_cast<EErrorCode>(verdict.code);
    }
    CSegment* first = parked.front();
    parked.erase(parked.begin());
    LogWarning(this, first->result, L":WaitAll, caugth a connection limit issue. Restarting failed segment #%d",
               first->id);
    Pause(verdict.delayMs);
    if (m_cancelled) throw kavri::kCancelled;
    first->Start(0);
}

void CDownloadCore::Pause(DWORD ms) {
    for (const kavri::Deadline end(ms); !m_cancelled && !end.Passed();) Sleep(std::min<DWORD>(50, end.Left()));
}

int CDownloadCore::StopUnfinished(int code) {
    LogInfo(this, L":WaitAll, terminating unfinished (%d) segments thread procs...",
            static_cast<int>(m_segments.size()));
    m_stopWorkers = 1;
    CSession::Close();
    for (size_t i = 0; i < m_segments.size();) {
        CSegment* s = m_segments[i];
        if (s->WaitForWorker(0) && s->result == 0) {
            LogInfo(this, L"WaitAll, removing succed #%d segment on exit", s->id);
            RemoveSegment(i);
        } else {
            ++i;
        }
    }
    return code;
}

int CDownloadCore::WaitAll() {
    std::vector<CSegment*> parked;  // failed workers waiting for a restart, the longest-waiting first
    Stall stall;
    try {
        for (;;) {
            if (m_cancelled) throw kavri::kCancelled;
            if (Finished()) break;
            WaitForAnyEnd(parked);
            SaveResume(false);
            if (m_cancelled || m_running != 1) throw kavri::kCancelled;
            const bool succeeded = ReapEnded(parked);
            if (Finished()) break;
            GrowSegments(parked);
            const size_t running = m_segments.size() - parked.size();
            if (running == 0) {
                RestartAfterStall(parked, stall);
            } else if (succeeded && !parked.empty() && !parked.front()->limited) {
                CSegment* first = parked.front();
                parked.erase(parked.begin());
                LogWarning(this, first->result, L":WaitAll, restarting failed Segment #%d", first->id);
                first->Start(kavri::RestartDelayMs(m_segments.size(), m_restartDelayFactor));
            }
        }
        // Workers still under way (a stalled one) send nothing more.
        m_stopWorkers = 1;
        for (CSegment* s : m_segments) s->Close();
        return m_cancelled ? kavri::kCancelled : 0;
    } catch (EErrorCode c) {
        return StopUnfinished(c);
    }
}

// ---------------------------------------------------------------------------
// The resume record

std::wstring CDownloadCore::Folder() const {
    if (!m_folder.empty()) return m_folder;
    wchar_t temp[MAX_PATH];
    const DWORD n = ExpandEnvironmentStringsW(L"%TEMP%", temp, MAX_PATH);
    return n == 0 || n > MAX_PATH ? std::wstring() : std::wstring(temp);
}

bool CDownloadCore::LoadResume() {
    if (m_fresh) return false;
    const std::wstring folder = Folder();
    const std::wstring path = kavri::ResumeRecordPath(folder);
    kavri::ResumeState state;
    if (!kavri::LoadResumeState(path, &state)) {
        // Torn, hostile or too old: it is of no use to anyone.
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            LogWarning(this, kavri::kErrPrepareFile, L":LoadResume, the resume record is unusable; ignored.");
            DeleteFileW(path.c_str());
        }
        return false;
    }
    // The record names the source its validator belongs to: this one or
    // another source of the same file.
    CConnection* source = nullptr;
    for (CConnection* c : m_connections)
        if (state.url == c->GetUrl()) source = c;
    wchar_t file[MAX_PATH];
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!source || !kavri::JoinInside(folder.c_str(), state.fileName.c_str(), file) ||
        !GetFileAttributesExW(file, GetFileExInfoStandard, &info) ||
        ((static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow) != state.size)
        return false;
    std::lock_guard<kavri::CriticalSection> lock(m_planLock);
    m_plan.Begin(static_cast<uint64_t>(state.size), true, state.done);
    m_fileSize = state.size;
    m_validator = state.validator;
    wcscpy(m_filePath, file);
    m_resumeFromDisk = true;
    m_planSource = source;
    LogInfo(this, L":LoadResume, %I64u of %I64d bytes of \"%ls\" are on disk.", m_plan.DoneBytes(), state.size,
            file);
    return true;
}

void CDownloadCore::SaveResume(bool force) {
    if (m_fresh || !m_planned || !m_plan.Ranges() || m_validator.empty() || m_fileSize <= 0 || !m_writer.IsOpen() ||
        !m_currentConnection)
        return;
    const ULONGLONG now = GetTickCount64();
    kavri::ResumeState state;
    {
        std::lock_guard<kavri::CriticalSection> lock(m_planLock);  // workers commit meanwhile
        state.done = m_plan.Done();
    }
    uint64_t done = 0;
    for (const kavri::ByteRange& r : state.done) done += r.end - r.start;
    if (!force && (now - m_savedTick < kSaveEveryMs || done == m_savedBytes)) return;
    const std::wstring folder = Folder();
    wchar_t inside[MAX_PATH];
    const wchar_t* name = PathFindFileNameW(m_filePath);
    if (!kavri::JoinInside(folder.c_str(), name, inside) || _wcsicmp(inside, m_filePath) != 0) return;
    // The bytes the record names are on the disk before the record is.
    m_writer.Flush();
    state.url = (m_planSource ? m_planSource : m_currentConnection)->GetUrl();
    state.fileName = name;
    state.validator = m_validator;
    state.size = m_fileSize;
    m_savedTick = now;
    m_savedBytes = done;
    m_recordPath = kavri::ResumeRecordPath(folder);
    if (!kavri::SaveResumeState(m_recordPath, state))
        LogWarning(this, kavri::kErrWriteFile, L":SaveResume, the resume record could not be written.");
}

void CDownloadCore::DeleteResume() {
    if (m_fresh) return;  // such downloads never keep a record
    DeleteFileW(kavri::ResumeRecordPath(Folder()).c_str());
    m_recordPath.clear();
    m_savedBytes = 0;
}
