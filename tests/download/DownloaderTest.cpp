// The download coordinator against the test server and nginx, as one table
// of server behaviours: the result of each Run, the file's bytes (SHA-256),
// an upper bound of the bytes the server sent, and the notifications.
#include <gtest/gtest.h>

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

// Points %TEMP%, where downloads go, at a fresh directory.
struct ScopedTemp {
    kavri_test::TempDir dir;
    wchar_t old[MAX_PATH] = L"";
    ScopedTemp() {
        GetEnvironmentVariableW(L"TEMP", old, MAX_PATH);
        SetEnvironmentVariableW(L"TEMP", dir.Path().c_str());
    }
    ~ScopedTemp() { SetEnvironmentVariableW(L"TEMP", old); }
    // Only an empty directory can be removed (and it is made again).
    bool Empty() { return RemoveDirectoryW(dir.Path().c_str()) && CreateDirectoryW(dir.Path().c_str(), nullptr); }
};

enum Action { kPlain, kNameTaken, kCancel };

}  // namespace

TEST(Download, Scenarios) {
    const int kNoConn = kErrNoConnection;
    struct Row {
        const char* what;
        std::wstring source;  // a test server query, or an nginx path ("/...")
        int first, final;     // result of the first Run, and after at most 12 Runs
        double sentPerByte;   // bound of the bytes the test server sent, per file byte (0: none)
        const wchar_t* name;  // the file in %TEMP% (null: no file at all)
        const char* asked = nullptr;  // a Range the server must have been asked for
        int64_t freeSpace = -1;
        Action action = kPlain;
    } rows[] = {
        {"nginx, nine segments", L"/file10m.bin", 0, 0, 0, L"file10m.bin"},
        {"nginx without ranges", L"/norange/file10m.bin", 0, 0, 0, L"file10m.bin"},
        {"name taken, space just enough", L"/small.bin", 0, 0, 0, L"small[1].bin", nullptr, 1500000, kNameTaken},
        {"space one byte short", L"/small.bin", kErrDiskSpace, kErrDiskSpace, 0, nullptr, nullptr, 1499999},
        {"four ranged segments", L"size=5000000&seed=1", 0, 0, 1.01, L"f.bin"},
        {"no ranges", L"size=3000000&seed=2&ranges=0", 0, 0, 4, L"f.bin"},
        {"ranges advertised, 200 sent", L"size=3000000&seed=3&ranged200=1", 0, 0, 4, L"f.bin"},
        {"206 of the wrong offset", L"size=3000000&seed=4&wrongrange=1", kNoConn, kNoConn, 0, L"f.bin"},
        {"unknown length", L"size=3000000&seed=5&nolength=1&ranges=0", 0, 0, 4, L"f.bin", nullptr, 0},
        {"hostile server name", L"size=100000&disposition=filename%3D%22..%5C..%5Cx.exe%22", 0, 0, 1.01, L"x.exe"},
        {"every body cut", L"size=3000000&seed=7&truncate=0", kNoConn, kNoConn, 0, L"f.bin"},
        {"every body cut short: the rest asked for again", L"size=3000000&truncate=400000", 0, 0, 1.01, L"f.bin"},
        {"file query refused twice", L"size=2000000&seed=9&fail=2&failstatus=503", kNoConn, 0, 1.01, L"f.bin"},
        {"two requests at a time", L"size=5000000&seed=10&pool=dl-two&limit=2", 0, 0, 1.01, L"f.bin"},
        {"not found", L"status=404", kNoConn, kNoConn, 0, nullptr},
        {"cancelled, run again", L"size=3000000&rate=1000000", kCancelled, 0, 2, L"f.bin", nullptr, -1, kCancel},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedTemp temp;
        const bool nginx = row.source[0] == L'/';
        const std::wstring tag = UniqueTag(L"dl");
        Recorder rec;  // outlives the downloader, which may notify until it goes
        CDownloader d;
        d.SetTimeoutsForTest(5000, 2000);
        d.SetRestartDelayFactorForTest(10);
        d.SetFreeSpaceForTest(row.freeSpace);
        d.SetUrl((nginx ? kavri_test::NginxUrl(row.source) : FileUrl(row.source, tag)).c_str());
        if (row.action == kNameTaken) kavri_test::WriteFileBytes(temp.dir.File(L"small.bin"), "taken");
        int r;
        auto size = [&] {  // what the notifications count to (an unknown length: what arrived)
            return r || d.GetFileSize() >= 0 ? d.GetFileSize() : (int64_t)ReadFileBytes(d.GetFilePath()).size();
        };
        if (row.action == kCancel) {
            ASSERT_EQ(rec.Start(d), 0);
            ASSERT_TRUE(rec.Wait(rec.progress));
            EXPECT_EQ(d.Run(nullptr), kErrBusy);
            d.Cancel();
            ASSERT_TRUE(rec.Wait(rec.done));
            r = d.GetResult();
            EXPECT_TRUE(temp.Empty());
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
        EXPECT_TRUE(row.name ? kavri_test::FileExists(temp.dir.File(row.name)) : temp.Empty());
        if (r != 0) continue;
        EXPECT_EQ(std::wstring(d.GetFilePath()), temp.dir.File(row.name));
        const std::wstring sha = L"/_sha256?" + (nginx ? L"file=" + row.source.substr(1) : row.source);
        EXPECT_EQ(kavri_test::Sha256OfFile(d.GetFilePath()), kavri_test::HttpGetText(kavri_test::TestServerUrl(sha)));
        EXPECT_TRUE(row.sentPerByte == 0 || kavri_nettest::SentBytes(tag) <= row.sentPerByte * size());
        EXPECT_TRUE(!row.asked || kavri_nettest::RequestsJson(tag).find(row.asked) != std::string::npos);
        EXPECT_TRUE(row.action != kNameTaken || ReadFileBytes(temp.dir.File(L"small.bin")) == "taken");
    }
}

