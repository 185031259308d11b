// One worker of a download. See Segment.h for the threads.
#include "download/Segment.h"

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <memory>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "download/OpenPolicy.h"
#include "net/Session.h"

using kavri::EErrorCode;

namespace {

int64_t Now() { return _time64(nullptr); }

// How often an idle worker asks for work again.
const DWORD kIdleMs = 50;

// Read errors that mean the connection went away.
bool IsConnectionReadError(DWORD e) {
    return e == ERROR_INTERNET_OPERATION_CANCELLED || e == ERROR_INVALID_HANDLE || e == ERROR_INTERNET_TIMEOUT ||
           e == ERROR_INTERNET_INCORRECT_HANDLE_STATE || e == ERROR_INTERNET_CANNOT_CONNECT;
}

}  // namespace

CSegment::CSegment(uint32_t id_, const CConnection& source, uint64_t start_, uint64_t end_)
    : CLog(L"CSegment"),
      m_connection(source),
      id(id_),
      start(start_),
      end(end_),
      downloaded(0),
      running(0),
      startTime(0),
      endTime(0),
      startCount(0),
      result(kavri::kErrNotFinished),
      lastStatus(0),
      limited(false),
      retryAfterMs(0),
      changed(false) {
    m_connection.SetOpenInWorkerThread(false);
    m_connection.SetRange(start_, end_, std::wstring());
    wchar_t name[1024];
    _snwprintf(name, 1023, L"CSegment:#%d", static_cast<int>(id));
    name[1023] = L'\0';
    SetLogName(name);
    m_connection.SetLogName(name);
}

CSegment::~CSegment() { Dispose(); }

bool CSegment::WaitForWorker(DWORD timeoutMs) const {
    if (!thread) return true;
    return WaitForSingleObject(thread.Get(), timeoutMs) == WAIT_OBJECT_0;
}

namespace {

// What a worker thread starts with: its segment, and a reference that keeps
// the host (and with it the session the segment's requests use) alive.
struct WorkerStart {
    std::shared_ptr<ISegmentHost> host;
    CSegment* segment;
};

}  // namespace

