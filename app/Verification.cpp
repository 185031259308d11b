// Pins, verdicts and the file check. See Verification.h.
#include "app/Verification.h"

#include <cwchar>

#include "app/Authenticode.h"

namespace kavri {

namespace {

std::wstring Trim(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// SHA-256 of the whole file behind the handle.
Digest HashWholeFile(HANDLE file) {
    LARGE_INTEGER size = {};
    Hasher hasher(HashKind::Sha256);
    if (!GetFileSizeEx(file, &size) || !HashFileRange(file, 0, static_cast<uint64_t>(size.QuadPart), &hasher))
        return Digest();
    return hasher.Finish();
}

}  // namespace

std::vector<SignerPin> ParseSignerList(const std::wstring& text, std::wstring* bad) {
    std::vector<SignerPin> pins;
    if (bad) bad->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L';', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring entry = Trim(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) continue;
        SignerPin pin;
        if (_wcsnicmp(entry.c_str(), L"sha256:", 7) == 0 && ParseSha256Hex(entry.substr(7), &pin.hash)) {
            pin.byHash = true;
        } else if (_wcsnicmp(entry.c_str(), L"CN=", 3) == 0 && entry.size() > 3) {
            pin.commonName = entry.substr(3);
        } else {
            if (bad && bad->empty()) *bad = entry;
            continue;
        }
        pins.push_back(pin);
    }
    return pins;
}

const wchar_t* VerdictText(Verdict verdict) {
    switch (verdict) {
    case Verdict::Verified: return L"verified";
    case Verdict::NotPinned: return L"not verified: no signer or hash is configured";
    case Verdict::NoSignature: return L"no signature";
    case Verdict::ChangedAfterSigning: return L"file changed after signing";
    case Verdict::SignerNotListed: return L"signer not in the list";
    case Verdict::ChainNotTrusted: return L"chain not trusted";
    case Verdict::HashMismatch: return L"hash mismatch";
    case Verdict::Unreadable: return L"the file could not be read";
    }
    return L"unknown";
}

Verdict JudgeSignature(const std::vector<SignerPin>& pins, const SignatureFacts& facts) {
    if (!facts.present) return Verdict::NoSignature;
    if (!facts.intact) return Verdict::ChangedAfterSigning;
    bool untrustedMatch = false;
    for (const SignerPin& pin : pins) {
        bool match = false;
        if (pin.byHash) {
            for (const Digest& h : facts.chainHashes) match = match || h == pin.hash;
            // A pinned certificate is itself the anchor: the machine's roots
            // need not know it, but the chain up to it must hold.
            if (match && facts.chainSound) return Verdict::Verified;
        } else {
            match = pin.commonName == facts.leafName;
            if (match && facts.chainSound && facts.chainTrusted) return Verdict::Verified;
        }
        untrustedMatch = untrustedMatch || match;
    }
    return untrustedMatch ? Verdict::ChainNotTrusted : Verdict::SignerNotListed;
}

HANDLE OpenHeld(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

Verdict VerifyFile(HANDLE file, const wchar_t* path, const std::wstring& signerList,
                   const std::wstring& sha256Hex, std::wstring* signer) {
    if (signer) signer->clear();
    const std::vector<SignerPin> pins = ParseSignerList(signerList, nullptr);
    Digest expected;
    const bool hashPinned = ParseSha256Hex(sha256Hex, &expected);
    // A value that is set but unusable pins nothing that could ever match:
    // it refuses rather than letting the file through unverified.
    if (!Trim(sha256Hex).empty() && !hashPinned) return Verdict::HashMismatch;
    if (!Trim(signerList).empty() && pins.empty()) return Verdict::SignerNotListed;
    if (!hashPinned && pins.empty()) return Verdict::NotPinned;
    if (hashPinned) {
        const Digest actual = HashWholeFile(file);
        if (actual.empty()) return Verdict::Unreadable;
        if (actual != expected) return Verdict::HashMismatch;
    }
    if (!pins.empty()) {
        const SignatureFacts facts = InspectSignature(file, path);
        const Verdict verdict = JudgeSignature(pins, facts);
        if (verdict != Verdict::Verified) return verdict;
        if (signer) *signer = facts.leafName;
    }
    return Verdict::Verified;
}

}  // namespace kavri
