// Authenticode checks of a downloaded file. See Authenticode.h.
//
// The system's trust check alone is not enough everywhere (some
// implementations accept an untrusted root, an expired or changed leaf, or a
// file whose code and stored digest were both rewritten), so the digests, the
// message signature and the chain are checked here as well. Everything is
// read through the caller's handle.
#include "app/Authenticode.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <memory>

#include "common/Handles.h"
#include "log/Log.h"

namespace kavri {

namespace {

const CLog& Source() {
    static const CLog source(L"Verification");
    return source;
}

uint32_t Le32(const std::vector<uint8_t>& b, uint64_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

bool ReadAt(HANDLE file, uint64_t offset, void* out, DWORD size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ReadFile(file, out, size, &got, nullptr) &&
           got == size;
}

bool HashKindOf(const char* oid, HashKind* kind) {
    if (!oid) return false;
    if (strcmp(oid, szOID_OIWSEC_sha1) == 0) *kind = HashKind::Sha1;
    else if (strcmp(oid, szOID_NIST_sha256) == 0) *kind = HashKind::Sha256;
    else return false;
    return true;
}

// The content of a DER value: what follows its tag and length.
bool DerContent(const uint8_t* p, size_t size, const uint8_t** content, size_t* contentSize) {
    if (size < 2) return false;
    size_t len = p[1], header = 2;
    if (len & 0x80) {
        const size_t bytes = len & 0x7F;
        if (bytes == 0 || bytes > 4 || size < 2 + bytes) return false;
        len = 0;
        for (size_t i = 0; i < bytes; ++i) len = len << 8 | p[2 + i];
        header += bytes;
    }
    if (header + len > size) return false;
    *content = p + header;
    *contentSize = len;
    return true;
}

// The image hash: the whole file without the checksum, the certificate
// table's directory entry and the table itself.
Digest PeImageHash(HANDLE file, const PeLayout& pe, uint64_t fileSize, HashKind kind) {
    Hasher hasher(kind);
    const uint64_t certEnd = pe.certOffset + pe.certSize;
    if (!HashFileRange(file, 0, pe.checksumOffset, &hasher) ||
        !HashFileRange(file, pe.checksumOffset + 4, pe.securityEntryOffset, &hasher) ||
        !HashFileRange(file, pe.securityEntryOffset + 8, pe.certOffset, &hasher) ||
        !HashFileRange(file, certEnd, fileSize, &hasher))
        return Digest();
    return hasher.Finish();
}

struct MsgCloser {
    void operator()(void* m) const { CryptMsgClose(m); }
};
struct StoreCloser {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
struct CertFreer {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
struct ChainFreer {
    void operator()(const CERT_CHAIN_CONTEXT* c) const { CertFreeCertificateChain(c); }
};

std::vector<uint8_t> MsgParam(HCRYPTMSG msg, DWORD type) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, type, 0, nullptr, &size) || size == 0) return {};
    std::vector<uint8_t> out(size);
    if (!CryptMsgGetParam(msg, type, 0, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

// The signed messageDigest attribute equals the digest of the signed content
// (the SpcIndirectDataContent without its outer header), and the signature
// over the attributes is the signer's.
bool MessageIntact(HCRYPTMSG msg, const CERT_CONTEXT* signerCert, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> infoBytes = MsgParam(msg, CMSG_SIGNER_INFO_PARAM);
    if (infoBytes.empty()) return false;
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(infoBytes.data());
    HashKind kind;
    if (!HashKindOf(info->HashAlgorithm.pszObjId, &kind)) return false;
    const uint8_t* inner = nullptr;
    size_t innerSize = 0;
    if (!DerContent(content.data(), content.size(), &inner, &innerSize)) return false;
    Hasher hasher(kind);
    hasher.Update(inner, innerSize);
    const Digest actual = hasher.Finish();
    bool matched = false;
    for (DWORD i = 0; i < info->AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = info->AuthAttrs.rgAttr[i];
        if (strcmp(attr.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0 || attr.cValue != 1) continue;
        const uint8_t* value = nullptr;
        size_t valueSize = 0;
        const CRYPT_ATTR_BLOB& blob = attr.rgValue[0];
        if (blob.cbData < 2 || blob.pbData[0] != 0x04 ||
            !DerContent(blob.pbData, blob.cbData, &value, &valueSize))
            return false;
        matched = valueSize == actual.size() && memcmp(value, actual.data(), valueSize) == 0;
    }
    return matched && CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, signerCert->pCertInfo);
}

// The image digest the signature carries, and its algorithm.
bool SignedImageDigest(const std::vector<uint8_t>& content, HashKind* kind, Digest* digest) {
    SPC_INDIRECT_DATA_CONTENT* data = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT,
                             content.data(), static_cast<DWORD>(content.size()),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &data, &size))
        return false;
    const kavri::ScopedLocalMem owner(data);
    const bool ok = HashKindOf(data->DigestAlgorithm.pszObjId, kind);
    digest->assign(data->Digest.pbData, data->Digest.pbData + data->Digest.cbData);
    return ok && !digest->empty();
}

bool HasCodeSigningUsage(const CERT_CONTEXT* cert) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size)) return false;
    std::vector<uint8_t> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
    return false;
}

