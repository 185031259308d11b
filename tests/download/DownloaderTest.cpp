// The download coordinator against the test server and nginx, as one table
// of server behaviours (a test per row): the result of each Run, the file's bytes (SHA-256),
// upper bounds of the bytes the server sent, the time and the requests, no
// request after the end, and the notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/ErrorCode.h"
#include "common/Handles.h"
#include "download/Downloader.h"
#include "net/NetTestUtil.h"

using namespace kavri;
using kavri_nettest::FileUrl;
using kavri_test::ReadFileBytes;
using kavri_nettest::UniqueTag;

namespace {

struct Event { int state; int64_t bytes; DWORD thread; };

// The notifications of one Run.
struct Recorder {
    std::mutex lock;
    std::vector<Event> events;
    kavri::ScopedKernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    kavri::ScopedKernelHandle progress{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    static void Callback(CDownloader*, DownloadEvent e) {
        Recorder* self = static_cast<Recorder*>(e.context);
        std::lock_guard<std::mutex> hold(self->lock);
        self->events.push_back({e.state, e.bytesDone, GetCurrentThreadId()});
        if (e.state == DOWNLOAD_PROGRESS) SetEvent(self->progress.Get());
        if (e.state == DOWNLOAD_COMPLETE || e.state == DOWNLOAD_FAILED) SetEvent(self->done.Get());
    }
    int Start(CDownloader& d) {
        { std::lock_guard<std::mutex> hold(lock); events.clear(); }
        ResetEvent(done.Get());
        ResetEvent(progress.Get());
        d.SetCallback(&Callback);
        return d.Run(this);
    }
    bool Wait(const kavri::ScopedKernelHandle& h) { return WaitForSingleObject(h.Get(), 90000) == WAIT_OBJECT_0; }
    int RunToEnd(CDownloader& d) { return Start(d) != 0 ? d.GetResult() : Wait(done) ? d.GetResult() : 12345; }
    // Every Run begins connecting and ends with the event of its result (complete:
    // every byte); no segment's count goes back or past the size.
    void Check(int result, int64_t size) {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events.front().state, DOWNLOAD_CONNECTING);
        EXPECT_EQ(events.back().state, result == 0 ? DOWNLOAD_COMPLETE : DOWNLOAD_FAILED);
        EXPECT_TRUE(result != 0 || events.back().bytes == size) << events.back().bytes;
        std::map<DWORD, int64_t> last;
        bool ordered = true;
        for (const Event& e : events) {
            if (e.state != DOWNLOAD_PROGRESS) continue;
            ordered = ordered && e.bytes >= last[e.thread] && (size < 0 || e.bytes <= size);
            last[e.thread] = e.bytes;
        }
        EXPECT_TRUE(ordered);
    }
};

// The download folder of a row.
struct Folder {
    kavri_test::TempDir dir;
    // Only an empty directory can be removed (and it is made again).
    bool Empty() { return RemoveDirectoryW(dir.Path().c_str()) && CreateDirectoryW(dir.Path().c_str(), nullptr); }
};

// kQuiet: no request of the run arrives once it has ended. kReplace: the file
// goes away during the first Run, and a same-size other version is there for the next.
enum Action { kPlain, kNameTaken, kNoSpace, kCancel, kQuiet, kReplace };

// The times of the tag's requests, oldest first.
std::vector<double> RequestTimes(const std::wstring& tag) { return kavri_nettest::RecordedNumbers(tag, "time"); }

// Requests of the tag that began after a marker request sent now, within a
// moment (a request that never comes cannot be waited for).
size_t LateRequests(const std::wstring& tag) {
    const std::wstring marker = UniqueTag(L"marker");
    kavri_test::HttpGetText(FileUrl(L"status=202", marker));
    Sleep(1500);
    const std::vector<double> end = RequestTimes(marker), times = RequestTimes(tag);
    if (end.empty()) return times.size();
    return static_cast<size_t>(std::count_if(times.begin(), times.end(), [&](double t) { return t > end[0]; }));
}

struct Row {
    const char* what;
    std::wstring source;  // a test server query, or an nginx path ("/...")
    int first, final;     // result of the first Run, and after at most 12 Runs
    double sentPerByte;   // bound of the bytes the test server sent, per file byte (0: none)
    const wchar_t* name;  // the file in %TEMP% (null: no file at all)
    Action action = kPlain;
    double seconds = 0;      // bound of the time of all Runs (0: none)
    size_t requests = 0;     // bound of the requests the test server saw (0: none)
    const wchar_t* sha = nullptr;  // the version the file must be (null: the source's)
    uint32_t segments = 0;   // SetMaxSegments (0: not called)
    double waits = 0;        // seconds from the first request to the next at least (Retry-After)
};

const int kNoConn = kErrNoConnection;
const Row kRows[] = {
    {"nginx, nine segments", L"/file10m.bin", 0, 0, 0, L"file10m.bin"},
    {"nginx without ranges", L"/norange/file10m.bin", 0, 0, 0, L"file10m.bin"},
    {"name taken, space just enough", L"/small.bin", 0, 0, 0, L"small[1].bin", kNameTaken},
    {"space one byte short", L"/small.bin", kErrDiskSpace, kErrDiskSpace, 0, nullptr, kNoSpace},
    {"four ranged segments", L"size=5000000&seed=1", 0, 0, 1.01, L"f.bin"},
    {"no ranges: one body", L"size=3000000&seed=2&ranges=0", 0, 0, 1.02, L"f.bin"},
    {"ranges advertised, 200 sent", L"size=3000000&seed=3&ranged200=1", 0, 0, 1.02, L"f.bin"},
    {"206 of the wrong offset", L"size=3000000&seed=4&wrongrange=1", kNoConn, kNoConn, 0, L"f.bin"},
    {"unknown length", L"size=3000000&seed=5&nolength=1&ranges=0", 0, 0, 1.02, L"f.bin"},
    {"hostile server name", L"size=100000&disposition=filename%3D%22..%5C..%5Cx.exe%22", 0, 0, 1.01, L"x.exe"},
    {"every body cut", L"size=3000000&seed=7&truncate=0", kNoConn, kNoConn, 0, L"f.bin"},
    {"every body cut short: the rest asked for again", L"size=3000000&truncate=400000", 0, 0, 1.01, L"f.bin"},
    {"file query refused twice", L"size=2000000&seed=9&fail=2&failstatus=503", kNoConn, 0, 1.01, L"f.bin"},
    {"503 beyond two", L"size=5000000&seed=10&rate=2000000&pool=dl503&limit=2", 0, 0, 1.05, L"f.bin", kPlain, 8,
     60},
    {"not found", L"status=404", kNoConn, kNoConn, 0, nullptr},
    {"refused with Retry-After: 2", L"size=1000000&seed=20&fail=1&failstatus=503&retryafter=2", kNoConn, 0, 1.01,
     L"f.bin", kPlain, 0, 0, nullptr, 0, 2},
    {"cancelled, run again", L"size=3000000&rate=1000000", kCancelled, 0, 2, L"f.bin", kCancel},
    {"one connection in four 16x slower: no slow tail",
     L"size=8000000&seed=11&rate=2000000&slowevery=4&slowrate=125000", 0, 0, 1.1, L"f.bin", kPlain, 5},
    {"every 13th request never answered", L"size=6000000&seed=12&rate=2000000&slowevery=13&slowrate=0", 0, 0,
     1.05, L"f.bin", kPlain, 5},
    {"429 beyond three", L"size=5000000&seed=13&rate=2000000&hold=100&pool=dl429&limit=3&poolstatus=429", 0, 0,
     1.05, L"f.bin", kPlain, 8, 60},
    {"same-size other version before the resume", L"file=chg.bin&rate=2000000", kNoConn, 0, 1.6, L"f.bin", kReplace,
     0, 0, L"file=chg.bin"},
    {"new version (ETag) published mid-download", L"size=4000000&seed=15&etag=v1&changeafter=13&seed2=16", 0, 0,
     4.5, L"f.bin", kPlain, 0, 0, L"size=4000000&seed=16"},
    {"-s -1", L"size=3000000&seed=18", 0, 0, 1.02, L"f.bin", kPlain, 0, 10, nullptr, (uint32_t)-1},
    {"a redirect loop", L"size=1000&redirect=/f.bin", kNoConn, kNoConn, 0, nullptr, kQuiet, 5},
    {"https to a plain port", L"https:size=1000", kNoConn, kNoConn, 0, nullptr, kQuiet, 5},
    {"gzip not asked for", L"size=200000&seed=19&gzip=1", kNoConn, kNoConn, 0, nullptr},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.what; }

class Download : public ::testing::TestWithParam<Row> {};

}  // namespace

