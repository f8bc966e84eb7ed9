// ReleaseSignature: an image's signature by a release key, in minisign's format (the public key file and the .minisig
// file that Debian's minisign writes), checked with libsodium: both signature algorithms, the key id, and the trusted
// comment's own signature.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trust {
constexpr std::size_t kKeyIdBytes = 8;
constexpr std::size_t kPublicKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;
constexpr const char* kSignatureSuffix = ".minisig";  // IMAGE.minisig beside the image

using KeyId = std::array<std::uint8_t, kKeyIdBytes>;

struct PublicKey {
    KeyId id{};
    std::array<std::uint8_t, kPublicKeyBytes> key{};
};

struct Signature {
    bool prehashed = true;  // "ED": over the image's BLAKE2b-512; "Ed" (legacy): over the image itself
    KeyId keyId{};
    std::array<std::uint8_t, kSignatureBytes> signature{};
    std::string trustedComment;                                // what follows "trusted comment: "
    std::array<std::uint8_t, kSignatureBytes> commentSignature{};  // over the signature and the trusted comment
};

// Standard base64 (with "=" fill) decoded, nullopt for anything else: how a signature file travels in a header.
std::optional<std::string> decodeBase64Text(const std::string& text);

// The key id as minisign prints it: upper-case hex digits without leading zeros ("143C1CF192D4B1FF", "9E3D0A1B2C4D5E6").
std::string keyIdText(const KeyId& id);

// A public key file's text: its untrusted comment line and one key line. nullopt with why not otherwise.
std::optional<PublicKey> readPublicKey(const std::string& text, std::string& why);
// A signature file's text: untrusted comment, signature line, trusted comment, the comment's signature line.
std::optional<Signature> readSignature(const std::string& text, std::string& why);

// Who signed an image, once its signature checked out.
struct Signer {
    std::string keyId;           // keyIdText
    std::string trustedComment;
};

// Checks `image` against the signature with whichever key has its id; nullopt with one line saying why not ("signed
// by another key ...", "the image was altered ...", "the trusted comment was altered ...").
std::optional<Signer> verify(const std::uint8_t* image, std::size_t size, const Signature& signature,
                             const std::vector<PublicKey>& keys, std::string& why);
}  // namespace trust
