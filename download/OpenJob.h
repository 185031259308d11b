// One open attempt as a "job": a block that holds copies of everything the
// attempt needs (URL, headers, the session handle, the time-outs, the log
// source's name) and owns the handles it obtains. A connection runs the job
// on a worker thread that shares ownership of the block. When the caller
// gives up on a worker (WinINet under Wine does not let a blocked call
// return when its handles are closed), the worker goes on with the block
// alone and never touches the connection or the session again, so both may
// be destroyed meanwhile. The only link back, the failure count of a test
// open, is cut under ProcessLock before the caller returns.
//
// Concurrency: the job's fields are the worker's until it ends; the caller
// reads them only after the worker has ended. abandoned is an atomic.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/ErrorCode.h"
#include "common/Handles.h"
#include "download/Connection.h"
#include "log/Log.h"

class CSession;

namespace kavri {

struct OpenJob {
    explicit OpenJob(const CLog& source) : log(source) {}

    CLog log;  // a copy: the worker may outlive the connection
    std::wstring url;
    std::wstring headers;
    DWORD flags = 0;
    bool test = false;
    bool ranged = false;
    bool acceptWhole = false;  // a 200 to a ranged request is taken (first answer)
    uint64_t rangeStart = 0;
    HINTERNET session = nullptr;
    RequestTimeouts timeouts{};
    // Set when the caller no longer waits: the worker sends nothing more.
    std::atomic<bool> abandoned{false};
    // Test opens count their failures here; cleared under ProcessLock once
    // the caller no longer waits (the session may then go away).
    CSession* failureCounter = nullptr;

    ScopedInternetHandle connect;
    ScopedInternetHandle request;
    int result = kErrGeneric;
    AnswerInfo answer;
};

// Runs the job on this thread; its result (also in job.result). Never throws.
int RunJob(OpenJob& job);

// A response header's text ("" when it is missing or cannot be read).
std::wstring QueryText(HINTERNET request, DWORD info);
// Starts a worker on the job; null when the thread could not be started.
HANDLE StartJobThread(const std::shared_ptr<OpenJob>& job);

}  // namespace kavri
