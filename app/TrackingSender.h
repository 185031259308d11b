// The background sender of the tracking requests: one thread that sends
// them in the order they were queued, each bounded by its request's own
// time-outs, so that no event waits for the analytics host.
//
// Concurrency: Queue and Flush may be called from any thread; the sender
// thread and its queue live to process exit and are never freed.
#pragma once

#include <windows.h>

#include <string>

namespace kavri {

// Queues a request URL; the sender starts on first use. False when the
// sender could not be started (the request is then dropped, and logged).
bool QueueTrackingRequest(const std::wstring& url);

// How long the end of a run waits for requests still pending.
constexpr DWORD kTrackingFlushMs = 1000;

// Waits at most timeoutMs for the requests still queued or in flight; true
// when none is left.
bool FlushTracking(DWORD timeoutMs);

}  // namespace kavri
