// ImageDigest on Windows: SHA-256 through the system's own cryptography (bcrypt.dll), so the program stays one file
// that imports system DLLs only; signatures are not checked here (no signature library to link statically).
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "ReleaseCheck.h"

namespace trust {
namespace {
constexpr std::size_t kDigestBytes = 32;

struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Provider() {
        if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
    }
};
struct Hash {
    BCRYPT_HASH_HANDLE handle = nullptr;
    ~Hash() {
        if (handle != nullptr) BCryptDestroyHash(handle);
    }
};
}  // namespace

std::string sha256Hex(const std::uint8_t* bytes, std::size_t size) {
    Provider provider;
    Hash hash;
    unsigned char digest[kDigestBytes];
    if (BCryptOpenAlgorithmProvider(&provider.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
        BCryptCreateHash(provider.handle, &hash.handle, nullptr, 0, nullptr, 0, 0) < 0) {
        return "";
    }
    constexpr std::size_t kChunk = 1u << 30;  // BCryptHashData takes a ULONG count
    for (std::size_t done = 0; done < size; done += kChunk) {
        const ULONG n = static_cast<ULONG>(size - done < kChunk ? size - done : kChunk);
        if (BCryptHashData(hash.handle, const_cast<PUCHAR>(bytes + done), n, 0) < 0) return "";
    }
    if (BCryptFinishHash(hash.handle, digest, sizeof digest, 0) < 0) return "";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : digest) hex += kDigits[b >> 4], hex += kDigits[b & 0x0F];
    return hex;
}

bool signaturesChecked() { return false; }

// Without a signature library, no key or signature is read: every use names --expected-sha256 instead.
namespace {
constexpr const char* kNoSignatures =
    "this Windows build cannot check signatures; check the image with --expected-sha256 of the signed release";
}  // namespace

std::string keyIdText(const KeyId&) { return ""; }
std::optional<std::string> decodeBase64Text(const std::string&) { return std::nullopt; }
std::optional<PublicKey> readPublicKey(const std::string&, std::string& why) { return why = kNoSignatures, std::nullopt; }
std::optional<Signature> readSignature(const std::string&, std::string& why) { return why = kNoSignatures, std::nullopt; }
std::optional<Signer> verify(const std::uint8_t*, std::size_t, const Signature&, const std::vector<PublicKey>&,
                             std::string& why) {
    return why = kNoSignatures, std::nullopt;
}
}  // namespace trust
