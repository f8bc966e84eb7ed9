// Posted buffers: the heap ByteBuffers that travel as the lParam of the link's registered messages.
// The sender makes one with allocatePostedBuffer; whoever ends up owning it frees it exactly once:
// the receiver (with takePostedBuffer), or the sender itself when the post failed (freePostedBuffer).
#pragma once

#include <cstdint>

#include "ByteBuffer.h"

// A new heap copy of `bytes`, or null when it cannot be allocated (nothing is then posted).
ByteBuffer* allocatePostedBuffer(const ByteBuffer& bytes);

// Frees a buffer made by allocatePostedBuffer; null is ignored.
void freePostedBuffer(ByteBuffer* buffer);

// Receiver side: the bytes of the posted buffer, which is freed here. Null gives an empty buffer.
ByteBuffer takeOwnedBuffer(ByteBuffer* buffer);

// The window side's helper for StatusUpdate, Response and Alarm: `lParam` is the posted buffer's address
// (an LPARAM converts to it). Returns the bytes by value and frees the heap buffer; 0 gives an empty buffer.
ByteBuffer takePostedBuffer(std::intptr_t lParam);

// Counters over all posted buffers of the process, for tests: buffers made and not yet freed, and made in total.
long livePostedBuffers();
long postedBuffersMade();
