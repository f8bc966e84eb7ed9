// Tests of the virtual unit's command line parsing.
#include <gtest/gtest.h>

#include "Options.h"

using namespace vunit;

TEST(Options, DefaultsWithoutArguments) {
    const ParseResult r = parseOptions({});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.unit.erasePolls, kDefaultErasePolls);
    EXPECT_EQ(r.options.unit.writePolls, kDefaultWritePolls);
    EXPECT_EQ(r.options.unit.verifyPolls, kDefaultVerifyPolls);
    EXPECT_EQ(r.options.baud, 0u);
    EXPECT_EQ(r.options.unit.busyForever, Phase::None);
}

TEST(Options, ParsesSeparateAndInlineValues) {
    const ParseResult r = parseOptions({"--erase-polls", "7", "--baud=9600", "--busy-forever", "verify", "--silent",
                                        "--link", "/tmp/x", "--corrupt-every=3", "--drop-nth", "5", "--noise", "12"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.unit.erasePolls, 7u);
    EXPECT_EQ(r.options.baud, 9600u);
    EXPECT_EQ(r.options.unit.busyForever, Phase::Verify);
    EXPECT_TRUE(r.options.unit.silent);
    EXPECT_EQ(r.options.linkPath, "/tmp/x");
    EXPECT_EQ(r.options.unit.corruptEvery, 3u);
    EXPECT_EQ(r.options.unit.dropNth, 5u);
    EXPECT_EQ(r.options.unit.noiseBytes, 12u);
    EXPECT_FALSE(r.options.unit.ignoreCode.has_value());
    EXPECT_FALSE(r.options.paceReceived);
    EXPECT_TRUE(parseOptions({"--pace-received"}).options.paceReceived);
    EXPECT_FALSE(parseOptions({"--pace-received=1"}).ok);
}

TEST(Options, IgnoreCodeTakesHexOrDecimal) {
    const ParseResult hex = parseOptions({"--ignore-code", "0xD2"});
    ASSERT_TRUE(hex.ok) << hex.error;
    EXPECT_EQ(hex.options.unit.ignoreCode, std::optional<std::uint8_t>(0xD2));
    const ParseResult dec = parseOptions({"--ignore-code=80"});
    ASSERT_TRUE(dec.ok) << dec.error;
    EXPECT_EQ(dec.options.unit.ignoreCode, std::optional<std::uint8_t>(0x50));
    EXPECT_FALSE(parseOptions({"--ignore-code", "0x100"}).ok);
    EXPECT_FALSE(parseOptions({"--ignore-code", "256"}).ok);
    EXPECT_FALSE(parseOptions({"--ignore-code", "0x"}).ok);
    EXPECT_FALSE(parseOptions({"--ignore-code", "D2"}).ok);
    EXPECT_FALSE(parseOptions({"--ignore-code"}).ok);
}

TEST(Options, RejectsBadInput) {
    EXPECT_FALSE(parseOptions({"--baud", "0"}).ok);
    EXPECT_FALSE(parseOptions({"--baud", "-5"}).ok);
    EXPECT_FALSE(parseOptions({"--delay-ms"}).ok);
    EXPECT_FALSE(parseOptions({"--busy-forever", "sleep"}).ok);
    EXPECT_FALSE(parseOptions({"--corrupt-every", "0"}).ok);
    EXPECT_FALSE(parseOptions({"--silent=1"}).ok);
    EXPECT_FALSE(parseOptions({"--frobnicate"}).ok);
    EXPECT_FALSE(parseOptions({"--noise", "99999999999999999999"}).ok);
}
