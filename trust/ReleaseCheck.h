// ReleaseCheck: what an image must prove before any port is opened: a SHA-256 equal to an expected one, and a
// signature by one of the release keys. qbv-flash and the station ask the same, in the same words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ReleaseSignature.h"

namespace trust {
constexpr std::size_t kSha256HexDigits = 64;

// What is asked of an image; all empty: nothing but its own check bytes.
struct ReleasePolicy {
    std::vector<PublicKey> keys;  // a signature by one of them is required when any is given
    std::string expectedSha256;   // 64 lower-case hex digits, "" for none
};

// What is known of an image that passed.
struct ReleaseFacts {
    std::string sha256;            // 64 lower-case hex digits
    std::optional<Signer> signer;  // when keys were given
};

// False when this build cannot check signatures (the Windows build: no signature library to link statically).
bool signaturesChecked();

// The keys of the files given with --release-key; nullopt with one line naming the file and why.
std::optional<std::vector<PublicKey>> loadKeys(const std::vector<std::string>& keyFiles, std::string& why);
// --expected-sha256 as given: 64 hex digits of either case, returned in lower case; nullopt with why not.
std::optional<std::string> parseSha256(const std::string& text, std::string& why);
// The SHA-256 of some bytes as 64 lower-case hex digits.
std::string sha256Hex(const std::uint8_t* bytes, std::size_t size);

// Checks an image against the policy. `signatureText` is the signature file's text, nullopt when there is none;
// `signatureName` names it in the words. nullopt with one line why not.
std::optional<ReleaseFacts> checkRelease(const std::uint8_t* image, std::size_t size,
                                         const std::optional<std::string>& signatureText,
                                         const std::string& signatureName, const ReleasePolicy& policy,
                                         std::string& why);
// The text of a file, nullopt when it cannot be read (with the system's words in `why`).
std::optional<std::string> readTextFile(const std::string& path, std::string& why);
}  // namespace trust