bool CSegment::StartWorker(LPTHREAD_START_ROUTINE fn) {
    std::shared_ptr<ISegmentHost> host = m_owner.lock();
    if (!host || OwnerStops(*host)) {
        result = kavri::kCancelled;
        return false;
    }
    thread.Reset();  // the last worker has ended; its handle is not needed
    result = kavri::kErrNotFinished;
    running = 1;  // before the thread exists: the host sees it as running
    auto* start = new WorkerStart{std::move(host), this};
    thread.Reset(CreateThread(nullptr, 0, fn, start, 0, nullptr));
    if (!thread) {
        delete start;
        running = 0;
        result = kavri::kErrGeneric;
        LogError(this, kavri::kErrGeneric, L"failed to create a new thread (%d).", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

void CSegment::AdoptFirstAnswer(CConnection& from, uint64_t pieceStart, uint64_t pieceEnd) {
    m_connection.TakeOpenRequest(from);
    start = pieceStart;
    end = pieceEnd;
    m_adopted = m_connection.GetUrlHandle() != nullptr;
    if (m_adopted) m_waitMs = m_connection.Answer().waitMs;
}

uint64_t CSegment::Rate() const {
    const ULONGLONG began = m_pieceTick.load();
    if (!began || !running) return m_lastRate.load();
    const ULONGLONG ms = GetTickCount64() - began;
    const uint64_t bytes = m_pieceBytes.load();
    // A request that has brought nothing for a second is as good as stalled,
    // and so is one that has gone quiet (a server that sends in bursts may
    // hold a piece's last bytes back for a second).
    if (bytes == 0) return ms > 1000 ? 1 : 0;
    const uint64_t rate = bytes * 1000 / (ms ? ms : 1);
    const ULONGLONG quiet = GetTickCount64() - m_lastByteTick.load();
    return quiet > std::max<uint64_t>(kQuietMs, 4000ull * kReadSize / (rate ? rate : 1)) ? 1 : rate;
}

void CSegment::Start(uint32_t delayMs) {
    if (delayMs != 0) {
        LogInfo(this, L"starting in %ds...", static_cast<int>(delayMs));
        Sleep(delayMs);
    } else {
        LogInfo(this, L"starting...");
    }
    if (StartWorker(ThreadProc)) ++startCount;
}

DWORD WINAPI CSegment::ThreadProc(LPVOID param) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(param));
    // Released last: the host (and this segment, which it owns) may be
    // destroyed then, so nothing of either is touched after it.
    const std::shared_ptr<ISegmentHost> host = std::move(start->host);
    CSegment* segment = start->segment;
    start.reset();
    if (!kavri::Guarded([&] { segment->ThreadMain(*host); })) {
        CLog source(L"CSegment");
        LogError(&source, kavri::kErrGeneric, L":ThreadMain, failed to process an incoming segment");
        segment->endTime = Now();
        segment->running = 0;
        return static_cast<DWORD>(-1);
    }
    return 0;
}

ISegmentHost::Work CSegment::NextPiece(ISegmentHost& host) {
    kavri::ByteRange piece{};
    const ISegmentHost::Work work = m_detached ? ISegmentHost::Work::kNone : host.NextPiece(*this, &piece, &m_ifRange);
    if (work == ISegmentHost::Work::kPiece) SetPiece(piece.start, piece.end, m_ifRange);
    return work;
}

// Reads the open request's body into the piece [start, end) until the piece
// is complete or was cut short by a take-over; throws a result code.
void CSegment::ReadPiece(ISegmentHost& host) {
    m_pieceTick = GetTickCount64();
    m_lastByteTick = m_pieceTick.load();
    m_pieceBytes = 0;
    uint64_t position = start;
    for (;;) {
        if (OwnerStops(host)) throw kavri::kCancelled;
        DWORD read = 0;
        if (!InternetReadFile(m_connection.GetUrlHandle(), m_buffer.get(), kReadSize, &read)) {
            const DWORD e = GetLastError();
            const int code = IsConnectionReadError(e) ? kavri::kErrNoConnection : kavri::kErrRead;
            LogError(this, code, L"failed to read internet resource data, WIN_INTET_ERROR: %d", static_cast<int>(e));
            throw static_cast<EErrorCode>(code);
        }
        if (read == 0) {
            if (end != UINT64_MAX && position < end) {
                // The data ended early (a cut body reads as a normal end).
                LogError(this, kavri::kErrNotFinished, L"download not complete, remains %db",
                         static_cast<int>(static_cast<uint32_t>(end - position)));
                throw kavri::kErrNoConnection;
            }
            break;
        }
        bool pieceDone = false;
        if (m_detached) throw kavri::kCancelled;
        const int64_t kept = host.Deliver(*this, position, m_buffer.get(), read, &pieceDone);
        if (kept < 0 && m_detached) throw kavri::kCancelled;
        if (kept < 0) {
            if (kept == kavri::kErrWriteFile) LogError(this, kavri::kErrWriteFile, L"Error writing data to a local file");
            throw static_cast<EErrorCode>(kept);
        }
        position += static_cast<uint64_t>(kept);
        downloaded += static_cast<uint64_t>(kept);
        m_pieceBytes += static_cast<uint64_t>(kept);
        if (kept > 0) {
            m_lastByteTick = GetTickCount64();
            host.Progressed();  // no lock is held here
        }
        if (pieceDone) break;
    }
    // A piece whose end was taken over leaves a body behind: dropped here
    // (the platform reads what has already arrived, then closes).
    m_lastRate = Rate();
    m_pieceTick = 0;
    m_connection.Close();
}

void CSegment::ThreadMain(ISegmentHost& host) {
    running = 1;
    if (OwnerStops(host)) {
        result = kavri::kCancelled;
        running = 0;
        return;
    }
    if (!m_buffer) m_buffer.reset(new unsigned char[kReadSize]);
    downloaded = 0;
    limited = changed = false;
    retryAfterMs = 0;
    result = kavri::kErrNotFinished;
    startTime = Now();
    LogInfo(this, L"starting download...");
    try {
        for (;;) {
            if (OwnerStops(host)) throw kavri::kCancelled;
            if (!m_adopted) {
                const ISegmentHost::Work work = NextPiece(host);
                if (work == ISegmentHost::Work::kNone) break;  // nothing left for this worker
                if (work == ISegmentHost::Work::kLater) {
                    Sleep(kIdleMs);
                    continue;
                }
                m_pieceTick = GetTickCount64();
                m_pieceBytes = 0;
                const int r = m_connection.Open();
                if (r == 0) m_waitMs = m_connection.Answer().waitMs;
                lastStatus = m_connection.Answer().status;
                if (r != 0) {
                    limited = kavri::IsLimitRefusal(lastStatus);
                    retryAfterMs = m_connection.Answer().retryAfterMs;  // 0 but for a refusal
                    // A 200 to a request with If-Range: the file is another now.
                    changed = lastStatus == 200 && !m_ifRange.empty();
                    throw static_cast<EErrorCode>(r);
                }
                if (m_detached) throw kavri::kCancelled;
                if (!host.SameFile(*this, m_connection.Answer())) {
                    changed = true;
                    LogError(this, kavri::kErrHttpStatus, L"the file on the server has changed");
                    throw kavri::kErrHttpStatus;
                }
            }
            m_adopted = false;
            ReadPiece(host);
            if (end == UINT64_MAX) break;  // a body of unknown length has ended cleanly
        }
        result = 0;
        if (!OwnerStops(host)) LogInfo(this, L"download complete, %ds left.", static_cast<int>(Now() - startTime));
    } catch (EErrorCode c) {
        m_adopted = false;
        m_pieceTick = 0;
        m_connection.Close();
        result = c;
        LogInfo(this, L"download failed, %ds left.", static_cast<int>(Now() - startTime));
    }
    if (!m_detached) host.Stopped(*this);
    endTime = Now();
    running = 0;
}

void CSegment::Dispose() { thread.Reset(); }

// ---------------------------------------------------------------------------
// Test mode: a connectivity probe only opens its request and reads nothing.

void CSegment::RunTest() {
    LogInfo(this, L"test starting...");
    StartWorker(TestThreadProc);
}

DWORD WINAPI CSegment::TestThreadProc(LPVOID param) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(param));
    const std::shared_ptr<ISegmentHost> host = std::move(start->host);  // released last, as in ThreadProc
    CSegment* segment = start->segment;
    start.reset();
    if (!kavri::Guarded([&] { segment->TestThreadMain(*host); })) {
        CLog source(L"CSegment");
        LogError(&source, kavri::kErrGeneric, L"%ls: Failed to process an incoming segment in test module",
                 L"CDownloader::CSegment::TestThreadMain");
        segment->running = 0;
        return static_cast<DWORD>(-1);
    }
    return 0;
}

void CSegment::TestThreadMain(ISegmentHost& host) {
    running = 1;
    if (OwnerStops(host)) {
        result = kavri::kCancelled;
        running = 0;
        return;
    }
    result = kavri::kErrNotFinished;
    startTime = Now();
    result = m_connection.OpenForTest();
    if (result == 0) LogInfo(this, L"starting test download...");
    endTime = Now();
    running = 0;
}
