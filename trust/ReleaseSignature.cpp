// ReleaseSignature: minisign's text files read line by line, their base64 decoded and Ed25519 and BLAKE2b computed by
// libsodium; only the layout of the files is this project's code.
#include "ReleaseSignature.h"

#include <sodium.h>

#include <cstring>

namespace trust {
namespace {
constexpr const char* kUntrustedPrefix = "untrusted comment: ";
constexpr const char* kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kAlgorithmBytes = 2;
constexpr const char* kLegacyAlgorithm = "Ed";     // the signature is over the image itself
constexpr const char* kPrehashedAlgorithm = "ED";  // over the image's BLAKE2b-512
constexpr std::size_t kPrehashBytes = 64;
constexpr std::size_t kKeyLineBytes = kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes;
constexpr std::size_t kSignatureLineBytes = kAlgorithmBytes + kKeyIdBytes + kSignatureBytes;
constexpr std::size_t kLongestLine = 8192;  // far beyond any line minisign writes

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The file's lines without their line ends ("\n" or "\r\n"); a final line end is optional.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        begin = end + 1;
    }
    return lines;
}

// Exactly `bytes` bytes of standard base64, or nothing.
std::optional<std::vector<std::uint8_t>> decode(const std::string& line, std::size_t bytes) {
    if (line.size() > kLongestLine) return std::nullopt;
    std::vector<std::uint8_t> out(bytes + 1);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), line.data(), line.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != line.data() + line.size() || length != bytes) {
        return std::nullopt;
    }
    out.resize(bytes);
    return out;
}

bool ready() {
    static const bool initialised = sodium_init() >= 0;
    return initialised;
}
}  // namespace

std::optional<std::string> decodeBase64Text(const std::string& text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), nullptr,
                          &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::string keyIdText(const KeyId& id) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = id.size(); i-- > 0;) {  // minisign prints the id as a little-endian number
        text += kDigits[id[i] >> 4];
        text += kDigits[id[i] & 0x0F];
    }
    const std::size_t first = text.find_first_not_of('0');  // and without leading zeros
    return first == std::string::npos ? "0" : text.substr(first);
}

std::optional<PublicKey> readPublicKey(const std::string& text, std::string& why) {
    std::vector<std::string> lines = linesOf(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.empty()) return why = "the key file is empty", std::nullopt;
    std::size_t comments = 0;
    for (const std::string& line : lines) comments += startsWith(line, kUntrustedPrefix) ? 1 : 0;
    if (comments > 1) return why = "the key file holds more than one key", std::nullopt;
    if (lines.size() != 2 || !startsWith(lines[0], kUntrustedPrefix)) {
        return why = "the key file is not a minisign public key", std::nullopt;
    }
    const auto bytes = decode(lines[1], kKeyLineBytes);
    if (!bytes || std::memcmp(bytes->data(), kLegacyAlgorithm, kAlgorithmBytes) != 0) {
        return why = "the key file's key line is damaged", std::nullopt;
    }
    PublicKey key;
    std::memcpy(key.id.data(), bytes->data() + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(key.key.data(), bytes->data() + kAlgorithmBytes + kKeyIdBytes, kPublicKeyBytes);
    return key;
}

std::optional<Signature> readSignature(const std::string& text, std::string& why) {
    std::vector<std::string> lines = linesOf(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.empty()) return why = "the signature file is empty", std::nullopt;
    if (lines.size() != 4 || !startsWith(lines[0], kUntrustedPrefix) || !startsWith(lines[2], kTrustedPrefix)) {
        return why = "the signature file is not a minisign signature (truncated or garbled)", std::nullopt;
    }
    const auto signature = decode(lines[1], kSignatureLineBytes);
    const auto commentSignature = decode(lines[3], kSignatureBytes);
    if (!signature || !commentSignature) return why = "the signature file's signature lines are damaged", std::nullopt;
    Signature s;
    if (std::memcmp(signature->data(), kPrehashedAlgorithm, kAlgorithmBytes) == 0) {
        s.prehashed = true;
    } else if (std::memcmp(signature->data(), kLegacyAlgorithm, kAlgorithmBytes) == 0) {
        s.prehashed = false;
    } else {
        return why = "the signature file names an unknown signature algorithm", std::nullopt;
    }
    std::memcpy(s.keyId.data(), signature->data() + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(s.signature.data(), signature->data() + kAlgorithmBytes + kKeyIdBytes, kSignatureBytes);
    s.trustedComment = lines[2].substr(std::strlen(kTrustedPrefix));
    std::memcpy(s.commentSignature.data(), commentSignature->data(), kSignatureBytes);
    return s;
}

std::optional<Signer> verify(const std::uint8_t* image, std::size_t size, const Signature& signature,
                             const std::vector<PublicKey>& keys, std::string& why) {
    if (!ready()) return why = "the signature library could not start", std::nullopt;
    const PublicKey* key = nullptr;
    for (const PublicKey& candidate : keys) {
        if (candidate.id == signature.keyId) key = &candidate;
    }
    if (key == nullptr) {
        why = "signed by another key (key id " + keyIdText(signature.keyId) + "), not by a release key (";
        for (std::size_t i = 0; i < keys.size(); ++i) why += (i == 0 ? "" : ", ") + keyIdText(keys[i].id);
        return why += ")", std::nullopt;
    }
    std::vector<std::uint8_t> prehash;
    const std::uint8_t* message = image;
    std::size_t messageBytes = size;
    if (signature.prehashed) {
        prehash.resize(kPrehashBytes);
        crypto_generichash(prehash.data(), prehash.size(), image, size, nullptr, 0);
        message = prehash.data(), messageBytes = prehash.size();
    }
    if (crypto_sign_verify_detached(signature.signature.data(), message, messageBytes, key->key.data()) != 0) {
        return why = "the signature does not match the image: the image was altered, or the signature is for "
                     "another file", std::nullopt;
    }
    std::vector<std::uint8_t> signedComment(signature.signature.begin(), signature.signature.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.commentSignature.data(), signedComment.data(), signedComment.size(),
                                    key->key.data()) != 0) {
        return why = "the trusted comment was altered (its signature does not match)", std::nullopt;
    }
    return Signer{keyIdText(key->id), signature.trustedComment};
}
}  // namespace trust
