// One byte range of the remote file, downloaded on a worker thread of its own
// and written into the shared target file through its owner. A segment is
// itself a connection (its own request with its own Range header). The same
// class serves as a connectivity probe (RunTest / TestThreadMain).
//
// Concurrency: the worker writes every field; the coordinator reads result,
// times and start count only after the worker has ended, and calls Start only
// when no worker runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "download/Connection.h"
#include "common/CriticalSection.h"
#include "download/Downloader.h"

class CDownloader::CSegment final : public virtual CConnection {
public:
    CSegment(uint32_t id, const CConnection& source, uint64_t start, uint64_t end);
    ~CSegment();

    int GetRequestHeaders(wchar_t* buffer, DWORD capacity) override;

    void Start(uint32_t delayMs);
    void RunTest();
    void Dispose();
    uint64_t GetPosition() const { return start + downloaded; }
    // Waits up to timeoutMs for the current worker; true when none runs.
    bool WaitForWorker(DWORD timeoutMs) const;
    // Probes copy the coordinator's knowledge of byte-range support.
    void SetAcceptsRanges(bool value) { m_acceptsRanges = value; }
    // Cuts the segment off from its owner: once this returns, the worker
    // never touches the owner again and ends at its next check.
    void DetachOwner();

    uint32_t id;
    uint64_t start;
    uint64_t end;  // 0: read to the end of the data
    uint64_t downloaded;
    CDownloader* owner;
    std::atomic<int32_t> running;
    HANDLE thread;
    int64_t startTime;
    int64_t endTime;
    uint32_t startCount;
    int32_t result;
    unsigned char buffer[8192];

private:
    // Every access of the worker to its owner goes through these, under
    // ownerLock, so DetachOwner can end the relation safely.
    bool OwnerCancelled();
    uint32_t WriteToOwner(const void* data, uint32_t count);

    kavri::CriticalSection ownerLock;

    void ThreadMain();
    void TestThreadMain();
    static DWORD WINAPI ThreadProc(LPVOID param);
    static DWORD WINAPI TestThreadProc(LPVOID param);
};
