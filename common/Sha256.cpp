// Hashing through BCrypt. See Sha256.h.
#include "common/Sha256.h"

#include <bcrypt.h>

namespace kavri {

Hasher::Hasher(HashKind kind) : m_alg(nullptr), m_hash(nullptr), m_size(0), m_failed(false) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    const wchar_t* id = kind == HashKind::Sha1 ? BCRYPT_SHA1_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
    if (BCryptOpenAlgorithmProvider(&alg, id, nullptr, 0) != 0) return;
    m_alg = alg;
    DWORD objectSize = 0, hashSize = 0, got = 0;
    if (BCryptGetProperty(alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                          sizeof(objectSize), &got, 0) != 0 ||
        BCryptGetProperty(alg, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&hashSize),
                          sizeof(hashSize), &got, 0) != 0)
        return;
    m_object.resize(objectSize ? objectSize : 1);
    m_size = hashSize;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(alg, &hash, m_object.data(), objectSize, nullptr, 0, 0) != 0) return;
    m_hash = hash;
}

Hasher::~Hasher() {
    if (m_hash) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(m_hash));
    if (m_alg) BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(m_alg), 0);
}

void Hasher::Update(const void* data, size_t size) {
    if (!Ok()) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ULONG n = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(m_hash), const_cast<PUCHAR>(p), n, 0) != 0) {
            m_failed = true;
            return;
        }
        p += n;
        size -= n;
    }
}

Digest Hasher::Finish() {
    if (!Ok()) return Digest();
    Digest out(m_size);
    if (BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(m_hash), out.data(),
                         static_cast<ULONG>(out.size()), 0) != 0)
        out.clear();
    m_failed = true;  // a finished hash takes no more data
    return out;
}

Digest Sha256Of(const void* data, size_t size) {
    Hasher hasher(HashKind::Sha256);
    hasher.Update(data, size);
    return hasher.Finish();
}

bool HashFileRange(HANDLE file, uint64_t from, uint64_t to, Hasher* hasher) {
    std::vector<uint8_t> buffer(1 << 16);
    while (from < to) {
        const DWORD n = static_cast<DWORD>(to - from < buffer.size() ? to - from : buffer.size());
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(from);
        DWORD got = 0;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !ReadFile(file, buffer.data(), n, &got, nullptr) ||
            got != n)
            return false;
        hasher->Update(buffer.data(), n);
        from += n;
    }
    return true;
}

std::string ToHex(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

bool ParseSha256Hex(const std::wstring& text, Digest* out) {
    size_t first = text.find_first_not_of(L" \t");
    size_t last = text.find_last_not_of(L" \t");
    if (first == std::wstring::npos || last - first + 1 != 64) return false;
    Digest d(32);
    for (size_t i = 0; i < 64; ++i) {
        const wchar_t c = text[first + i];
        int v;
        if (c >= L'0' && c <= L'9') v = c - L'0';
        else if (c >= L'a' && c <= L'f') v = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F') v = c - L'A' + 10;
        else return false;
        d[i / 2] = static_cast<uint8_t>(i % 2 ? (d[i / 2] | v) : (v << 4));
    }
    if (out) *out = d;
    return true;
}

}  // namespace kavri
