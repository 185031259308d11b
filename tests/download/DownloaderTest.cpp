// The download coordinator end to end against nginx, the shared test server
// and an in-process server with aimed faults: every finished file is checked
// byte for byte (SHA-256) against its source.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MiniServer.h"
#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "download/Downloader.h"
#include "download/Segment.h"
#include "net/NetTestUtil.h"
#include "support/TestEnv.h"

using kavri_nettest::FileUrl;
using kavri_nettest::LogCapture;
using kavri_nettest::UniqueTag;
using kavri_test::MiniServer;

namespace {

const DWORD kDownloadTimeoutMs = 90000;

std::string Sha256OfBytes(const std::string& bytes) {
    kavri_test::TempDir dir;
    std::wstring path = dir.File(L"source.bin");
    kavri_test::WriteFileBytes(path, bytes);
    return kavri_test::Sha256OfFile(path);
}

std::string TestServerSha(uint64_t size, unsigned seed) {
    return kavri_nettest::HttpGetText(kavri_test::TestServerUrl(L"/_sha256?size=" + std::to_wstring(size) +
                                                                L"&seed=" + std::to_wstring(seed)));
}

// Collects the notifications with the thread each one arrived on.
class Recorder {
public:
    struct Event {
        int state;
        int64_t bytes;
        DWORD thread;
    };
    Recorder() : m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_progress(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Recorder() {
        CloseHandle(m_done);
        CloseHandle(m_progress);
    }

    static void Callback(CDownloader*, DownloadEvent e) {
        Recorder* self = static_cast<Recorder*>(e.context);
        {
            std::lock_guard<std::mutex> hold(self->m_lock);
            self->m_events.push_back({e.state, e.bytesDone, GetCurrentThreadId()});
        }
        if (e.state == DOWNLOAD_PROGRESS && e.bytesDone >= self->m_progressMark) SetEvent(self->m_progress);
        if (e.state == DOWNLOAD_COMPLETE || e.state == DOWNLOAD_FAILED) SetEvent(self->m_done);
    }

    // Starts the download; the events of an earlier run are forgotten.
    int Start(CDownloader& d, int64_t progressMark = 1) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_events.clear();
        }
        m_progressMark = progressMark;
        ResetEvent(m_done);
        ResetEvent(m_progress);
        d.SetCallback(&Recorder::Callback);
        return d.Run(this);
    }
    bool WaitDone(DWORD ms = kDownloadTimeoutMs) { return WaitForSingleObject(m_done, ms) == WAIT_OBJECT_0; }
    bool WaitProgress(DWORD ms = kDownloadTimeoutMs) { return WaitForSingleObject(m_progress, ms) == WAIT_OBJECT_0; }
    // Runs to the final notification; its result.
    int RunToEnd(CDownloader& d) {
        int rc = Start(d);
        if (rc != 0) return rc;
        if (!WaitDone()) return 12345;
        // The main thread clears `running` before the final notification.
        return d.GetResult();
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_events;
    }

private:
    std::mutex m_lock;
    std::vector<Event> m_events;
    std::atomic<int64_t> m_progressMark{1};
    HANDLE m_done;
    HANDLE m_progress;
};

// Downloads go to %TEMP%, which each test points at a directory of its own.
class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t old[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"TEMP", old, MAX_PATH);
        m_oldTemp = old;
        SetEnvironmentVariableW(L"TEMP", m_dir.Path().c_str());
        d.SetTimeoutsForTest(5000, 2000);
        d.SetRestartDelayFactorForTest(10);
    }
    void TearDown() override { SetEnvironmentVariableW(L"TEMP", m_oldTemp.c_str()); }

    // The final log line follows the final notification: wait for it.
    bool LogSoon(const wchar_t* text) {
        return kavri_nettest::WaitFor([&] { return log.Has(text); }, 10000);
    }

    std::vector<std::wstring> FilesInDir() {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((m_dir.Path() + L"\\*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return names;
        do {
            if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) names.push_back(fd.cFileName);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
        return names;
    }

    kavri_test::TempDir m_dir;
    std::wstring m_oldTemp;
    LogCapture log;
    CDownloader d;
    Recorder rec;
};

}  // namespace

