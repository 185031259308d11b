// How many connections to the server may be open at once: n probes (the
// segments allowed) open the download URL at the same time in a session of
// their own; every failed open counts in that session, and maxSegments
// becomes n - failures + 1, never more than n (AdjustMaxSegments). An answer
// 429 or 503 counts as a failure: the server limits its connections. Each
// probe asks for 11 bytes.
//
// Concurrency: the probes run on their own threads and count into the test
// session under the process-wide lock. A probe's timed-out open leaves its
// own worker behind, but that worker holds its own copies and is cut off
// from the probe and the session before the open returns (CConnection), so
// only the probe threads themselves are waited for. A probe thread that does
// not end within its bound keeps its probe and the session alive.
#include <cwchar>
#include <memory>
#include <vector>

#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "download/DownloadCore.h"
#include "download/Segment.h"
#include "net/Session.h"

namespace {

// Probes wait for their open for the session's connection time-out; their
// workers end shortly after that.
const DWORD kProbeExitSlackMs = 5000;

}  // namespace

int CDownloadCore::WaitForTestSegments(std::vector<CSegment*>& probes) {
    for (CSegment* probe : probes) {
        DWORD bound = kProbeExitSlackMs;
        if (CSession* session = probe->Connection().GetSessionPtr()) bound += session->GetConnectionTimeout();
        probe->WaitForWorker(bound);
    }
    return 0;
}

// A session and a connection of the test's own, behaving like the download
// it measures. The connection asks for the probes' range too (bytes 0 to 10
// when the server serves ranges), so holding it open costs the server nothing.
int CDownloadCore::OpenTestConnection(std::unique_ptr<CSession>* session,
                                      std::unique_ptr<CConnection>* connection) {
    const wchar_t* const where = L"CDownloadCore::OpenTestConnection";
    session->reset(new CSession(0));
    (*session)->SetLogName(L"CSession");
    if (GetConnectionTimeout() != (*session)->GetConnectionTimeout() ||
        GetReceiveTimeout() != (*session)->GetReceiveTimeout())
        (*session)->SetTimeoutsForTest(GetConnectionTimeout(), GetReceiveTimeout());
    {
        CConnection base(session->get(), m_currentConnection->GetUrl());
        base.SetRequestUrl(m_currentConnection->GetRequestUrl());
        base.SetFreshAnswers(m_fresh);
        connection->reset(new CConnection(base));
    }
    (*connection)->SetLogName(L"CConnection");
    (*connection)->SetAcceptsRanges(true);
    (*connection)->SetRange(0, 11, std::wstring());
    (*connection)->SetOpenInWorkerThread(true);
    if (!(*session)->GetSession(false)) {
        LogInfo(this, L"%ls: Couldn't open local test session", where);
        return kavri::kErrSession;
    }
    const int r = (*connection)->Open();
    if (r != 0) {
        LogError(this, r, L"%ls: Error opening new test connection", where);
        (*connection)->Close();
        (*session)->Close();
    }
    return r;
}

// Deletes the probes whose threads have ended; true when one is still busy
// (it is left to end by itself, with the session it uses).
bool CDownloadCore::ReleaseTestSegments(const std::vector<CSegment*>& probes) {
    bool busy = false;
    for (CSegment* probe : probes) {
        if (probe->WaitForWorker(0)) {
            delete probe;
            continue;
        }
        probe->DetachOwner();
        busy = true;
        LogWarning(this, kavri::kErrNoConnection, L"%ls: test segment %u still busy, left to end by itself.",
                   L"CDownloadCore::RunConnectivityTest", probe->id);
    }
    return busy;
}

int CDownloadCore::RunConnectivityTest() {
    const wchar_t* const where = L"CDownloadCore::RunConnectivityTest";
    // Every test measures against what was allowed, not what the last one found.
    const uint32_t n = m_allowedSegments;
    if (!m_currentConnection) return kavri::kErrNoConnection;
    if (!m_plan.Ranges()) {
        // Without byte ranges the file comes in one segment whatever the
        // server accepts, and every probe would have to ask for the whole
        // file (which the server then sends in full): nothing to measure.
        LogInfo(this, L"%ls: no byte ranges, one segment; test skipped", where);
        return 0;
    }
    std::unique_ptr<CSession> session;
    std::unique_ptr<CConnection> connection;
    int r = OpenTestConnection(&session, &connection);
    if (r != 0) return r;
    LogInfo(this, L"%ls: Running %d dummy test segments", where, static_cast<int>(n));

    std::vector<CSegment*> probes;
    for (uint32_t i = 1; i <= n; ++i) {
        CSegment* probe = new CSegment(i, *connection, 0, 11);
        probe->SetOwner(shared_from_this());
        probes.push_back(probe);
    }
    SetMaxConnectionsPerServer(n + 2, nullptr);
    for (CSegment* probe : probes) probe->RunTest();
    r = WaitForTestSegments(probes);

    m_maxSegments = kavri::AdjustMaxSegments(n, session->GetFailureCount());
    LogInfo(this, L"%ls: %u of %d test connections failed, %u segments.", where,
            static_cast<unsigned>(session->GetFailureCount()), static_cast<int>(n), m_maxSegments);
    const bool keepSession = ReleaseTestSegments(probes);
    connection->Close();
    session->Close();
    if (keepSession) session.release();  // a busy probe still uses it
    return r;
}
