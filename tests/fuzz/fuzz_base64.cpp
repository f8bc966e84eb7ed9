// Fuzz target: base64 decoding of any text never fails or overruns, and encoding round-trips any bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteBuffer decoded;
    decodeBase64(std::string(reinterpret_cast<const char*>(data), size), decoded);
    if (decoded.size() > size / 4 * 3) std::abort();

    const ByteBuffer bytes(data, size);
    const std::string text = encodeBase64(bytes);
    if (text.size() != (size + 2) / 3 * 4) std::abort();
    ByteBuffer back;
    decodeBase64(text, back);
    if (back != bytes) std::abort();
    return 0;
}