TEST_F(DownloaderTest, NginxFileInNineSegmentsWithNotificationsOnTheirThreads) {
    d.SetUrl(kavri_test::NginxUrl(L"/file10m.bin").c_str());
    d.SetMaxSegments(10);
    ASSERT_EQ(rec.RunToEnd(d), 0) << kavri_nettest::Narrow(log.Dump());

    EXPECT_EQ(std::wstring(d.GetFilePath()), m_dir.File(L"file10m.bin"));
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()),
              kavri_test::Sha256OfFile(kavri_test::NginxRoot() + L"\\file10m.bin"));
    EXPECT_EQ(d.GetFileSize(), 10000000);
    EXPECT_TRUE(log.Has(L"Running 10 dummy test segments"));
    EXPECT_TRUE(log.Has(L"Runnig 9 segments..."));
    EXPECT_EQ(log.Count(L"WaitAll, removing succed #"), 9);
    EXPECT_EQ(d.GetMaxSegments(), 11u);  // no probe failed: n + 1
    EXPECT_TRUE(LogSoon(L"CDownloader:Download complete successfully"));

    std::vector<Recorder::Event> events = rec.Events();
    ASSERT_GE(events.size(), 5u);
    const DWORD mainThread = events.front().thread;
    EXPECT_NE(mainThread, GetCurrentThreadId());
    EXPECT_EQ(events[0].state, DOWNLOAD_CONNECTING);
    EXPECT_EQ(events[1].state, DOWNLOAD_TESTING);
    EXPECT_EQ(events[2].state, DOWNLOAD_STARTING);
    EXPECT_EQ(events.back().state, DOWNLOAD_COMPLETE);
    EXPECT_EQ(events.back().bytes, 10000000);
    std::set<DWORD> progressThreads;
    int64_t maxBytes = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const Recorder::Event& e = events[i];
        if (e.state == DOWNLOAD_PROGRESS) {
            EXPECT_NE(e.thread, mainThread);
            progressThreads.insert(e.thread);
            maxBytes = std::max(maxBytes, e.bytes);
        } else {
            EXPECT_EQ(e.thread, mainThread) << "state " << e.state;
        }
    }
    EXPECT_GE(progressThreads.size(), 2u);  // segments report concurrently
    EXPECT_EQ(maxBytes, 10000000);          // never past the size
}

TEST_F(DownloaderTest, ServerWithoutRangesGivesOneSegmentWithoutRangeHeader) {
    d.SetUrl(kavri_test::NginxUrl(L"/norange/file10m.bin").c_str());
    ASSERT_EQ(rec.RunToEnd(d), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_TRUE(log.Has(L"Runnig 1 segments..."));
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()),
              kavri_test::Sha256OfFile(kavri_test::NginxRoot() + L"\\norange\\file10m.bin"));

    // The shared test server records the headers: the file query asks for
    // the first byte, is refused that range, and asks plainly; the download
    // itself sends no Range.
    std::wstring tag = UniqueTag(L"norange");
    CDownloader d2;
    d2.SetUrl(FileUrl(L"size=3000000&seed=4&ranges=0", tag).c_str());
    ASSERT_EQ(rec.RunToEnd(d2), 0);
    EXPECT_EQ(kavri_test::Sha256OfFile(d2.GetFilePath()), TestServerSha(3000000, 4));
    std::string json = kavri_nettest::RequestsJson(tag);
    EXPECT_GE(kavri_nettest::Occurrences(json, "\"range\": null"), 2) << json.substr(0, 400);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes"), 1);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes=0-0\""), 1);
    // No connectivity test: its probes could only ask for the whole file.
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"method\":"), 3);
    EXPECT_TRUE(log.Has(L"no byte ranges, one segment; test skipped"));
}

TEST_F(DownloaderTest, TakenNameGetsTheFirstFreeNumber) {
    ASSERT_TRUE(kavri_test::WriteFileBytes(m_dir.File(L"small.bin"), "taken"));
    d.SetUrl(kavri_test::NginxUrl(L"/small.bin").c_str());
    ASSERT_EQ(rec.RunToEnd(d), 0);
    EXPECT_EQ(std::wstring(d.GetFilePath()), m_dir.File(L"small[1].bin"));
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()),
              kavri_test::Sha256OfFile(kavri_test::NginxRoot() + L"\\small.bin"));
    EXPECT_EQ(kavri_test::ReadFileBytes(m_dir.File(L"small.bin")), "taken");
    EXPECT_TRUE(log.Has(L"Runnig 1 segments..."));  // 500,000 bytes: one segment

    CDownloader other;  // with small.bin and small[1].bin there
    other.SetUrl(kavri_test::NginxUrl(L"/small.bin").c_str());
    ASSERT_EQ(rec.RunToEnd(other), 0);
    EXPECT_EQ(std::wstring(other.GetFilePath()), m_dir.File(L"small[2].bin"));
}

