// Crc16: the two 256-byte tables and the per-byte step.
#include "Crc16.h"

namespace {

constexpr std::uint16_t tableEntry(unsigned i) {
    std::uint16_t v = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
        v = (v & 1) ? static_cast<std::uint16_t>((v >> 1) ^ Crc16::kReflectedPolynomial)
                    : static_cast<std::uint16_t>(v >> 1);
    }
    return v;
}

template <bool High>
constexpr std::array<std::uint8_t, 256> makeTable() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        const std::uint16_t e = tableEntry(i);
        t[i] = static_cast<std::uint8_t>(High ? (e >> 8) : (e & 0xFF));
    }
    return t;
}

}  // namespace

const std::array<std::uint8_t, 256> Crc16::TLow = makeTable<false>();
const std::array<std::uint8_t, 256> Crc16::THigh = makeTable<true>();

void Crc16::update(std::uint8_t b) {
    const std::uint8_t i = static_cast<std::uint8_t>(low_ ^ b);
    low_ = static_cast<std::uint8_t>(TLow[i] ^ high_);
    high_ = THigh[i];
}

void Crc16::update(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        update(bytes[k]);
    }
}

std::uint16_t Crc16::of(const std::uint8_t* bytes, std::size_t count) {
    Crc16 crc;
    crc.update(bytes, count);
    return crc.value();
}
