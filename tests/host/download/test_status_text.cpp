// Host tests: the status line named from each reply code, flag and download state, and short replies left unshown.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "StatusText.h"

namespace {
const std::optional<std::string> kSame;  // the line stays as it was
const std::optional<std::string> kDeleting{"Deleting"};
const std::optional<std::string> kDownloading{"Downloading"};
const std::optional<std::string> kVerifying{"Verifying"};
constexpr std::uint32_t kStates = 14;  // 0 to 13

DownloadState st(std::uint32_t n) { return static_cast<DownloadState>(n); }
}  // namespace

TEST(StatusLine, DisableResetAndAckIgnoreFlagAndState) {
    for (std::uint32_t s = 0; s < kStates; ++s) {
        for (std::uint8_t flag : {0x00, 0x80, 0x01, 0xFF}) {
            EXPECT_EQ(statusTextFor(0x1A, flag, st(s)), std::optional<std::string>("Disable")) << s;
            EXPECT_EQ(statusTextFor(0x40, flag, st(s)), std::optional<std::string>("Reset")) << s;
            EXPECT_EQ(statusTextFor(0x50, flag, st(s)), std::optional<std::string>("")) << s;
        }
    }
}

TEST(StatusLine, DownloadReadyByState) {
    const std::optional<std::string> expected[kStates] = {kDeleting,    kDeleting,    kDeleting,    kDeleting, kSame,
                                                          kDownloading, kDownloading, kDownloading, kDownloading,
                                                          kDownloading, kSame,        kSame,        kSame,     kSame};
    for (std::uint32_t s = 0; s < kStates; ++s) EXPECT_EQ(statusTextFor(0xD4, 0x00, st(s)), expected[s]) << s;
}

TEST(StatusLine, DownloadFlagNotZeroByState) {
    const std::optional<std::string> expected[kStates] = {kDeleting, kDeleting, kDeleting,  kDeleting,  kDeleting,
                                                          kDeleting, kSame,     kSame,      kSame,      kSame,
                                                          kVerifying, kVerifying, kVerifying, kVerifying};
    for (std::uint8_t flag : {0x80, 0x01, 0x40, 0xFF}) {
        for (std::uint32_t s = 0; s < kStates; ++s) EXPECT_EQ(statusTextFor(0xD4, flag, st(s)), expected[s]) << s;
    }
}

TEST(StatusLine, ResultAndUnknownCodesLeaveTheLine) {
    for (std::uint32_t s = 0; s < kStates; ++s) {
        for (std::uint8_t code : {0xD3, 0x11, 0x00, 0xFF, 0xD0, 0xD1, 0xD2, 0xFC}) {
            EXPECT_EQ(statusTextFor(code, 0x00, st(s)), kSame) << int(code);
            EXPECT_EQ(statusTextFor(code, 0x80, st(s)), kSame) << int(code);
        }
    }
}

TEST(StatusLine, WholeRepliesAndShortOnes) {
    EXPECT_EQ(statusTextForReply(ByteBuffer{0xFC, 0x06, 0xD4, 0x80, 0x12, 0x34}, DownloadState::AwaitResult), kVerifying);
    EXPECT_EQ(statusTextForReply(ByteBuffer{0xFC, 0x06, 0xD4, 0x00}, DownloadState::AwaitReady), kDownloading);
    for (const ByteBuffer& shortReply : {ByteBuffer{}, ByteBuffer{0xFC}, ByteBuffer{0xFC, 0x05}, ByteBuffer{0xFC, 0x05, 0x1A}})
        EXPECT_EQ(statusTextForReply(shortReply, DownloadState::AwaitDisable), kSame) << shortReply.size();
}
