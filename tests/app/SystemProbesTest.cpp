// Machine measurements: the pure arithmetic, the per-process caches, and the
// OS version that the installer's manifest lets GetVersionExW report.
#include <windows.h>
#include <rpc.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "app/SystemProbes.h"
#include "support/ProcessRunner.h"
#include "support/TestEnv.h"

namespace {

TEST(SystemProbeMath, BytesToMB) {
    const struct {
        uint64_t bytes;
        uint32_t mb;
    } table[] = {
        {0, 0},
        {1048575, 0},
        {1048576, 1},
        {1073741823ull, 1023},
        {1073741824ull, 1024},
        {4294967296ull, 4096},             // 4 GiB: beyond 32 bits of bytes
        {68719476736ull, 65536},           // 64 GiB
        {4503599627370495ull, 4294967295u} // the largest byte count that fits the result
    };
    for (const auto& row : table) EXPECT_EQ(kavri::BytesToMB(row.bytes), row.mb) << row.bytes;
}

TEST(SystemProbeMath, CpuMHzFromCounterReadings) {
    const struct {
        int64_t tsc0, tsc1, qpc0, qpc1, freq;
        uint32_t mhz;
    } table[] = {
        {0, 780000000, 0, 3000000, 10000000, 2600},            // 2.6 GHz over 300 ms of a 10 MHz counter
        {780000000, 0, 3000000, 0, 10000000, 2600},            // readings in reverse order
        {1000, 1000 + 1500000000, 500, 500 + 3000000, 10000000, 5000},  // above 4295 MHz
        // A TSC-rate performance counter (3 GHz): the plain product of the
        // differences would overflow signed 64 bits.
        {0, 1350000000, 0, 900000000, 3000000000ll, 4500},
        {INT64_MAX - 2000000000ll, INT64_MAX, 0, 4000000, 10000000, 5000},  // counter near its top
        {5, 5, 0, 3000000, 10000000, 0},                       // no ticks
        {0, 780000000, 7, 7, 10000000, 0},                     // no counter progress: no division by 0
    };
    for (const auto& row : table) {
        EXPECT_EQ(kavri::ComputeCpuMHz(row.tsc0, row.tsc1, row.qpc0, row.qpc1, row.freq), row.mhz)
            << row.tsc0 << " " << row.tsc1 << " " << row.qpc0 << " " << row.qpc1 << " " << row.freq;
    }
}

TEST(SystemProbeMath, MachineIdFormat) {
    const unsigned char node[6] = {0x00, 0x1a, 0x2B, 0xc4, 0x5d, 0xFF};
    wchar_t out[13];
    wmemset(out, L'#', 13);
    kavri::FormatMachineId(node, L"x", out);
    EXPECT_STREQ(out, L"001A2BC45DFF");
}

bool IsUpperHex(const wchar_t* text, size_t length) {
    if (wcslen(text) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!iswxdigit(text[i]) || iswlower(text[i])) return false;
    }
    return true;
}

TEST(SystemProbes, MeasuredOnceAndCached) {
    const DWORD start = GetTickCount();
    const uint32_t mhz = GetCpuMHz();
    const DWORD first = GetTickCount() - start;
    EXPECT_GE(first, 290u);  // the first call measures for about 300 ms
    EXPECT_GT(mhz, 100u);
    EXPECT_LT(mhz, 20000u);

    const DWORD again = GetTickCount();
    EXPECT_EQ(GetCpuMHz(), mhz);
    EXPECT_LT(GetTickCount() - again, 100u);  // the cached value comes at once

    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    ASSERT_TRUE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(GetTotalRamMB(), static_cast<uint32_t>(status.ullTotalPhys / 1048576));
    EXPECT_EQ(GetTotalRamMB(), GetTotalRamMB());

    const uint32_t disk = GetFreeDiskMB();
    EXPECT_GT(disk, 0u);
    EXPECT_EQ(GetFreeDiskMB(), disk);
}

