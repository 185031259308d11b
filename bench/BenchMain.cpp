// kavri_bench URL DIR [MAXSEGMENTS]: downloads URL into DIR with the download
// engine and prints one line of key=value results:
//   result=0 seconds=3.217 size=67108864 segments=11 peakmb=4.1 path=Z:\...\file.bin
// "segments" is the number of segments the engine ran (its connections);
// "peakmb" the peak private memory of the process above what it used idle,
// before the engine was created.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <string>

#include "common/ErrorCode.h"
#include "download/Downloader.h"
#include "log/Log.h"

namespace {

HANDLE g_done = nullptr;
std::atomic<int> g_segments{0};
std::mutex g_errorsLock;
std::wstring g_errors;

void OnEvent(CDownloader*, DownloadEvent e) {
    if (e.state == DOWNLOAD_COMPLETE || e.state == DOWNLOAD_FAILED) SetEvent(g_done);
}

void OnLogLine(const CLog*, int level, int code, const wchar_t* line) {
    // The segments first started, then (the ramp ended) the connections open.
    const wchar_t* runs = wcsstr(line, L"Runnig ");
    if (runs && g_segments == 0) g_segments = _wtoi(runs + 7);
    const wchar_t* open = wcsstr(line, L":WaitAll, ");
    if (open && wcsstr(line, L" connections open")) g_segments = _wtoi(open + 10);
    if (level >= LOG_LEVEL_WARNING) {
        std::lock_guard<std::mutex> hold(g_errorsLock);
        if (g_errors.size() < 4000) g_errors += std::to_wstring(code) + L" " + line + L"\n";
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: kavri_bench URL DIR [MAXSEGMENTS]\n");
        return 2;
    }
    const unsigned maxSegments = argc > 3 ? static_cast<unsigned>(_wtoi(argv[3])) : 10;
    // The engine puts its file into %TEMP% under the server's name.
    SetEnvironmentVariableW(L"TEMP", argv[2]);
    SetLogWriter(&OnLogLine);
    SetLogLevel(1);
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    PROCESS_MEMORY_COUNTERS_EX idle = {};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&idle), sizeof(idle));
    int result = -1;
    double seconds = 0;
    std::wstring path;
    int64_t size = -1;
    {
        CDownloader downloader;
        try {
            downloader.SetMaxSegments(maxSegments);
            downloader.SetUrl(argv[1]);
        } catch (kavri::EErrorCode c) {
            fwprintf(stderr, L"bad URL (%d)\n", static_cast<int>(c));
            return 2;
        }
        downloader.SetCallback(&OnEvent);
        LARGE_INTEGER freq, t0, t1;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&t0);
        result = downloader.Run(&downloader);
        if (result == 0) {
            if (WaitForSingleObject(g_done, 600000) != WAIT_OBJECT_0) {
                downloader.Cancel();
                result = -9999;
            } else {
                result = downloader.GetResult();
            }
        }
        QueryPerformanceCounter(&t1);
        seconds = static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart);
        path = downloader.GetFilePath();
        size = downloader.GetFileSize();
    }
    PROCESS_MEMORY_COUNTERS_EX used = {};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&used), sizeof(used));
    const double peakMb =
        (static_cast<double>(used.PeakPagefileUsage) - static_cast<double>(idle.PagefileUsage)) / 1048576.0;
    wprintf(L"result=%d seconds=%.3f size=%I64d segments=%d peakmb=%.1f path=%ls\n", result, seconds, size,
            g_segments.load(), peakMb, path.c_str());
    if (result != 0) {
        std::lock_guard<std::mutex> hold(g_errorsLock);
        fwprintf(stderr, L"%ls", g_errors.c_str());
    }
    fflush(stdout);
    return result == 0 ? 0 : 1;
}