TEST_F(DownloaderTest, EveryPartialRequestSaysWhichBytes) {
    std::wstring tag = UniqueTag(L"ranges");
    d.SetUrl(FileUrl(L"size=3000000&seed=16", tag).c_str());
    ASSERT_EQ(rec.RunToEnd(d), 0);
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), TestServerSha(3000000, 16));
    std::string json = kavri_nettest::RequestsJson(tag);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": null"), 0) << json.substr(0, 300);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes=0-0\""), 1);    // the file query
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes=0-10\""), 11);  // test connection + probes
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes=0-1500000\""), 1);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes=1500000-3000000\""), 1);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"method\":"), 14);
}

TEST_F(DownloaderTest, FreeSpaceBelowThreeTimesTheSizeFailsBeforeAnyFile) {
    d.SetUrl(kavri_test::NginxUrl(L"/small.bin").c_str());
    d.SetFreeSpaceForTest(3 * 500000 - 1);
    EXPECT_EQ(rec.RunToEnd(d), kavri::kErrDiskSpace);
    EXPECT_TRUE(FilesInDir().empty());
    EXPECT_TRUE(log.Has(L":OnCreateFilestream, no free disk space available"));
    EXPECT_FALSE(log.Has(L"Testing Connection"));
    EXPECT_EQ(rec.Events().back().state, DOWNLOAD_FAILED);

    d.SetFreeSpaceForTest(3 * 500000);  // exactly enough
    EXPECT_EQ(rec.RunToEnd(d), 0);
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()),
              kavri_test::Sha256OfFile(kavri_test::NginxRoot() + L"\\small.bin"));
}

TEST_F(DownloaderTest, RunWhileBusyIsRefusedAndTheDownloadGoesOn) {
    std::wstring tag = UniqueTag(L"busy");
    d.SetUrl(FileUrl(L"size=2000000&seed=5&rate=800000", tag).c_str());
    ASSERT_EQ(rec.Start(d), 0);
    ASSERT_TRUE(rec.WaitProgress());
    EXPECT_TRUE(d.IsBusy());
    EXPECT_EQ(d.Run(nullptr), kavri::kErrBusy);
    EXPECT_TRUE(log.Has(L":Run, Dezezuva Vuzadevivor is busy. It's currently executing a download task."));
    EXPECT_THROW(d.SetMaxSegments(3), kavri::EErrorCode);
    EXPECT_THROW(d.AddUrl(kavri_test::NginxUrl(L"/small.bin").c_str()), kavri::EErrorCode);
    EXPECT_THROW(d.Reset(true), kavri::EErrorCode);
    ASSERT_TRUE(rec.WaitDone());
    EXPECT_EQ(d.GetResult(), 0);
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), TestServerSha(2000000, 5));
}

TEST_F(DownloaderTest, CancelMidDownloadDeletesTheFileAndReportsOne) {
    std::wstring tag = UniqueTag(L"cancel");
    d.SetUrl(FileUrl(L"size=3000000&seed=6&rate=300000", tag).c_str());
    ASSERT_EQ(rec.Start(d), 0);
    ASSERT_TRUE(rec.WaitProgress());
    const std::wstring path = d.GetFilePath();
    EXPECT_TRUE(kavri_test::FileExists(path));
    const ULONGLONG started = GetTickCount64();
    d.Cancel();
    EXPECT_LT(GetTickCount64() - started, 15000u);
    EXPECT_EQ(d.GetResult(), 1);
    ASSERT_TRUE(rec.WaitDone(5000));
    EXPECT_FALSE(d.IsBusy());
    EXPECT_FALSE(kavri_test::FileExists(path));
    EXPECT_EQ(rec.Events().back().state, DOWNLOAD_FAILED);
    EXPECT_TRUE(LogSoon(L"Download complete with errors, last ERROR: 1"));

    // A later Run starts that download afresh and completes it.
    rec.Start(d);
    ASSERT_TRUE(rec.WaitDone());
    EXPECT_EQ(d.GetResult(), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), TestServerSha(3000000, 6));
}

TEST_F(DownloaderTest, UnknownSizeIsReadToTheEndInOneSegment) {
    std::wstring tag = UniqueTag(L"nolength");
    d.SetUrl(FileUrl(L"size=3000000&seed=7&nolength=1&ranges=0", tag).c_str());
    d.SetFreeSpaceForTest(0);  // nothing to check against an unknown size
    ASSERT_EQ(rec.RunToEnd(d), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_EQ(d.GetFileSize(), -1);
    EXPECT_TRUE(log.Has(L"Runnig 1 segments..."));
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), TestServerSha(3000000, 7));
    EXPECT_EQ(rec.Events().back().bytes, 3000000);
}

