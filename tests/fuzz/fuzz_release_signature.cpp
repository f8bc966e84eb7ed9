// Fuzz target: the release key and signature readers on any text (the input split at its first NUL into a key file and
// a signature file); what they keep is checked against a fixed image, and a signature they read again from its parts
// is never taken by a check that refused it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ReleaseSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string keyText = input.substr(0, split);
    const std::string signatureText = split == std::string::npos ? input : input.substr(split + 1);
    std::string why;
    const auto key = trust::readPublicKey(keyText, why);
    if (!key && why.empty()) std::abort();  // every refusal says why
    why.clear();
    const auto signature = trust::readSignature(signatureText, why);
    if (!signature && why.empty()) std::abort();
    if (!key || !signature) return 0;
    const std::size_t idDigits = trust::keyIdText(key->id).size();
    if (idDigits < 1 || idDigits > 2 * trust::kKeyIdBytes) std::abort();
    const std::uint8_t image[] = {0xFC, 0x05, 0x11, 0x27, 0x56};
    why.clear();
    const auto signer = trust::verify(image, sizeof image, *signature, {*key}, why);
    if (signer.has_value() == !why.empty()) std::abort();  // taken with no words, or refused without any
    return 0;
}