TEST(SystemProbes, MachineIdIsTwelveUpperHexDigitsAndStable) {
    const wchar_t* id = GetMachineId();
    ASSERT_NE(id, nullptr);
    EXPECT_TRUE(IsUpperHex(id, 12)) << id;
    const std::wstring copy = id;
    EXPECT_EQ(GetMachineId(), id);
    EXPECT_EQ(copy, GetMachineId());
    // The node field is the adapter's address: a new sequential UUID carries
    // the same one.
    UUID uuid = {};
    UuidCreateSequential(&uuid);
    wchar_t fresh[13];
    kavri::FormatMachineId(&uuid.Data4[2], L"x", fresh);
    EXPECT_EQ(copy, fresh);
}

TEST(SystemProbes, OsVersionUsesThePlainStructure) {
    OSVERSIONINFOW info;
    memset(&info, 0xCC, sizeof(info));
    GetOsVersion(&info);
    EXPECT_EQ(info.dwOSVersionInfoSize, 276u);
    EXPECT_GE(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
}

// --- The version the manifest lets through ------------------------------------
// Wine emulates the compatibility shim: a program whose manifest lacks the
// newer supportedOS entries is told 6.2 on 8.1 and 10. The osversion tool
// embeds the installer's resources, so its answer is what setup.exe sees.

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Sets Wine's per-program Windows version for osversion.exe and puts the key
// back as it was when it goes away.
class WineVersionOverride {
public:
    WineVersionOverride() {
        DWORD disposition = 0;
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &m_key, &disposition);
        m_createdKey = disposition == REG_CREATED_NEW_KEY;
        DWORD type = 0, bytes = sizeof(m_previous);
        m_hadValue = m_key != nullptr &&
                     RegQueryValueExW(m_key, L"Version", nullptr, &type, reinterpret_cast<BYTE*>(m_previous),
                                      &bytes) == ERROR_SUCCESS &&
                     type == REG_SZ;
    }
    ~WineVersionOverride() {
        if (m_key == nullptr) return;
        if (m_hadValue) {
            RegSetValueExW(m_key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_previous),
                           static_cast<DWORD>((wcslen(m_previous) + 1) * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(m_key, L"Version");
        }
        RegCloseKey(m_key);
        if (m_createdKey) RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
    }
    WineVersionOverride(const WineVersionOverride&) = delete;
    WineVersionOverride& operator=(const WineVersionOverride&) = delete;

    bool Set(const wchar_t* version) {
        return m_key != nullptr &&
               RegSetValueExW(m_key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                              static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

private:
    static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\osversion.exe";
    HKEY m_key = nullptr;
    bool m_createdKey = false;
    bool m_hadValue = false;
    wchar_t m_previous[64] = {};
};

TEST(SystemProbes, ManifestLetsTheTrueVersionThrough) {
    const std::wstring tool = kavri_test::ToolPath(L"osversion.exe");
    ASSERT_TRUE(kavri_test::FileExists(tool));
    const std::wstring command = L"\"" + tool + L"\"";

    // Without an override the tool sees what this process sees (same manifest).
    OSVERSIONINFOW own;
    GetOsVersion(&own);
    const kavri_test::ProcessOutput plainRun = kavri_test::RunCommand(command);
    EXPECT_TRUE(plainRun.Finished());
    EXPECT_EQ(plainRun.exitCode, 0u);
    const std::string& plain = plainRun.out;
    EXPECT_EQ(plain.substr(0, plain.find('.', plain.find('.') + 1)),
              std::to_string(own.dwMajorVersion) + "." + std::to_string(own.dwMinorVersion));

    if (!RunningOnWine()) GTEST_SKIP() << "the reported version can only be varied under Wine";
    const struct {
        const wchar_t* wineVersion;
        const char* expected;  // major.minor.
    } table[] = {
        {L"win7", "6.1."},
        {L"win8", "6.2."},
        {L"win81", "6.3."},  // 6.2 without the 8.1 entry
        {L"win10", "10.0."}, // 6.2 without the 10 entry: a 10.0 minimum would refuse it
        {L"vista", "6.0."},
    };
    WineVersionOverride override;
    for (const auto& row : table) {
        ASSERT_TRUE(override.Set(row.wineVersion));
        const kavri_test::ProcessOutput run = kavri_test::RunCommand(command);
        EXPECT_TRUE(run.Finished());
        EXPECT_EQ(run.exitCode, 0u);
        const std::string& output = run.out;
        EXPECT_EQ(output.rfind(row.expected, 0), 0u) << "Wine version " << row.wineVersion << " gave " << output;
    }
}

}  // namespace
