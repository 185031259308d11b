// Start-up pieces that need no window: the OS version rule, the usage text,
// and the fault guard under the crash handler's steps.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/CrashHandler.h"
#include "app/Startup.h"

namespace {

TEST(StartupOsVersion, MajorGreaterOrEqualWithMinor) {
    const struct {
        DWORD major, minor, reqMajor, reqMinor;
        bool ok;
    } cases[] = {
        {6, 1, 6, 1, true},   {7, 0, 6, 1, true},  {6, 0, 6, 1, false}, {5, 2, 6, 1, false},
        {10, 0, 6, 3, true},  {6, 2, 6, 1, true},  {6, 1, 6, 2, false}, {5, 9, 6, 0, false},
        {6, 0, 0, 0, true},   {0, 0, 0, 0, true},  {6, 1, 99, 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.ok, kavri::IsOsVersionSupported(c.major, c.minor, c.reqMajor, c.reqMinor))
            << c.major << "." << c.minor << " against " << c.reqMajor << "." << c.reqMinor;
    }
}

TEST(StartupUsage, TextInItsOrder) {
    const std::wstring text = kavri::GetUsageText();
    EXPECT_EQ(0u, text.find(L"Command line usage: \n\n[-[u|U|Url]] URL \n"));
    const wchar_t* pieces[] = {
        L"[-c|C|CultureCode LCID]\n", L"[-s|S|SegmentCount NUMBER]\n",
        L"\tMax Segment count. Optional, default is 10 \n", L"[-t|T|Tracking {1, 0}] \n",
        L"[-l|L|LogLevel {1, 4, 5}]\n", L"\t\t5- Log Error type messages only.\n"};
    size_t at = 0;
    for (const wchar_t* piece : pieces) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(std::wstring::npos, found) << "missing or out of order";
        at = found;
    }
    EXPECT_EQ(text.size(), at + wcslen(L"\t\t5- Log Error type messages only.\n"));
}

void Fault(void*) {
    int* volatile target = reinterpret_cast<int*>(0x10);
    *target = 1;
}
void Throw(void*) { throw std::runtime_error("step failed"); }
void Count(void* context) { ++*static_cast<int*>(context); }

TEST(CrashHandlerGuard, FaultsAndThrowsAreContainedAndTheNextStepRuns) {
    int ran = 0;
    EXPECT_FALSE(kavri::RunFaultGuarded(&Fault, nullptr));
    EXPECT_TRUE(kavri::RunFaultGuarded(&Count, &ran));
    EXPECT_FALSE(kavri::RunFaultGuarded(&Throw, nullptr));
    EXPECT_TRUE(kavri::RunFaultGuarded(&Count, &ran));
    EXPECT_FALSE(kavri::RunFaultGuarded(&Fault, nullptr));  // again, on the same thread
    EXPECT_EQ(2, ran);
}

}  // namespace
