// Reads an Authenticode signature of a PE file: the system's trust check,
// the signed digests compared with the file itself, and the signer's chain.
//
// Concurrency: re-entrant; the caller holds the file handle open, with
// writes denied to others, for the whole check.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/Verification.h"

namespace kavri {

// Where the parts excluded from the image hash lie, from the PE headers.
struct PeLayout {
    uint64_t checksumOffset = 0;  // 4 bytes
    uint64_t securityEntryOffset = 0;  // 8 bytes: the certificate table's directory entry
    uint64_t certOffset = 0;  // the certificate table (0: none)
    uint64_t certSize = 0;
};

// Parses the headers (the file's first bytes) of a file of fileSize bytes.
// False when they are not a PE image or the certificate table lies outside
// the file.
bool ParsePeLayout(const std::vector<uint8_t>& head, uint64_t fileSize, PeLayout* out);

// The signature facts of the file behind the handle (path for the system's
// check, which also gets the handle).
SignatureFacts InspectSignature(HANDLE file, const wchar_t* path);

}  // namespace kavri
