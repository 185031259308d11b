// The background tracking sender. See TrackingSender.h.
#include "app/TrackingSender.h"

#include <process.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "common/Guard.h"
#include "download/Request.h"
#include "log/Log.h"

namespace kavri {

namespace {

struct SenderState {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::wstring> queue;
    size_t unfinished = 0;  // queued plus the one being sent
    bool started = false;
};

// Kept to process exit: the sender may still be inside a request then.
SenderState& State() {
    static SenderState* state = new SenderState;
    return *state;
}

unsigned __stdcall SenderThread(void*) {
    SenderState& state = State();
    for (;;) {
        std::wstring url;
        {
            std::unique_lock<std::mutex> hold(state.lock);
            state.changed.wait(hold, [&] { return !state.queue.empty(); });
            url = state.queue.front();
            state.queue.pop_front();
        }
        Guarded([&] { Ping(url.c_str()); });
        std::lock_guard<std::mutex> hold(state.lock);
        --state.unfinished;
        state.changed.notify_all();
    }
}

}  // namespace

bool QueueTrackingRequest(const std::wstring& url) {
    SenderState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.started) {
        const uintptr_t thread = _beginthreadex(nullptr, 0, &SenderThread, nullptr, 0, nullptr);
        if (!thread) {
            LogError(GetGlobalRequest(), -1, L":QueueTrackingRequest, the sender could not be started.");
            return false;
        }
        CloseHandle(reinterpret_cast<HANDLE>(thread));
        state.started = true;
    }
    state.queue.push_back(url);
    ++state.unfinished;
    state.changed.notify_all();
    return true;
}

bool FlushTracking(DWORD timeoutMs) {
    SenderState& state = State();
    std::unique_lock<std::mutex> hold(state.lock);
    return state.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                  [&] { return state.unfinished == 0; });
}

}  // namespace kavri
