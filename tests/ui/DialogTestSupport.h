// Helpers of the dialog tests: a dialog shown on a thread of its own, the UI
// driver run as a separate process against it, and parsing of what the
// driver printed.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/uidriver/UiDriverClient.h"

namespace kavri_test {

// Runs a function that shows a modal dialog on a new thread, the way the
// progress window's notification threads do, and keeps its result.
class DialogThread {
public:
    explicit DialogThread(std::function<INT_PTR()> show) : m_show(std::move(show)) {
        m_thread = CreateThread(nullptr, 0, &DialogThread::Main, this, 0, &m_threadId);
    }
    ~DialogThread() {
        if (!m_thread) return;
        if (WaitForSingleObject(m_thread, 0) != WAIT_OBJECT_0) {
            // A failed test left the dialog open: close what the thread shows.
            EnumThreadWindows(
                m_threadId,
                [](HWND w, LPARAM) -> BOOL {
                    PostMessageW(w, WM_CLOSE, 0, 0);
                    return TRUE;
                },
                0);
            WaitForSingleObject(m_thread, 10000);
        }
        CloseHandle(m_thread);
    }
    DialogThread(const DialogThread&) = delete;
    DialogThread& operator=(const DialogThread&) = delete;

    DWORD ThreadId() const { return m_threadId; }
    // Waits at most ms for the dialog to end; true with its result.
    bool Wait(DWORD ms, INT_PTR* result) {
        if (!m_thread || WaitForSingleObject(m_thread, ms) != WAIT_OBJECT_0) return false;
        *result = m_result;
        return true;
    }

private:
    static DWORD WINAPI Main(LPVOID p) {
        auto* self = static_cast<DialogThread*>(p);
        self->m_result = self->m_show();
        return 0;
    }
    std::function<INT_PTR()> m_show;
    INT_PTR m_result = -2;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
};

inline std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// Driver filters for a message dialog of this process with the given caption.
inline std::wstring MessageDialog(const std::wstring& caption) {
    return L"--pid " + std::to_wstring(GetCurrentProcessId()) + L" --has-id 1017 --title " + Quoted(caption);
}

// The driver's dump: the window line and one line per control, by id.
struct Dump {
    std::string window;
    std::map<int, std::string> controls;
    bool Has(int id) const { return controls.count(id) != 0; }
    std::string Field(int id, const std::string& key) const {
        auto it = controls.find(id);
        return it == controls.end() ? "<no control>" : JsonField(it->second, key);
    }
    // rect as [left, top, right, bottom] in dialog client coordinates.
    std::vector<int> Rect(int id) const {
        std::string r = Field(id, "rect");
        std::vector<int> v;
        for (size_t i = 0; i < r.size();) {
            if (r[i] == '-' || (r[i] >= '0' && r[i] <= '9')) {
                size_t used = 0;
                v.push_back(std::stoi(r.substr(i), &used));
                i += used;
            } else {
                ++i;
            }
        }
        return v;
    }
};

inline Dump DumpDialog(const std::wstring& filters) {
    Dump d;
    ProcessResult r = RunUiDriver(L"dump " + filters);
    EXPECT_TRUE(r.finished && r.exitCode == 0) << r.out;
    auto lines = OutputLines(r.out);
    if (lines.empty()) return d;
    d.window = lines[0];
    for (size_t i = 1; i < lines.size(); ++i) d.controls[std::stoi(JsonField(lines[i], "id"))] = lines[i];
    return d;
}

// Runs one driver command; returns its exit code (-1 when it did not finish).
inline int Drive(const std::wstring& args, std::string* out = nullptr) {
    ProcessResult r = RunUiDriver(args);
    if (out) *out = r.out;
    return r.finished ? static_cast<int>(r.exitCode) : -1;
}

inline HWND ParseHwnd(const std::string& line) {
    std::string h = JsonField(line, "hwnd");
    return h.empty() ? nullptr : reinterpret_cast<HWND>(static_cast<ULONG_PTR>(std::stoull(h, nullptr, 16)));
}

}  // namespace kavri_test
