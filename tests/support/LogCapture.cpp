#include "support/LogCapture.h"

#include <mutex>

#include "log/Log.h"

namespace kavri_test {
namespace {

std::mutex& CaptureLock() {
    static std::mutex lock;
    return lock;
}
std::vector<LogLine>& CaptureStore() {
    static std::vector<LogLine> lines;
    return lines;
}
void CaptureWriter(const CLog*, int level, int code, const wchar_t* line) {
    std::lock_guard<std::mutex> hold(CaptureLock());
    CaptureStore().push_back({level, code, line ? line : L""});
}

}  // namespace

LogCapture::LogCapture() : m_level(GetLogLevel()) {
    Clear();
    SetLogWriter(&CaptureWriter);
    SetLogLevel(-1);
}

LogCapture::~LogCapture() {
    SetLogLevel(m_level);
    SetLogWriter(nullptr);
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> hold(CaptureLock());
    CaptureStore().clear();
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> hold(CaptureLock());
    return CaptureStore();
}

bool LogCapture::Has(const std::wstring& text) const {
    for (const auto& l : Lines())
        if (l.line.find(text) != std::wstring::npos) return true;
    return false;
}

}  // namespace kavri_test
