// ImageDigest on Linux: SHA-256 through libsodium.
#include <sodium.h>

#include "ReleaseCheck.h"

namespace trust {
std::string sha256Hex(const std::uint8_t* bytes, std::size_t size) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes, size);
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

bool signaturesChecked() { return true; }
}  // namespace trust
