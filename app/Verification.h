// Whether a downloaded main installer may be started: the signer pins and
// the hash pin, and the decision they give for what the signature check found.
//
// Concurrency: pure functions, plus VerifyFile, which reads through a handle
// its caller holds; all re-entrant.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/Sha256.h"

namespace kavri {

// One entry of a signer list: "sha256:<64 hex>" (any certificate of the
// signer's chain) or "CN=<name>" (the leaf's common name, chain trusted).
struct SignerPin {
    bool byHash = false;
    Digest hash;
    std::wstring commonName;
};

// Parses a ';'-separated list; blanks around entries are ignored. The first
// entry that is neither form is returned in *bad (it is skipped).
std::vector<SignerPin> ParseSignerList(const std::wstring& text, std::wstring* bad);

// What the signature check of a file found.
struct SignatureFacts {
    bool present = false;       // an Authenticode signature is there
    bool intact = false;        // it is valid and covers the file as it is
    bool chainSound = false;    // each certificate signed by the next, all in
                                // their validity period, leaf for code signing
    bool chainTrusted = false;  // and the chain ends in a root the machine trusts
    std::vector<Digest> chainHashes;  // SHA-256 of each certificate, leaf first
    std::wstring leafName;            // the leaf's subject common name
};

enum class Verdict {
    Verified,
    NotPinned,  // neither a signer nor a hash is set: started unverified
    NoSignature,
    ChangedAfterSigning,
    SignerNotListed,
    ChainNotTrusted,
    HashMismatch,
    Unreadable,
};

// The reason as the log states it.
const wchar_t* VerdictText(Verdict verdict);

// The decision for a signed file under a non-empty pin list.
Verdict JudgeSignature(const std::vector<SignerPin>& pins, const SignatureFacts& facts);

// Opens a file for reading with writes, deletion and renaming denied to
// everyone else while the handle is open (INVALID_HANDLE_VALUE on failure):
// what is checked is then what runs.
HANDLE OpenHeld(const wchar_t* path);

// Checks the file behind the handle against the pins: with a hash, its
// SHA-256 must match; with signers, its signature must pass JudgeSignature.
// *signer receives the leaf's name when verified by signature.
Verdict VerifyFile(HANDLE file, const wchar_t* path, const std::wstring& signerList,
                   const std::wstring& sha256Hex,
                   std::wstring* signer);

}  // namespace kavri
