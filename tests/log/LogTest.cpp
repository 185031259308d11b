// The trace calls and the file writer, inside this process.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "support/LogCapture.h"
#include "support/TestEnv.h"

namespace {

// Restores the process-wide log state a test changed.
class LogStateGuard {
public:
    LogStateGuard() : m_level(GetLogLevel()) {}
    ~LogStateGuard() {
        SetLogLevel(m_level);
        SetLogWriter(nullptr);
        SetLogFilePath(L"");
    }

private:
    int m_level;
};

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) end = bytes.size();
        lines.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

}  // namespace

TEST(LogLevelFilter, MessageLevelAgainstGlobalLevel) {
    struct Case { int global; int message; bool written; } cases[] = {
        {0, 5, false}, {1, 1, true}, {4, 1, false}, {4, 4, true}, {4, 5, true},
        {5, 4, false}, {-1, 1, true}, {7, 5, false}, {6, 5, false},
    };
    LogStateGuard guard;
    for (const Case& c : cases) {
        SetLogLevel(c.global);
        EXPECT_EQ(IsLogEnabled(c.message), c.written) << c.global << "/" << c.message;
    }
}

TEST(LogLineFormat, FileLineCarriesCodeOnlyAboveInformation) {
    struct Case { int level; int code; const wchar_t* expected; } cases[] = {
        {1, 0, L"[14:03.27][INFO] CInstaller:Application starts"},
        {4, 7, L"[14:03.27][WARNING] 7:CInstaller:Application starts"},
        {5, -503, L"[14:03.27][ERROR] -503:CInstaller:Application starts"},
        {3, 9, L"[14:03.27][INFO] 9:CInstaller:Application starts"},  // any other level: INFO
    };
    for (const Case& c : cases) {
        wchar_t out[256];
        kavri::FormatLogFileLine(out, 256, L"14:03.27", c.level, c.code,
                                 L"CInstaller:Application starts");
        EXPECT_STREQ(out, c.expected) << c.level;
    }
}

TEST(LogTraceCalls, SourceNameColonMessageAndCodes) {
    kavri_test::LogCapture capture;
    CLog source(L"CDownloader");
    LogInfo(&source, L":Run, %ls %d", L"started", 3);
    LogWarning(&source, 12, L":Run, warned");
    LogError(&source, -503, L":Run, failed to create new internet session.");
    SetLogLevel(5);
    LogInfo(&source, L":Run, hidden");
    LogWarning(&source, 1, L":Run, hidden");

    const std::vector<kavri_test::LogLine> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].line, L"CDownloader::Run, started 3");
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].code, 0);
    EXPECT_EQ(lines[1].code, 12);
    EXPECT_EQ(lines[1].level, 4);
    EXPECT_EQ(lines[2].line, L"CDownloader::Run, failed to create new internet session.");
    EXPECT_EQ(lines[2].code, -503);
}

TEST(LogTraceCalls, LongMessagesAreCutAndMarked) {
    kavri_test::LogCapture capture;
    CLog source(L"S");
    // "S:" + 2045 characters is exactly 2047: it fits whole.
    std::wstring fits(2045, L'a');
    LogInfo(&source, L"%ls", fits.c_str());
    std::wstring tooLong(5000, L'b');
    LogInfo(&source, L"%ls", tooLong.c_str());

    const std::vector<kavri_test::LogLine> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, L"S:" + fits);
    const std::wstring& cut = lines[1].line;
    EXPECT_EQ(cut.size(), static_cast<size_t>(kLogMessageChars - 1));
    EXPECT_EQ(cut.substr(0, 3), L"S:b");
    EXPECT_EQ(cut.substr(cut.size() - 3), L"...");
}

TEST(LogSourceName, BoundedTo1024Characters) {
    std::wstring name(3000, L'n');
    CLog log(name.c_str());
    EXPECT_EQ(wcslen(log.GetLogName()), 1023u);
    CLog empty(nullptr);
    EXPECT_STREQ(empty.GetLogName(), L"");
}

TEST(LogErrorText, SystemTextOrEmpty) {
    std::wstring text = GetErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, L"");
    EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos) << text;  // fits inside one line
    // Code 0 takes the thread's last error.
    std::wstring denied = GetErrorText(ERROR_ACCESS_DENIED);
    SetLastError(ERROR_ACCESS_DENIED);
    std::wstring fromLastError = GetErrorText(0);
    EXPECT_EQ(fromLastError, denied);
    EXPECT_NE(fromLastError, text);
    SetLastError(0);
    EXPECT_STREQ(GetErrorText(0), L"");
}

TEST(LogFileWriter, NoPathDropsTheLine) {
    LogStateGuard guard;
    kavri_test::TempDir dir;
    SetLogFilePath(L"");
    WriteLogLine(nullptr, 1, 0, L"dropped");
    SetLogFilePath(dir.File(L"a.log").c_str());
    SetLogFilePath(nullptr);
    WriteLogLine(nullptr, 1, 0, L"dropped");
    EXPECT_FALSE(kavri_test::FileExists(dir.File(L"a.log")));
}

TEST(LogFileWriter, LinesEndInCrLfAndUnmappableCharactersDoNotCutTheLine) {
    LogStateGuard guard;
    kavri_test::TempDir dir;
    std::wstring path = dir.File(L"x.log");
    SetLogFilePath(path.c_str());
    WriteLogLine(nullptr, 1, 0, L"S:Gr\u00fc\u00dfe \u3053\u3093 end");
    WriteLogLine(nullptr, 5, -3, L"S:second");

    std::vector<std::string> lines = SplitLines(kavri_test::ReadFileBytes(path));
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\r') << line;
    }
    // The Japanese characters have no place in the ANSI code page: they turn
    // into '?' and the rest of the line still follows.
    EXPECT_NE(lines[0].find("][INFO] S:Gr"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" ?? end\r"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("][ERROR] -3:S:second\r"), std::string::npos) << lines[1];
}

TEST(LogFileWriter, ManyThreadsLoseNoLine) {
    LogStateGuard guard;
    kavri_test::TempDir dir;
    std::wstring path = dir.File(L"threads.log");
    SetLogFilePath(path.c_str());
    SetLogWriter(&WriteLogLine);
    SetLogLevel(-1);

    const int kThreads = 8;
    const int kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            wchar_t name[32];
            _snwprintf(name, 32, L"T%d", t);
            name[31] = 0;
            CLog source(name);
            for (int i = 0; i < kLines; ++i) {
                if (i % 3 == 2)
                    LogWarning(&source, i, L":Work, line %d", i);
                else
                    LogInfo(&source, L":Work, line %d", i);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    SetLogWriter(nullptr);

    std::vector<std::string> lines = SplitLines(kavri_test::ReadFileBytes(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    // Every line is whole, and each thread's lines arrive in the order written.
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        size_t at = line.find(" T");
        if (line.find("][WARNING] ") != std::string::npos) at = line.find(":T");
        ASSERT_NE(at, std::string::npos) << line;
        int thread = -1, number = -1;
        ASSERT_EQ(sscanf(line.c_str() + at + 2, "%d::Work, line %d", &thread, &number), 2) << line;
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(number, next[thread]) << line;
        next[thread] = number + 1;
        EXPECT_EQ(line.back(), '\r');
    }
}
