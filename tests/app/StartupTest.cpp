// The system version check of the start-up, and the machine measurements the
// requirement checks compare against. (The checks themselves, with their
// messages, events and exit codes: e2e/test_startup.py and test_unattended.py.)
#include <gtest/gtest.h>

#include <string>

#include "app/Startup.h"
#include "app/SystemProbes.h"
#include "tools/flowprobe/ProbeRunner.h"

TEST(Startup, OsVersionComparison) {
    const struct { DWORD major, minor, reqMajor, reqMinor; bool ok; } rows[] = {
        {6, 1, 6, 1, true}, {7, 0, 6, 1, true}, {6, 0, 6, 1, false}, {5, 2, 6, 1, false}, {10, 0, 6, 3, true},
        {6, 2, 6, 1, true}, {6, 1, 6, 2, false}, {5, 9, 6, 0, false}, {0, 0, 0, 0, true}, {6, 1, 99, 0, false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.ok, kavri::IsOsVersionSupported(r.major, r.minor, r.reqMajor, r.reqMinor))
            << r.major << "." << r.minor << " against " << r.reqMajor << "." << r.reqMinor;
}

TEST(SystemProbes, Arithmetic) {
    const struct { int64_t tsc0, tsc1, qpc0, qpc1, freq; uint32_t mhz; } rows[] = {
        {0, 780000000, 0, 3000000, 10000000, 2600},  // 2.6 GHz over 300 ms of a 10 MHz counter
        {780000000, 0, 3000000, 0, 10000000, 2600},  // readings in reverse order
        {1000, 1000 + 1500000000, 500, 500 + 3000000, 10000000, 5000},  // above 2^32 Hz
        {0, 13500000000ll, 0, 9000000000ll, 3000000000ll, 4500},  // 3 s of a 3 GHz counter: ticks * freq overflows
        {INT64_MAX - 2000000000ll, INT64_MAX, 0, 4000000, 10000000, 5000},  // counter near its top
        {5, 5, 0, 3000000, 10000000, 0}, {0, 780000000, 7, 7, 10000000, 0},  // no ticks; no counter progress
    };
    for (const auto& r : rows) EXPECT_EQ(kavri::ComputeCpuMHz(r.tsc0, r.tsc1, r.qpc0, r.qpc1, r.freq), r.mhz) << r.tsc1;
    EXPECT_EQ(kavri::BytesToMB(1048575), 0u);
    EXPECT_EQ(kavri::BytesToMB(68719476736ull), 65536u);  // 64 GiB: beyond 32 bits of bytes
    EXPECT_EQ(kavri::BytesToMB(4503599627370495ull), 4294967295u);
}

// Wine reports 6.2 on 8.1 and 10 to a program whose manifest lacks their
// supportedOS entries; flowprobe carries the installer's manifest.
TEST(SystemProbes, ManifestLetsTheTrueVersionThrough) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!GetProcAddress(ntdll, "wine_get_version")) GTEST_SKIP() << "the version can only be varied under Wine";
    const wchar_t kKey[] = L"Software\\Wine\\AppDefaults\\flowprobe.exe";
    const struct { const wchar_t* wine; const char* os; } rows[] = {
        {L"win7", "os=6.1"}, {L"win8", "os=6.2"}, {L"win81", "os=6.3"}, {L"win10", "os=10.0"}, {L"vista", "os=6.0"}};
    kavri_test::Probe probe;
    for (const auto& r : rows) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Version", REG_SZ, r.wine,
                                  static_cast<DWORD>((wcslen(r.wine) + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
        probe.Run(L"", L"os");
        EXPECT_EQ(probe.Line(r.os), r.os) << kavri_test::Utf8(r.wine);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
}
