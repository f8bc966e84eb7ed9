// Host tests of the posted-buffer helpers: copies, the receiver's take, the live counter and the failure hook.
#include <gtest/gtest.h>

#include <cstdint>

#include "PostedBuffer.h"

TEST(PostedBuffer, TakeReturnsTheBytesAndFreesTheHeapBuffer) {
    const long live = livePostedBuffers();
    const long made = postedBuffersMade();
    ByteBuffer* posted = allocatePostedBuffer(ByteBuffer{0xFC, 0x05, 0x1A});
    ASSERT_NE(posted, nullptr);
    EXPECT_EQ(livePostedBuffers(), live + 1);
    EXPECT_EQ(postedBuffersMade(), made + 1);
    const ByteBuffer bytes = takePostedBuffer(reinterpret_cast<std::intptr_t>(posted));
    EXPECT_EQ(bytes, (ByteBuffer{0xFC, 0x05, 0x1A}));
    EXPECT_EQ(livePostedBuffers(), live);
}

TEST(PostedBuffer, AnEmptyBufferTravelsToo) {
    const long live = livePostedBuffers();
    ByteBuffer* posted = allocatePostedBuffer(ByteBuffer());
    ASSERT_NE(posted, nullptr);
    EXPECT_TRUE(takePostedBuffer(reinterpret_cast<std::intptr_t>(posted)).empty());
    EXPECT_EQ(livePostedBuffers(), live);
}

TEST(PostedBuffer, ZeroAndNullAreEmptyAndFreeNothing) {
    const long live = livePostedBuffers();
    EXPECT_TRUE(takePostedBuffer(0).empty());
    EXPECT_TRUE(takeOwnedBuffer(nullptr).empty());
    freePostedBuffer(nullptr);
    EXPECT_EQ(livePostedBuffers(), live);
}

TEST(PostedBuffer, TheCopyIsIndependentOfTheSource) {
    ByteBuffer source{1, 2, 3};
    ByteBuffer* posted = allocatePostedBuffer(source);
    source.append(4);
    EXPECT_EQ(takeOwnedBuffer(posted), (ByteBuffer{1, 2, 3}));
}

TEST(PostedBuffer, InjectedAllocationFailuresGiveNull) {
    const long live = livePostedBuffers();
    failNextPostedBufferAllocations(2);
    EXPECT_EQ(allocatePostedBuffer(ByteBuffer{1}), nullptr);
    EXPECT_EQ(allocatePostedBuffer(ByteBuffer{1}), nullptr);
    ByteBuffer* third = allocatePostedBuffer(ByteBuffer{1});
    EXPECT_NE(third, nullptr);
    freePostedBuffer(third);
    EXPECT_EQ(livePostedBuffers(), live);
}
