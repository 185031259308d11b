// SHA-256 and SHA-1 through the system's CNG provider (BCrypt), and the hex
// forms that configuration values and identifiers use.
//
// Concurrency: a Hasher belongs to one thread; the free functions are
// re-entrant.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavri {

enum class HashKind { Sha1, Sha256 };

using Digest = std::vector<uint8_t>;  // 20 or 32 bytes; empty after a failure

class Hasher {
public:
    explicit Hasher(HashKind kind);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    bool Ok() const { return m_hash != nullptr && !m_failed; }
    void Update(const void* data, size_t size);
    // The digest of everything given so far; empty when any step failed.
    Digest Finish();

private:
    void* m_alg;   // BCRYPT_ALG_HANDLE
    void* m_hash;  // BCRYPT_HASH_HANDLE
    std::vector<uint8_t> m_object;
    size_t m_size;
    bool m_failed;
};

Digest Sha256Of(const void* data, size_t size);

// Feeds the bytes [from, to) of an open file to the hasher; false when they
// cannot all be read.
bool HashFileRange(HANDLE file, uint64_t from, uint64_t to, Hasher* hasher);

// Lower-case hex of the bytes.
std::string ToHex(const uint8_t* bytes, size_t size);
inline std::string ToHex(const Digest& d) { return ToHex(d.data(), d.size()); }

// Exactly 64 hex digits (either case, blanks around allowed) into 32 bytes.
bool ParseSha256Hex(const std::wstring& text, Digest* out);

}  // namespace kavri