// A server that advertises byte ranges but answers a ranged request with 200
// and the whole file: the file query's first-byte request shows it, so the
// file comes in one plain request (never pieces of the whole file written at
// the segments' offsets, and no download that fails although it could not).
TEST_F(DownloaderTest, RangedTwoHundredIsDownloadedInOnePlainSegment) {
    std::wstring tag = UniqueTag(L"ranged200");
    d.SetUrl(FileUrl(L"size=3000000&seed=8&ranged200=1", tag).c_str());
    ASSERT_EQ(rec.RunToEnd(d), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), TestServerSha(3000000, 8));
    EXPECT_TRUE(log.Has(L"Runnig 1 segments..."));
    EXPECT_TRUE(log.Has(L"no byte ranges used."));
    std::string json = kavri_nettest::RequestsJson(tag);
    // The first-byte query is the only ranged request; then the plain query
    // and the one segment.
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes"), 1) << json.substr(0, 400);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"range\": \"bytes=0-0\""), 1);
    EXPECT_EQ(kavri_nettest::Occurrences(json, "\"method\":"), 3);
}

TEST_F(DownloaderTest, EverySegmentFailingWithNoConnectionEndsWith500) {
    std::wstring tag = UniqueTag(L"trunc0");
    d.SetUrl(FileUrl(L"size=3000000&seed=9&truncate=0", tag).c_str());
    EXPECT_EQ(rec.RunToEnd(d), kavri::kErrNoConnection);
    EXPECT_TRUE(log.Has(L"download not complete, remains"));
    EXPECT_TRUE(log.Has(L":WaitAll, terminating unfinished (2) segments thread procs..."));
    EXPECT_NE(rec.Events().back().state, DOWNLOAD_COMPLETE);
    d.Reset(false);
}

TEST_F(DownloaderTest, TruncatedRunsResumeToIdenticalBytesWithoutRetestOrResplit) {
    std::wstring tag = UniqueTag(L"truncate");
    d.SetUrl(FileUrl(L"size=3000000&seed=10&truncate=400000", tag).c_str());
    int runs = 0;
    int r = -1;
    for (; runs < 12 && r != 0; ++runs) {
        r = rec.RunToEnd(d);
        if (r != 0) {
            EXPECT_EQ(r, kavri::kErrNoConnection);
            EXPECT_NE(rec.Events().back().state, DOWNLOAD_COMPLETE);
        }
    }
    ASSERT_EQ(r, 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_GE(runs, 3);  // 1,500,000-byte segments, 400,000 bytes per request
    EXPECT_EQ(log.Count(L"dummy test segments"), 1);
    EXPECT_EQ(log.Count(L"Testing Connection"), 1);
    EXPECT_EQ(log.Count(L"Runnig 2 segments..."), runs);
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), TestServerSha(3000000, 10));
    // Every resumed request asked for the rest of its range only.
    std::string json = kavri_nettest::RequestsJson(tag);
    EXPECT_GT(kavri_nettest::Occurrences(json, "\"range\": \"bytes=400000-1500000\""), 0) << json.substr(0, 300);
}

TEST_F(DownloaderTest, ResetInTheMiddleOfOneSegmentIsRetriedToAnIntactFile) {
    const std::string body = kavri_test::MakeBody(4000000, 11);
    MiniServer server(body);
    ASSERT_TRUE(server.Start());
    // 4,000,000 bytes: 3 segments; the second one's first request breaks.
    std::atomic<int> hits{0};
    server.SetFaultPlan([&](const MiniServer::Request& r) {
        MiniServer::Fault f;
        if (r.range.rfind("bytes=1333333-", 0) == 0 && hits++ == 0) f.resetAfter = 200000;
        return f;
    });
    d.SetUrl(server.Url(L"/reset.bin").c_str());
    ASSERT_EQ(rec.RunToEnd(d), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), Sha256OfBytes(body));
    EXPECT_TRUE(log.Has(L":WaitAll, restarting failed Segment #2"));
    // The restart continued after what had arrived.
    bool resumed = false;
    for (const MiniServer::Request& r : server.Requests())
        if (r.start > 1333333 && r.start <= 1533333) resumed = true;
    EXPECT_TRUE(resumed);
    // What was resent is at most what the reset cut off in transit.
    EXPECT_LT(server.BytesSent(), body.size() + 200000);
}

