// Crc16: the CRC-16/KERMIT check code of unit frames and image files, table-driven with a low-byte and a high-byte table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class Crc16 {
public:
    static constexpr std::uint16_t kReflectedPolynomial = 0x8408;  // 0x1021 processed least significant bit first

    void reset() { low_ = 0; high_ = 0; }
    void update(std::uint8_t b);
    void initWith(std::uint8_t b) { reset(); update(b); }
    void update(const std::uint8_t* bytes, std::size_t count);

    std::uint8_t low() const { return low_; }
    std::uint8_t high() const { return high_; }
    std::uint16_t value() const { return static_cast<std::uint16_t>(high_ << 8 | low_); }

    // The check code of a whole byte sequence, starting from 0.
    static std::uint16_t of(const std::uint8_t* bytes, std::size_t count);

    static const std::array<std::uint8_t, 256> TLow;
    static const std::array<std::uint8_t, 256> THigh;

private:
    std::uint8_t low_ = 0;
    std::uint8_t high_ = 0;
};
