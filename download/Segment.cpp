// One byte range of the remote file on a worker thread of its own.
//
// Concurrency: the worker writes every field; the coordinator reads them only
// after the worker thread has ended (WaitForWorker orders the accesses) and
// starts a worker only when none runs. The owner is reached only through
// OwnerCancelled/WriteToOwner under ownerLock, so DetachOwner can cut a worker
// off from a coordinator that is going away.
#include "download/Segment.h"

#include <ctime>
#include <cwchar>
#include <mutex>

#include "common/ErrorCode.h"
#include "common/Guard.h"
#include "net/Session.h"

using kavri::EErrorCode;

namespace {

int64_t Now() { return _time64(nullptr); }

// Read errors that mean the connection went away (the coordinator restarts
// such a segment from where it stopped and gives up when all fail so).
bool IsConnectionReadError(DWORD e) {
    return e == ERROR_INTERNET_OPERATION_CANCELLED || e == ERROR_INVALID_HANDLE ||
           e == ERROR_INTERNET_TIMEOUT || e == ERROR_INTERNET_INCORRECT_HANDLE_STATE ||
           e == ERROR_INTERNET_CANNOT_CONNECT;
}

}  // namespace

CDownloader::CSegment::CSegment(uint32_t id_, const CConnection& source, uint64_t start_, uint64_t end_)
    : CLog(L"CSegment"),
      CConnection(source),
      id(id_),
      start(start_),
      end(end_),
      downloaded(0),
      owner(nullptr),
      running(0),
      thread(nullptr),
      startTime(0),
      endTime(0),
      startCount(0),
      result(kavri::kErrNotFinished) {
    SetOpenInWorkerThread(false);
    ZeroMemory(buffer, sizeof(buffer));
    wchar_t name[1024];
    _snwprintf(name, 1023, L"CSegment:#%d", static_cast<int>(id));
    name[1023] = L'\0';
    SetLogName(name);
}

CDownloader::CSegment::~CSegment() { Dispose(); }

int CDownloader::CSegment::GetRequestHeaders(wchar_t* headers, DWORD capacity) {
    if (!headers || capacity == 0) return 0;
    // Whenever the server serves ranges, ask for exactly the range needed,
    // also from offset 0: a request for the whole file that is read only in
    // part makes the server send (and WinINet drain) far more than needed.
    // Without byte ranges the whole file is asked for (and a restart begins
    // again at 0, see ThreadMain).
    if (!m_acceptsRanges || (start == 0 && end == 0)) return 0;
    int n;
    if (end != 0)
        n = _snwprintf(headers, capacity - 1, L"Range: bytes=%I64u-%I64u", start, end);
    else
        n = _snwprintf(headers, capacity - 1, L"Range: bytes=%I64u-", start);
    headers[capacity - 1] = L'\0';
    if (n < 0) n = static_cast<int>(wcslen(headers));
    return n;
}

bool CDownloader::CSegment::WaitForWorker(DWORD timeoutMs) const {
    if (!thread) return true;
    return WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
}

void CDownloader::CSegment::DetachOwner() {
    std::lock_guard<kavri::CriticalSection> lock(ownerLock);
    owner = nullptr;
}

bool CDownloader::CSegment::OwnerCancelled() {
    std::lock_guard<kavri::CriticalSection> lock(ownerLock);
    return !owner || owner->IsCancelled();
}

uint32_t CDownloader::CSegment::WriteToOwner(const void* data, uint32_t count) {
    std::lock_guard<kavri::CriticalSection> lock(ownerLock);
    if (!owner) return 0;
    return owner->WriteToFile(this, data, count);
}

void CDownloader::CSegment::Start(uint32_t delayMs) {
    if (delayMs != 0) {
        LogInfo(this, L"starting in %ds...", static_cast<int>(delayMs));
        Sleep(delayMs);
    } else {
        LogInfo(this, L"starting...");
    }
    if (owner && !owner->IsCancelled() && owner->IsRunningFlag()) {
        // The coordinator starts a segment only when its last worker has
        // ended; the handle of that one is no longer needed.
        if (thread) {
            CloseHandle(thread);
            thread = nullptr;
        }
        ++startCount;
        result = kavri::kErrNotFinished;
        thread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
        if (!thread) {
            result = kavri::kErrGeneric;
            LogError(this, kavri::kErrGeneric, L"failed to create a new thread. Will try later...");
        }
    } else {
        result = kavri::kCancelled;
    }
}

DWORD WINAPI CDownloader::CSegment::ThreadProc(LPVOID param) {
    CSegment* segment = static_cast<CSegment*>(param);
    if (!segment) return static_cast<DWORD>(-1);
    if (!kavri::Guarded([&] { segment->ThreadMain(); })) {
        CLog source(L"CSegment");
        LogError(&source, kavri::kErrGeneric, L":ThreadMain, failed to process an incoming segment");
        segment->endTime = Now();
        segment->running = 0;
        return static_cast<DWORD>(-1);
    }
    return 0;
}