TEST_F(DownloaderTest, ServerGoneForAWhileThenResumedWithoutRetestOrResplit) {
    const std::string body = kavri_test::MakeBody(6000000, 12);
    MiniServer server(body);
    server.SetRate(1500000);
    ASSERT_TRUE(server.Start());
    d.SetUrl(server.Url(L"/gone.bin").c_str());
    ASSERT_EQ(rec.Start(d, 1500000), 0);
    ASSERT_TRUE(rec.WaitProgress());
    server.Stop();  // every connection closes, new ones are refused
    ASSERT_TRUE(rec.WaitDone());
    EXPECT_EQ(d.GetResult(), kavri::kErrNoConnection);
    const uint64_t sentBefore = server.BytesSent();

    // Still gone: the next Run cannot even query the file.
    EXPECT_EQ(rec.RunToEnd(d), kavri::kErrNoConnection);
    EXPECT_TRUE(log.Has(L"No connection available, breaking..."));

    ASSERT_TRUE(server.Start());  // back on the same port
    server.SetRate(0);
    ASSERT_EQ(rec.RunToEnd(d), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), Sha256OfBytes(body));
    EXPECT_EQ(log.Count(L"dummy test segments"), 1);
    EXPECT_EQ(log.Count(L"Testing Connection"), 1);
    EXPECT_TRUE(log.Has(L":Connect, server not reachable, keeping the download for a resume."));
    // What had arrived was kept: the rest cost about the rest of the file.
    EXPECT_LT(server.BytesSent() - sentBefore, body.size() - 1000000);
}

// The state a failed run leaves when one of its workers completes its range
// after that run has ended (closing the session does not end a transfer on
// every platform): the file created and split, the last segment done.
class LateFinishProbe : public CDownloader {
public:
    bool PrepareWithLastSegmentDone() {
        SetTimeoutsForTest(5000, 2000);
        GetSession(true);
        m_running = 1;  // segments start only while a download runs
        bool ok = Connect() == 0 && OnCreateFilestream(m_currentConnection) == 0;
        if (ok) {
            CreateSegments(m_currentConnection);
            CSegment* last = m_segments.back();
            last->Start(0);
            ok = last->WaitForWorker(30000) && last->result == 0 && last->GetPosition() == last->end;
        }
        m_running = 0;
        return ok && m_segments.size() == 3;
    }
};

TEST_F(DownloaderTest, SegmentCompletedAfterAFailedRunIsNotFetchedAgain) {
    const std::string body = kavri_test::MakeBody(4000000, 21);
    MiniServer server(body);
    ASSERT_TRUE(server.Start());
    LateFinishProbe p;
    p.SetUrl(server.Url(L"/late.bin").c_str());
    ASSERT_TRUE(p.PrepareWithLastSegmentDone()) << kavri_nettest::Narrow(log.Dump());
    const size_t before = server.Requests().size();

    ASSERT_EQ(rec.RunToEnd(p), 0) << kavri_nettest::Narrow(log.Dump());
    EXPECT_EQ(kavri_test::Sha256OfFile(p.GetFilePath()), Sha256OfBytes(body));
    EXPECT_TRUE(log.Has(L"completed after the previous run ended."));
    // The resumed run asked only for the first two ranges (and the file's
    // first byte), never again for the last one or beyond the file's end.
    const std::vector<MiniServer::Request> requests = server.Requests();
    ASSERT_GT(requests.size(), before);
    for (size_t i = before; i < requests.size(); ++i) EXPECT_LT(requests[i].start, 2666666u) << requests[i].range;
}

// RunConnectivityTest on its own, against a server that answers only so many
// connections at once and leaves the others unanswered.
class ConnectivityProbe : public CDownloader {
public:
    uint32_t Measure(const std::wstring& url, uint32_t maxSegments) {
        SetTimeoutsForTest(5000, 1000);
        SetMaxSegments(maxSegments);
        SetUrl(url.c_str());
        GetSession(true);
        SYSTEMTIME lm;
        int64_t size = -1;
        CConnection* c = m_connections.front();
        if (c->QueryFileInformation(&lm, &size) != 0) return 0;
        c->Close();
        m_currentConnection = c;
        m_running = 1;  // probes run only while a download runs
        RunConnectivityTest();
        m_running = 0;
        return m_maxSegments;
    }
};

