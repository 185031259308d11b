// Measurements of the machine. The numeric probes and the machine id fill a
// function-local cache on their first call (made on the start-up thread) and
// return it afterwards; the OS version is read afresh on every call.
#include "app/SystemProbes.h"

#include <intrin.h>
#include <rpc.h>

#include <cwchar>

#include "common/Sha256.h"
#include "i18n/LanguageResources.h"

namespace kavri {

uint32_t BytesToMB(uint64_t bytes) {
    return static_cast<uint32_t>(bytes / 1048576u);
}

uint32_t ComputeCpuMHz(int64_t tsc0, int64_t tsc1, int64_t qpc0, int64_t qpc1, int64_t qpcFreq) {
    // Unsigned magnitudes: the differences of raw counter readings can exceed
    // what a signed subtraction holds when a counter is near its top.
    const uint64_t ticks = tsc1 >= tsc0 ? static_cast<uint64_t>(tsc1) - static_cast<uint64_t>(tsc0)
                                        : static_cast<uint64_t>(tsc0) - static_cast<uint64_t>(tsc1);
    const uint64_t counts = qpc1 >= qpc0 ? static_cast<uint64_t>(qpc1) - static_cast<uint64_t>(qpc0)
                                         : static_cast<uint64_t>(qpc0) - static_cast<uint64_t>(qpc1);
    if (counts == 0 || qpcFreq <= 0) return 0;
    const uint64_t freq = static_cast<uint64_t>(qpcFreq);
    // Hz = ticks * freq / counts without overflowing the product: split ticks
    // into the whole and the remainder of counts. Each part stays in range
    // for any realistic clock (ticks over counts is the TSC rate per QPC tick).
    const uint64_t whole = ticks / counts;
    const uint64_t rest = ticks % counts;
    uint64_t hz = whole * freq;
    // rest < counts; rest * freq overflows only for counts above 2^64 / freq,
    // far beyond any measurement window, so scale in two steps if it would.
    if (freq != 0 && rest > UINT64_MAX / freq) {
        hz += static_cast<uint64_t>(static_cast<long double>(rest) * freq / counts);
    } else {
        hz += rest * freq / counts;
    }
    const uint64_t mhz = hz / 1000000u;
    return mhz > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mhz);
}

void FormatMachineId(const unsigned char node[6], const wchar_t* product, wchar_t out[13]) {
    // A one-way value: the first 12 hex digits of SHA-256 over the adapter
    // address and the product name. The address itself never leaves.
    Hasher hasher(HashKind::Sha256);
    hasher.Update(node, 6);
    if (product) hasher.Update(product, wcslen(product) * sizeof(wchar_t));
    const Digest digest = hasher.Finish();
    out[0] = L'\0';
    if (digest.size() < 6) return;
    _snwprintf(out, 13, L"%02X%02X%02X%02X%02X%02X", digest[0], digest[1], digest[2], digest[3],
               digest[4], digest[5]);
    out[12] = L'\0';
}

}  // namespace kavri

namespace {

uint32_t MeasureTotalRamMB() {
    MEMORYSTATUSEX status;
    ZeroMemory(&status, sizeof(status));
    status.dwLength = sizeof(status);  // 64
    GlobalMemoryStatusEx(&status);     // on failure ullTotalPhys stays 0
    return kavri::BytesToMB(status.ullTotalPhys);
}

uint32_t MeasureFreeDiskMB() {
    wchar_t profile[260] = {};
    DWORD chars = ExpandEnvironmentStringsW(L"%USERPROFILE%", profile, 260);
    // An unset variable comes back unexpanded; that is no path to query.
    if (chars == 0 || chars > 260 || profile[0] == L'%') return 0;
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(profile, &available, nullptr, nullptr)) return 0;
    return kavri::BytesToMB(available.QuadPart);
}

// The clock the system recorded at boot; 0 when it is not there.
uint32_t RegistryCpuMHz() {
    DWORD mhz = 0, size = sizeof(mhz);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"~MHz",
                     RRF_RT_REG_DWORD, nullptr, &mhz, &size) != ERROR_SUCCESS)
        return 0;
    return mhz;
}

uint32_t MeasureCpuMHz() {
    // Read, not measured, where the system has it: the measurement keeps a
    // core busy for 300 ms at every start.
    if (const uint32_t recorded = RegistryCpuMHz()) return recorded;
    LARGE_INTEGER freq = {}, c0 = {}, c1 = {};
    QueryPerformanceFrequency(&freq);
    const DWORD t0 = GetTickCount();
    QueryPerformanceCounter(&c0);
    const int64_t r0 = static_cast<int64_t>(__rdtsc());
    while (GetTickCount() - t0 < 300) {
        // busy-wait: the processor must stay busy for the TSC to be comparable
    }
    const int64_t r1 = static_cast<int64_t>(__rdtsc());
    QueryPerformanceCounter(&c1);
    return kavri::ComputeCpuMHz(r0, r1, c0.QuadPart, c1.QuadPart, freq.QuadPart);
}

}  // namespace

uint32_t GetTotalRamMB() {
    static const uint32_t value = MeasureTotalRamMB();
    return value;
}

uint32_t GetFreeDiskMB() {
    static const uint32_t value = MeasureFreeDiskMB();
    return value;
}

uint32_t GetCpuMHz() {
    static const uint32_t value = MeasureCpuMHz();
    return value;
}

void GetOsVersion(OSVERSIONINFOW* info) {
    ZeroMemory(info, sizeof(*info));
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);  // 276: the plain structure
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)  // GetVersionExW is what the manifest's shim governs
#endif
    GetVersionExW(info);
}

const wchar_t* GetMachineId() {
    struct MachineId {
        wchar_t text[13];
        MachineId() {
            UUID uuid = {};
            UuidCreateSequential(&uuid);  // the node field is filled either way
            // The built-in name, not a configured one: the id stays the same in
            // every request, whatever a web configuration renames.
            kavri::FormatMachineId(&uuid.Data4[2], GetString(IDS_PRODUCT_NAME), text);
        }
    };
    static const MachineId id;
    return id.text;
}