void CDownloader::CSegment::ThreadMain() {
    running = 1;
    if (OwnerCancelled()) {
        result = kavri::kCancelled;
        running = 0;
        return;
    }
    if (!m_acceptsRanges && GetPosition() > 0) {
        // Without byte ranges the server can only send the file from its
        // first byte: start over and take back what was counted.
        {
            std::lock_guard<kavri::CriticalSection> lock(ownerLock);
            if (owner) owner->ForgetWrittenBytes(GetPosition());
        }
        start = 0;
        downloaded = 0;
    } else {
        start += downloaded;
        downloaded = 0;
    }
    result = kavri::kErrNotFinished;
    startTime = Now();
    int r = Open();
    result = r;
    if (r != 0) {
        endTime = Now();
        running = 0;
        return;
    }
    result = kavri::kErrNotFinished;
    LogInfo(this, L"starting download...");
    try {
        for (;;) {
            if (OwnerCancelled()) throw kavri::kCancelled;
            DWORD read = 0;
            if (!InternetReadFile(m_urlHandle, buffer, sizeof(buffer), &read)) {
                DWORD e = GetLastError();
                if (IsConnectionReadError(e)) {
                    LogError(this, kavri::kErrNoConnection,
                             L"failed to read internet resource data, WIN_INTET_ERROR: %d", static_cast<int>(e));
                    throw kavri::kErrNoConnection;
                }
                LogError(this, kavri::kErrRead, L"failed to read internet resource data, WIN_INTET_ERROR: %d",
                         static_cast<int>(e));
                throw kavri::kErrRead;
            }
            if (read == 0) break;  // end of data
            // Only the bytes of this range are written and counted; what the
            // server sends beyond `end` belongs to the next segment.
            uint32_t count = read;
            if (end != 0) {
                const uint64_t position = GetPosition();
                if (position >= end) break;
                if (end - position < count) count = static_cast<uint32_t>(end - position);
            }
            uint32_t written = WriteToOwner(buffer, count);
            if (written == 0) {
                if (OwnerCancelled()) throw kavri::kCancelled;
                LogError(this, kavri::kErrWriteFile, L"Error writing data to a local file");
                throw kavri::kErrWriteFile;
            }
            downloaded += written;
            if (written != count) {
                // The rest of the chunk is lost: a gap in the file, not
                // something to go on from.
                LogError(this, kavri::kErrWriteFile, L":Written %db lest then read %db", static_cast<int>(written),
                         static_cast<int>(count));
                throw kavri::kErrWriteFile;
            }
            if (end != 0 && GetPosition() >= end) {
                downloaded = end - start;
                break;
            }
        }
        if (end != 0 && GetPosition() != end) {
            // The data ended early (a truncated body reads as a normal end):
            // a connection failure, restarted from here by the coordinator.
            LogError(this, kavri::kErrNotFinished, L"download not complete, remains %db",
                     static_cast<int>(static_cast<uint32_t>(end - GetPosition())));
            throw kavri::kErrNoConnection;
        }
        if (result == kavri::kErrNotFinished) result = 0;
        Close();  // frees the server's connection slot at once
        if (!OwnerCancelled())
            LogInfo(this, L"download complete, %ds left.", static_cast<int>(Now() - startTime));
    } catch (EErrorCode c) {
        Close();
        result = c;
        LogInfo(this, L"download failed, %ds left.", static_cast<int>(Now() - startTime));
    }
    endTime = Now();
    running = 0;
}

void CDownloader::CSegment::Dispose() {
    LogInfo(this, L"Dispose, starting");
    if (thread) {
        CloseHandle(thread);
        thread = nullptr;
    }
    LogInfo(this, L"Dispose, complete");
}

// ---------------------------------------------------------------------------
// Test mode: a connectivity probe only opens its request and reads nothing.

void CDownloader::CSegment::RunTest() {
    LogInfo(this, L"test starting...");
    if (owner && !owner->IsCancelled() && owner->IsRunningFlag()) {
        result = kavri::kErrNotFinished;
        thread = CreateThread(nullptr, 0, TestThreadProc, this, 0, nullptr);
        if (!thread) {
            LogInfo(this, L"%ls: [ERROR] %d creating test thread for segment %u", L"CDownloader::CSegment::RunTest",
                    static_cast<int>(GetLastError()), id);
            result = kavri::kErrGeneric;
            LogError(this, kavri::kErrGeneric, L"failed to create a new thread.");
        }
    } else {
        result = kavri::kCancelled;
    }
}

DWORD WINAPI CDownloader::CSegment::TestThreadProc(LPVOID param) {
    CSegment* segment = static_cast<CSegment*>(param);
    if (!segment) return static_cast<DWORD>(-1);
    if (!kavri::Guarded([&] { segment->TestThreadMain(); })) {
        CLog source(L"CSegment");
        LogError(&source, kavri::kErrGeneric, L"%ls: Failed to process an incoming segment in test module",
                 L"CDownloader::CSegment::TestThreadMain");
        segment->running = 0;
        return static_cast<DWORD>(-1);
    }
    return 0;
}

void CDownloader::CSegment::TestThreadMain() {
    running = 1;
    if (OwnerCancelled()) {
        result = kavri::kCancelled;
        running = 0;
        return;
    }
    result = kavri::kErrNotFinished;
    startTime = Now();
    result = OpenForTest();
    if (result == 0) LogInfo(this, L"starting test download...");
    endTime = Now();
    running = 0;
}