void ReadChain(const CERT_CONTEXT* leaf, HCERTSTORE extra, SignatureFacts* facts) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    const CERT_CHAIN_CONTEXT* raw = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, extra, &para, CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                 nullptr, &raw) || !raw || raw->cChain == 0) {
        LogWarning(&Source(), -1, L":ReadChain, no chain could be built (%lu).", GetLastError());
        if (raw) CertFreeCertificateChain(raw);
        return;
    }
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer> chain(raw);
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    bool sound = simple->cElement > 0 && HasCodeSigningUsage(simple->rgpElement[0]->pCertContext);
    for (DWORD i = 0; i < simple->cElement; ++i) {
        const CERT_CONTEXT* cert = simple->rgpElement[i]->pCertContext;
        facts->chainHashes.push_back(Sha256Of(cert->pbCertEncoded, cert->cbCertEncoded));
        sound = sound && CertVerifyTimeValidity(nullptr, cert->pCertInfo) == 0;
        // Each certificate signed by the next; a self-signed last one by itself.
        const CERT_CONTEXT* issuer = i + 1 < simple->cElement ? simple->rgpElement[i + 1]->pCertContext
                                     : CertCompareCertificateName(X509_ASN_ENCODING, &cert->pCertInfo->Issuer,
                                                                  &cert->pCertInfo->Subject) ? cert : nullptr;
        if (issuer)
            sound = sound && CryptVerifyCertificateSignatureEx(
                                 0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                 const_cast<CERT_CONTEXT*>(cert), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                 const_cast<CERT_CONTEXT*>(issuer), 0, nullptr);
    }
    // Only trust in the root (or a chain that stops short of one) may be
    // missing for a chain that is otherwise sound.
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    const DWORD rootOnly = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                           CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    facts->chainSound = sound && (status & ~rootOnly) == 0;
    facts->chainTrusted = facts->chainSound && status == 0;
    wchar_t name[256] = L"";
    CertGetNameStringW(leaf, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, 256);
    facts->leafName = name;
}

// The system's verdict: 0, or the trust error it reports.
LONG SystemTrust(HANDLE file, const wchar_t* path) {
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace

bool ParsePeLayout(const std::vector<uint8_t>& head, uint64_t fileSize, PeLayout* out) {
    if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
    const uint64_t pe = Le32(head, 0x3C);
    if (pe + 24 + 2 > head.size() || memcmp(&head[pe], "PE\0\0", 4) != 0) return false;
    const uint64_t optional = pe + 24;
    const unsigned magic = head[optional] | head[optional + 1] << 8;
    uint64_t dirs, countAt;
    if (magic == 0x10B) {
        dirs = optional + 96;
        countAt = optional + 92;
    } else if (magic == 0x20B) {
        dirs = optional + 112;
        countAt = optional + 108;
    } else {
        return false;
    }
    if (dirs + 5 * 8 > head.size() || Le32(head, countAt) < 5) return false;
    out->checksumOffset = optional + 64;
    out->securityEntryOffset = dirs + 4 * 8;
    out->certOffset = Le32(head, out->securityEntryOffset);
    out->certSize = Le32(head, out->securityEntryOffset + 4);
    if (out->certSize == 0) out->certOffset = 0;
    if (out->certOffset != 0 &&
        (out->certOffset < dirs + 5 * 8 || out->certOffset + out->certSize > fileSize))
        return false;
    return true;
}

SignatureFacts InspectSignature(HANDLE file, const wchar_t* path) {
    SignatureFacts facts;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) return facts;
    const uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    std::vector<uint8_t> head(static_cast<size_t>(fileSize < 4096 ? fileSize : 4096));
    PeLayout pe;
    if (head.empty() || !ReadAt(file, 0, head.data(), static_cast<DWORD>(head.size())) ||
        !ParsePeLayout(head, fileSize, &pe) || pe.certOffset == 0 || pe.certSize < 8 ||
        pe.certSize > (16u << 20))
        return facts;
    std::vector<uint8_t> table(static_cast<size_t>(pe.certSize));
    if (!ReadAt(file, pe.certOffset, table.data(), static_cast<DWORD>(table.size()))) return facts;
    const uint32_t length = Le32(table, 0);
    const unsigned type = table[6] | table[7] << 8;
    if (type != WIN_CERT_TYPE_PKCS_SIGNED_DATA || length < 8 || length > table.size()) return facts;

    CERT_BLOB blob = {length - 8, table.data() + 8};
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMsg = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore, &rawMsg,
                          nullptr))
        return facts;
    std::unique_ptr<void, StoreCloser> store(rawStore);
    std::unique_ptr<void, MsgCloser> msg(rawMsg);
    facts.present = true;

    const LONG trust = SystemTrust(file, path);
    if (trust == TRUST_E_NOSIGNATURE || trust == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        facts.present = false;
        return facts;
    }
    std::vector<uint8_t> signerInfo = MsgParam(msg.get(), CMSG_SIGNER_CERT_INFO_PARAM);
    const std::vector<uint8_t> content = MsgParam(msg.get(), CMSG_CONTENT_PARAM);
    if (signerInfo.empty() || content.empty()) return facts;
    std::unique_ptr<const CERT_CONTEXT, CertFreer> leaf(CertFindCertificateInStore(
        store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
        reinterpret_cast<CERT_INFO*>(signerInfo.data()), nullptr));
    if (!leaf) return facts;

    HashKind kind;
    Digest signedDigest;
    const bool contentOk = MessageIntact(msg.get(), leaf.get(), content) &&
                           SignedImageDigest(content, &kind, &signedDigest);
    facts.intact = contentOk && PeImageHash(file, pe, fileSize, kind) == signedDigest &&
                   trust != TRUST_E_BAD_DIGEST;
    if (!facts.intact) return facts;
    ReadChain(leaf.get(), store.get(), &facts);
    // The system's word counts too: a root it distrusts, a revoked or
    // expired certificate, a wrong usage.
    if (trust != 0) {
        facts.chainTrusted = false;
        if (trust != CERT_E_UNTRUSTEDROOT && trust != CERT_E_CHAINING) facts.chainSound = false;
        LogWarning(&Source(), trust, L":InspectSignature, the system's trust check failed.");
    }
    return facts;
}

}  // namespace kavri
