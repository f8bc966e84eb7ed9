// ByteBuffer: the append, shorten and reset operations.
#include "ByteBuffer.h"

void ByteBuffer::clear() {
    std::vector<std::uint8_t>().swap(bytes_);
}

void ByteBuffer::setByte(std::uint8_t b) {
    bytes_.assign(1, b);
}

void ByteBuffer::append(std::uint8_t b) {
    bytes_.push_back(b);
}

void ByteBuffer::append16(std::uint16_t v) {
    append(static_cast<std::uint8_t>(v & 0xFF));
    append(static_cast<std::uint8_t>(v >> 8));
}

void ByteBuffer::append32(std::uint32_t v) {
    append16(static_cast<std::uint16_t>(v & 0xFFFF));
    append16(static_cast<std::uint16_t>(v >> 16));
}

void ByteBuffer::append(const std::uint8_t* bytes, std::size_t count) {
    if (bytes != nullptr && count > 0) {
        bytes_.insert(bytes_.end(), bytes, bytes + count);
    }
}

void ByteBuffer::truncate(std::size_t count) {
    if (count < bytes_.size()) {
        bytes_.resize(count);
    }
}
