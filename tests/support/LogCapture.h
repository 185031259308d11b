// Collects the product's log lines inside the test process: installs a
// capturing writer at level -1 (everything) for the object's lifetime, then
// restores the previous level and the default writer. Lines may arrive from
// any thread. One capture at a time: the writer is process-wide.
#pragma once

#include <string>
#include <vector>

namespace kavri_test {

struct LogLine {
    int level;
    int code;
    std::wstring line;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void Clear();
    std::vector<LogLine> Lines() const;
    // Whether a line contains the text (any level).
    bool Has(const std::wstring& text) const;

private:
    int m_level;
};

}  // namespace kavri_test
