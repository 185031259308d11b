// The trace calls, the level filter and the log file. (That every run starts
// a new log file is checked with the application object, in app/.)
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "support/LogCapture.h"
#include "support/ProcessRunner.h"
#include "support/TestEnv.h"

// A message of level m is written when the global level L is not 0 and L <= m.
TEST(Log, LevelFilterAndLineLength) {
    const struct { int level; const char* written; } rows[] = {  // info, warning, error
        {0, "000"}, {1, "111"}, {-1, "111"}, {2, "011"}, {4, "011"}, {5, "001"}, {6, "000"}, {7, "000"},
    };
    kavri_test::LogCapture capture;
    CLog source(L"S");
    for (const auto& r : rows) {
        capture.Clear();
        SetLogLevel(r.level);
        LogInfo(&source, L"i");
        LogWarning(&source, 4, L"w");
        LogError(&source, 5, L"e");
        std::string written, enabled;
        for (const wchar_t* line : {L"S:i", L"S:w", L"S:e"}) written += capture.Has(line) ? '1' : '0';
        for (int level : {1, 4, 5}) enabled += IsLogEnabled(level) ? '1' : '0';
        EXPECT_EQ(written, r.written) << "level " << r.level;
        EXPECT_EQ(enabled, r.written) << "level " << r.level;
    }
    // A line longer than its buffer is cut and ends in "...".
    capture.Clear();
    SetLogLevel(1);
    LogInfo(&source, L"%ls", std::wstring(kLogMessageChars - 3, L'a').c_str());  // "S:" + text fits exactly
    LogInfo(&source, L"%ls", std::wstring(5000, L'b').c_str());
    ASSERT_EQ(capture.Lines().size(), 2u);
    EXPECT_EQ(capture.Lines()[0].line, L"S:" + std::wstring(kLogMessageChars - 3, L'a'));
    EXPECT_EQ(capture.Lines()[1].line, L"S:" + std::wstring(kLogMessageChars - 6, L'b') + L"...");
}

// Lines written from several threads at once arrive whole, each thread's in
// its order; a character the code page lacks becomes '?' and the line goes on.
TEST(LogFile, LinesFromSeveralThreadsAreWhole) {
    kavri_test::TempDir dir;
    const int level = GetLogLevel(), kThreads = 8, kLines = 200;
    SetLogFilePath(dir.File(L"t.log").c_str());
    SetLogWriter(&WriteLogLine);
    SetLogLevel(-1);
    WriteLogLine(nullptr, 1, 0, L"S:Gr\u00fc\u00dfe \u3053\u3093 end");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            CLog source(std::to_wstring(t).c_str());
            for (int i = 0; i < kLines; ++i) LogWarning(&source, i, L":line %d", i);
        });
    for (std::thread& thread : threads) thread.join();
    SetLogWriter(nullptr);
    SetLogFilePath(L"");
    SetLogLevel(level);

    const std::vector<std::string> lines = kavri_test::OutputLines(kavri_test::ReadFileBytes(dir.File(L"t.log")));
    ASSERT_EQ(lines.size(), 1u + kThreads * kLines);
    EXPECT_NE(lines[0].find("][INFO] S:Gr"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" ?? end"), std::string::npos) << lines[0];
    std::vector<int> next(kThreads, 0);
    for (size_t i = 1; i < lines.size(); ++i) {
        int code = -1, thread = -1, number = -1;
        ASSERT_EQ(sscanf(lines[i].c_str(), "[%*d:%*d.%*d][WARNING] %d:%d::line %d", &code, &thread, &number), 3)
            << lines[i];
        ASSERT_TRUE(thread >= 0 && thread < kThreads && code == number) << lines[i];
        EXPECT_EQ(number, next[thread]++) << lines[i];
    }
}
