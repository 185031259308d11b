// The runner the UI tests start the driver with: a child that does not end
// costs the test its deadline, never the whole run, and a child that ends is
// read to its last line.
#include <gtest/gtest.h>

#include <string>

#include "tools/uidriver/UiDriverClient.h"

using namespace kavri_test;

namespace {

// A caption no window of the run has.
const wchar_t kNoWindow[] = L"--title \"kavri test: no such window\"";

TEST(UiDriverClient, ChildThatOutlivesItsDeadlineIsKilled) {
    // The driver would wait a minute for the window.
    const ULONGLONG start = GetTickCount64();
    const ProcessResult r = RunUiDriver(std::wstring(L"wait-window ") + kNoWindow + L" --timeout 60000", 1000);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_FALSE(r.finished);
    EXPECT_LT(elapsed, 15000u);
}

TEST(UiDriverClient, FinishedChildGivesItsExitCodeAndOutput) {
    const ProcessResult r = RunUiDriver(std::wstring(L"wait-window ") + kNoWindow + L" --timeout 100");
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1u);  // not found
    const std::vector<std::string> lines = OutputLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(JsonField(lines[0], "error"), "window not found");
}

}  // namespace
