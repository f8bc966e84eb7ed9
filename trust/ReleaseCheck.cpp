// ReleaseCheck: the files read, the digest compared, the signature checked, each refusal in one line.
#include "ReleaseCheck.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace trust {
namespace {
constexpr std::size_t kLargestTextFile = 64 * 1024;  // a key or signature file is a few hundred bytes
}  // namespace

std::optional<std::string> readTextFile(const std::string& path, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return why = std::strerror(errno), std::nullopt;
    std::string text;
    char c = 0;
    while (text.size() <= kLargestTextFile && in.get(c)) text += c;
    if (text.size() > kLargestTextFile) return why = "larger than any key or signature file", std::nullopt;
    return text;
}

std::optional<std::vector<PublicKey>> loadKeys(const std::vector<std::string>& keyFiles, std::string& why) {
    std::vector<PublicKey> keys;
    for (const std::string& file : keyFiles) {
        std::string problem;
        const std::optional<std::string> text = readTextFile(file, problem);
        const std::optional<PublicKey> key = text ? readPublicKey(*text, problem) : std::nullopt;
        if (!key) return why = file + ": unreadable release key: " + problem, std::nullopt;
        keys.push_back(*key);
    }
    return keys;
}

std::optional<std::string> parseSha256(const std::string& text, std::string& why) {
    std::string digest;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) break;
        digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (digest.size() != text.size() || digest.size() != kSha256HexDigits) {
        return why = "--expected-sha256 takes 64 hex digits, not \"" + text + "\"", std::nullopt;
    }
    return digest;
}

std::optional<ReleaseFacts> checkRelease(const std::uint8_t* image, std::size_t size,
                                         const std::optional<std::string>& signatureText,
                                         const std::string& signatureName, const ReleasePolicy& policy,
                                         std::string& why) {
    ReleaseFacts facts;
    facts.sha256 = sha256Hex(image, size);
    if (!policy.expectedSha256.empty() && facts.sha256 != policy.expectedSha256) {
        return why = "its SHA-256 is " + facts.sha256 + ", expected " + policy.expectedSha256, std::nullopt;
    }
    if (policy.keys.empty()) return facts;
    if (!signatureText) return why = "no signature (" + signatureName + "): only a signed release is taken", std::nullopt;
    std::string problem;
    const std::optional<Signature> signature = readSignature(*signatureText, problem);
    if (!signature) return why = signatureName + ": " + problem, std::nullopt;
    facts.signer = verify(image, size, *signature, policy.keys, problem);
    if (!facts.signer) return why = problem, std::nullopt;
    return facts;
}
}  // namespace trust
