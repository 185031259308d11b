// Measurements of the machine: memory, free disk space, processor clock,
// operating-system version and a machine identifier.
//
// The three numeric probes and the machine id are measured once per process
// (function-local caches); they are first called on the start-up thread, so
// later calls from other threads only read the filled caches.
#pragma once

#include <windows.h>

#include <cstdint>

uint32_t GetTotalRamMB();
uint32_t GetFreeDiskMB();
uint32_t GetCpuMHz();
void GetOsVersion(OSVERSIONINFOW* info);
// 12 upper-case hexadecimal digits; valid for the life of the process.
const wchar_t* GetMachineId();

namespace kavri {
// Pure arithmetic behind the probes, exposed for tests.
uint32_t BytesToMB(uint64_t bytes);
// MHz from time-stamp-counter and performance-counter readings.
uint32_t ComputeCpuMHz(int64_t tsc0, int64_t tsc1, int64_t qpc0, int64_t qpc1, int64_t qpcFreq);
// The machine id for an adapter address (the node bytes Data4[2..7] of a
// sequential UUID) and a product name: "%02X" x 6 of the first bytes of
// SHA-256(node, name as UTF-16), so the address cannot be read back from it.
void FormatMachineId(const unsigned char node[6], const wchar_t* product, wchar_t out[13]);
}  // namespace kavri
