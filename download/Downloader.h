// The download coordinator as its users see it: configuration, Run, Cancel,
// Reset and the results, with one callback for every stage. The work is done
// by a CDownloadCore (DownloadCore.h) that this object shares with the
// threads of a run, so a thread that misses its deadline in the destructor
// keeps what it uses alive: nothing is freed while a worker may touch it.
//
// Threads: the caller's thread (configuration, Run, Cancel, Reset), one main
// download thread per Run, one worker per running segment or probe, and the
// short CancelAsync thread. Notifications 0, 1, 2, 4, 5 arrive on the main
// download thread, 3 (progress, at most ten a second) on segment threads;
// none is sent once the destructor has begun waiting.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

// What this header gave its users before the core moved out (kept so that
// code including it for these still builds).
#include "download/FileWriter.h"
#include "download/Planner.h"
#include "net/Session.h"

class CDownloader;
class CDownloadCore;

enum DownloadState : int32_t {
    DOWNLOAD_CONNECTING = 0,
    DOWNLOAD_TESTING = 1,
    DOWNLOAD_STARTING = 2,
    DOWNLOAD_PROGRESS = 3,
    DOWNLOAD_COMPLETE = 4,
    DOWNLOAD_FAILED = 5,
};

struct DownloadEvent {
    int32_t state;      // a DownloadState
    int64_t bytesDone;  // bytes written so far
    void* context;      // the value given to Run
};

typedef void (*DownloadCallback)(CDownloader* sender, DownloadEvent event);

// What a file is. Any file (the default) may come from a cache, survives a
// restart half-way and is saved under the name offered. A program (the main
// installer) is saved under that name only when it ends in .exe or .msi
// (else "setup.exe"). Settings (a web configuration) must come from the
// origin, keep nothing for a resume, and fail with kErrTooLarge past
// kMaxSettingsBytes.
enum class DownloadKind { File, Program, Settings };

class CDownloader {
public:
    CDownloader();
    ~CDownloader();
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;

    // Configuration; each throws kavri::EErrorCode kErrDownloadBusy while a
    // download runs (SetUrl/AddUrl also -2 for a bad URL).
    void SetMaxSegments(uint32_t n);  // clamped to 1..16, with a warning
    void SetUrl(const wchar_t* url);
    void AddUrl(const wchar_t* url);
    void SetCallback(DownloadCallback fn);
    // The folder new files are created in (default: %TEMP%); the resume
    // record lives there too.
    void SetDownloadFolder(const wchar_t* dir);
    void SetKind(DownloadKind kind);

    // 0 when the download thread started, else the error code (also stored).
    int Run(void* context);
    void Cancel();       // waits at most 60 s for the download thread
    void CancelAsync();  // Cancel on a thread of its own; returns at once
    void Reset(bool keepConnections);

    const wchar_t* GetFilePath() const;
    int64_t GetFileSize() const;
    int GetResult() const;
    bool IsBusy() const;
    uint32_t GetMaxSegments() const;
    bool IsCancelled() const;
    bool IsRunningFlag() const { return IsBusy(); }

    // Tests shorten the restart delays and the time-outs, and replace the
    // free space that the target directory reports (negative: the real one).
    void SetRestartDelayFactorForTest(uint32_t factor);
    void SetFreeSpaceForTest(int64_t bytes);
    void SetTimeoutsForTest(DWORD connectionMs, DWORD receiveMs);

private:
    std::shared_ptr<CDownloadCore> m_core;
};