TEST(ConnectivityTest, SegmentsFollowTheConnectionsTheServerAccepts) {
    struct Case { int limit; uint32_t maxSegments; uint32_t result; } cases[] = {
        {2, 10, 2},     // the test connection and one probe: 9 of 10 probes fail
        {100, 10, 11},  // all accepted: one more next time
        {1, 10, 1},     // only the test connection: every probe fails
        {4, 3, 4},
    };
    for (const Case& c : cases) {
        MiniServer server(kavri_test::MakeBody(100000, 13));
        ASSERT_TRUE(server.Start());
        server.SetConnectionLimit(c.limit);
        ConnectivityProbe d;
        EXPECT_EQ(d.Measure(server.Url(L"/probe.bin"), c.maxSegments), c.result) << "limit " << c.limit;
        // The probes and the test connection ask for bytes 0-10 only.
        std::vector<MiniServer::Request> requests = server.Requests();
        ASSERT_EQ(requests.size(), c.maxSegments + 2u);
        for (size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i].range, "bytes=0-10");
    }
}

TEST_F(DownloaderTest, CancelAsyncReturnsAtOnceAndTheDownloadEndsCancelled) {
    std::wstring tag = UniqueTag(L"cancelasync");
    d.SetUrl(FileUrl(L"size=3000000&seed=14&rate=300000", tag).c_str());
    ASSERT_EQ(rec.Start(d), 0);
    ASSERT_TRUE(rec.WaitProgress());
    const ULONGLONG started = GetTickCount64();
    d.CancelAsync();
    EXPECT_LT(GetTickCount64() - started, 1000u);
    ASSERT_TRUE(rec.WaitDone(15000));
    EXPECT_TRUE(kavri_nettest::WaitFor([&] { return d.GetResult() == 1; }, 5000));
    EXPECT_EQ(rec.Events().back().state, DOWNLOAD_FAILED);
    EXPECT_FALSE(kavri_test::FileExists(d.GetFilePath()));
}

namespace {

// Starts the second download from inside the first one's final notification,
// as the progress window does after the web configuration.
struct Chain {
    std::wstring second;
    std::atomic<int> completes{0};
    std::atomic<int> startResult{99};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Chain() { CloseHandle(done); }

    static void Callback(CDownloader* d, DownloadEvent e) {
        Chain* self = static_cast<Chain*>(e.context);
        if (e.state == DOWNLOAD_FAILED) SetEvent(self->done);
        if (e.state != DOWNLOAD_COMPLETE) return;
        if (++self->completes == 1) {
            d->SetUrl(self->second.c_str());
            self->startResult = d->Run(nullptr);  // keeps the context
        } else {
            SetEvent(self->done);
        }
    }
};

}  // namespace

TEST_F(DownloaderTest, NextDownloadStartsFromInsideTheCompleteNotification) {
    Chain chain;
    chain.second = kavri_test::NginxUrl(L"/file10m.bin");
    d.SetUrl(kavri_test::NginxUrl(L"/small.bin").c_str());
    d.SetCallback(&Chain::Callback);
    ASSERT_EQ(d.Run(&chain), 0);
    ASSERT_EQ(WaitForSingleObject(chain.done, kDownloadTimeoutMs), WAIT_OBJECT_0);
    EXPECT_EQ(chain.startResult.load(), 0);
    EXPECT_EQ(chain.completes.load(), 2);
    EXPECT_EQ(std::wstring(d.GetFilePath()), m_dir.File(L"file10m.bin"));
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()),
              kavri_test::Sha256OfFile(kavri_test::NginxRoot() + L"\\file10m.bin"));
    // SetUrl dropped the first download's file.
    EXPECT_FALSE(kavri_test::FileExists(m_dir.File(L"small.bin")));
}

TEST_F(DownloaderTest, DestroyedWhileRunningEndsItsThreadsFirst) {
    std::wstring tag = UniqueTag(L"destroy");
    CDownloader* busy = new CDownloader();
    busy->SetTimeoutsForTest(5000, 2000);
    busy->SetUrl(FileUrl(L"size=3000000&seed=15&rate=300000", tag).c_str());
    ASSERT_EQ(rec.Start(*busy), 0);
    ASSERT_TRUE(rec.WaitProgress());
    const ULONGLONG started = GetTickCount64();
    delete busy;  // no Cancel first: the destructor ends the download itself
    EXPECT_LT(GetTickCount64() - started, 15000u);
    // The download thread gave its final notification before the object went.
    ASSERT_TRUE(rec.WaitDone(0));
    EXPECT_EQ(rec.Events().back().state, DOWNLOAD_FAILED);
}
