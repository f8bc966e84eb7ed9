// Posted buffers with a process-wide live counter, so tests can prove every buffer is freed exactly once.
#include "PostedBuffer.h"

#include <atomic>
#include <new>

namespace {
std::atomic<long> live{0};
std::atomic<long> made{0};
}  // namespace

ByteBuffer* allocatePostedBuffer(const ByteBuffer& bytes) {
    ByteBuffer* buffer = nullptr;
    try {
        buffer = new ByteBuffer(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    ++live;
    ++made;
    return buffer;
}

void freePostedBuffer(ByteBuffer* buffer) {
    if (buffer == nullptr) return;
    delete buffer;
    --live;
}

ByteBuffer takeOwnedBuffer(ByteBuffer* buffer) {
    if (buffer == nullptr) return ByteBuffer();
    ByteBuffer bytes = std::move(*buffer);
    freePostedBuffer(buffer);
    return bytes;
}

ByteBuffer takePostedBuffer(std::intptr_t lParam) {
    return takeOwnedBuffer(reinterpret_cast<ByteBuffer*>(lParam));
}

long livePostedBuffers() { return live.load(); }
long postedBuffersMade() { return made.load(); }
