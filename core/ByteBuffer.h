// ByteBuffer: an owned, growable sequence of bytes that carries unit frames, texts' payloads and images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const std::uint8_t* bytes, std::size_t count) { append(bytes, count); }
    ByteBuffer(std::initializer_list<std::uint8_t> bytes) : bytes_(bytes) {}

    void clear();                                   // free the block, count 0
    void setByte(std::uint8_t b);                   // the buffer becomes this single byte
    void append(std::uint8_t b);
    void append16(std::uint16_t v);                 // low byte first
    void append32(std::uint32_t v);                 // low byte first
    void append(const std::uint8_t* bytes, std::size_t count);
    void append(const ByteBuffer& other) { append(other.data(), other.size()); }
    void truncate(std::size_t count);               // shorten to count bytes; never grows

    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
    const std::uint8_t* data() const { return bytes_.empty() ? nullptr : bytes_.data(); }

    bool operator==(const ByteBuffer& other) const { return bytes_ == other.bytes_; }
    bool operator!=(const ByteBuffer& other) const { return bytes_ != other.bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};