TEST_P(Download, Scenario) {
    const Row& row = GetParam();
    const std::wstring replaced = kavri_test::NginxRoot() + L"\\chg.bin";
    Folder temp;
    const bool nginx = row.source[0] == L'/', tls = row.source.rfind(L"https:", 0) == 0;
    const std::wstring tag = UniqueTag(L"dl");
    Recorder rec;  // outlives the downloader, which may notify until it goes
    CDownloader d;
    d.SetDownloadFolder(temp.dir.Path().c_str());
    d.SetTimeoutsForTest(5000, 6000);
    d.SetRestartDelayFactorForTest(10);
    d.SetFreeSpaceForTest(row.action == kNameTaken ? 1500000 : row.action == kNoSpace ? 1499999 : -1);
    if (row.segments) d.SetMaxSegments(row.segments);
    d.SetUrl((nginx ? kavri_test::NginxUrl(row.source)
              : tls ? L"https://127.0.0.1:" + std::to_wstring(kavri_test::TestServerPort()) + L"/f.bin?" +
                          row.source.substr(6)
                    : FileUrl(row.source, tag)).c_str());
    if (row.action == kNameTaken) kavri_test::WriteFileBytes(temp.dir.File(L"small.bin"), "taken");
    if (row.action == kReplace) kavri_test::WriteFileBytes(replaced, std::string(2000000, 'a'));
    const ULONGLONG began = GetTickCount64();
    int r;
    auto size = [&] {  // what the notifications count to (an unknown length: what arrived)
        return r || d.GetFileSize() >= 0 ? d.GetFileSize() : (int64_t)ReadFileBytes(d.GetFilePath()).size();
    };
    if (row.action == kCancel) {
        ASSERT_EQ(rec.Start(d), 0);
        ASSERT_TRUE(rec.Wait(rec.progress));
        EXPECT_EQ(d.Run(nullptr), kErrDownloadBusy);
        d.Cancel();
        ASSERT_TRUE(rec.Wait(rec.done));
        r = d.GetResult();
        EXPECT_TRUE(temp.Empty());
    } else if (row.action == kReplace) {
        ASSERT_EQ(rec.Start(d), 0);
        ASSERT_TRUE(rec.Wait(rec.progress));
        DeleteFileW(replaced.c_str());
        ASSERT_TRUE(rec.Wait(rec.done));
        r = d.GetResult();
        ASSERT_TRUE(kavri_test::WriteFileBytes(replaced, std::string(2000000, 'b')));
    } else {
        r = rec.RunToEnd(d);
    }
    EXPECT_EQ(r, row.first);
    rec.Check(r, size());
    for (int runs = 1; r != row.final && runs < 12; ++runs) {
        r = rec.RunToEnd(d);
        rec.Check(r, size());
    }
    EXPECT_EQ(r, row.final);
    EXPECT_TRUE(row.seconds == 0 || GetTickCount64() - began <= row.seconds * 1000) << GetTickCount64() - began;
    if (row.action == kQuiet) EXPECT_EQ(LateRequests(tls ? L"_bad" : tag), 0u);
    const std::vector<double> times = RequestTimes(tag);  // one a request
    EXPECT_TRUE(row.waits == 0 || (times.size() > 1 && times[1] - times[0] >= row.waits)) << times.size();
    EXPECT_TRUE(row.requests == 0 || times.size() <= row.requests);
    EXPECT_TRUE(row.name ? kavri_test::FileExists(temp.dir.File(row.name)) : temp.Empty());
    if (r != 0) return;
    EXPECT_EQ(std::wstring(d.GetFilePath()), temp.dir.File(row.name));
    const std::wstring sha = row.sha ? row.sha : nginx ? L"file=" + row.source.substr(1) : row.source;
    EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()),
              kavri_test::HttpGetText(kavri_test::TestServerUrl(L"/_sha256?" + sha)));
    EXPECT_TRUE(row.sentPerByte == 0 || kavri_nettest::SentBytes(tag) <= row.sentPerByte * size())
        << kavri_nettest::SentBytes(tag);
    EXPECT_TRUE(row.action != kNameTaken || ReadFileBytes(temp.dir.File(L"small.bin")) == "taken");
}

INSTANTIATE_TEST_SUITE_P(Rows, Download, ::testing::ValuesIn(kRows), [](const ::testing::TestParamInfo<Row>& info) {
    std::string name = info.param.what;  // a row name of letters, digits and '_'
    for (char& c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});
