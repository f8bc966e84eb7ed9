// Host tests of common/: byte order, the check code, base64, hex dump, decimals and the request text both ways.
#include <gtest/gtest.h>

#include <boost/crc.hpp>

#include "Crc16.h"
#include "LinkRequests.h"
#include "TextCodec.h"

TEST(ByteBuffer, AppendsLowByteFirst) {
    ByteBuffer b{0xFC};
    b.append16(0x1234);
    b.append32(0x12345678);
    EXPECT_EQ(b, (ByteBuffer{0xFC, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12}));
    b.truncate(8);  // never grows
    EXPECT_EQ(b.size(), 7u);
}

TEST(Crc16, TablesCheckValueWorkedFramesAndOracle) {
    for (auto [i, entry] : {std::pair{0, 0x0000}, {1, 0x1189}, {2, 0x2312}, {128, 0x8408}, {255, 0x0F78}})
        EXPECT_EQ(Crc16::THigh[i] << 8 | Crc16::TLow[i], entry) << i;
    EXPECT_EQ(Crc16::of(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x2189);
    for (auto [code, check] : {std::pair{0x11, 0x5627}, {0x50, 0x05AA}, {0xD0, 0x81A2}}) {
        const std::uint8_t frame[] = {0xFC, 0x05, static_cast<std::uint8_t>(code)};
        EXPECT_EQ(Crc16::of(frame, 3), check) << "FC 05 " << code;
    }
    std::vector<std::uint8_t> data;
    for (int n = 0; n < 600; ++n, data.push_back(static_cast<std::uint8_t>(n * n * 31 + n / 7))) {
        boost::crc_optimal<16, 0x1021, 0, 0, true, true> oracle;
        oracle.process_bytes(data.data(), data.size());
        ASSERT_EQ(Crc16::of(data.data(), data.size()), oracle.checksum()) << "length " << n;
    }
}

TEST(TextCodec, Base64HexDumpAndDecimals) {
    for (auto [bytes, text] : {std::pair{ByteBuffer{0xFC, 0x05, 0x11}, "/AUR"}, {{}, ""}, {{'f'}, "Zg=="},
                               {{0xFC, 0x05, 0x50, 0xAA, 0x05}, "/AVQqgU="}, {{0xFF, 0xFF, 0xFE}, "///+"}})
        EXPECT_EQ(encodeBase64(bytes), text);
    // Decoding appends; "=" anywhere shortens by one, foreign characters count as zero, leftovers are ignored.
    for (auto [text, bytes] : {std::pair{"/AVQqgU=", ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}}, {"abc", {}},
                               {"====", {}}, {"/AURxyz", {0xFC, 0x05, 0x11}}, {"=AUR", {0x00, 0x05}},
                               {"Zg==Zg==", {'f', 0x00}}, {" AUR", {0x00, 0x05, 0x11}}, {"/A.R", {0xFC, 0x00, 0x11}},
                               {"/A=R", {0xFC, 0x00}}, {"\xFF\xFF\xFF\xFF", {0x00, 0x00, 0x00}}}) {
        ByteBuffer out{0x01}, expected{0x01};
        decodeBase64(text, out);
        expected.append(bytes);
        EXPECT_EQ(out, expected) << '"' << text << '"';
    }
    ByteBuffer all, back;  // every sextet value, both ways
    for (int i = 0; i < 256; ++i) all.append(static_cast<std::uint8_t>(i));
    decodeBase64(encodeBase64(all), back);
    EXPECT_EQ(back, all);
    EXPECT_EQ(hexDump(ByteBuffer{0xFC, 0x0a, 0x00}) + "|" + hexDump(ByteBuffer{}), "FC 0A 00 |");
    EXPECT_EQ(toDecimal(0) + " " + toDecimal(102) + " " + toDecimal(4294967295u), "0 102 4294967295");
    std::uint32_t v = 77;
    EXPECT_TRUE(fromDecimal("9600", v) && v == 9600u && fromDecimal("4294967295", v) && v == 4294967295u);
    for (const char* bad : {"", "-1", "+1", " 8", "8 ", "96 00", "x", "0x10", "1e3", "4294967296", "99999999999"}) {
        EXPECT_FALSE(fromDecimal(bad, v = 77)) << '"' << bad << '"';
        EXPECT_EQ(v, 77u) << "untouched by \"" << bad << '"';
    }
}

TEST(CommMessage, RequestAndResponseTextsByteForByte) {
    EXPECT_EQ(openRequest("COM1", 9600).serialize(),
              "COMM_LK207/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod: Open\r\n\r\n");
    EXPECT_EQ(commandRequest(ByteBuffer{0xFC, 0x05, 0x11}).serialize(),
              "COMM_LK207/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n");
    EXPECT_EQ(closeRequest().serialize(), "COMM_LK207/1.0\r\nMethod: Close\r\n\r\n");
    ByteBuffer largest;
    for (int i = 0; i < 253; ++i) largest.append(static_cast<std::uint8_t>(i));
    EXPECT_EQ(commandRequest(largest).serialize().size(), 1176u);
    CommMessage ok(comm::kStatusOk), failed(comm::kStatusProtocolError), order("X");
    ok.headers = {{comm::kArgument0, "5"}, {comm::kArgument1, "/AVQqgU="}};
    failed.headers = {{comm::kArgument0, "102"}};
    EXPECT_EQ(ok.serialize(), "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n");
    EXPECT_EQ(failed.serialize(), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    EXPECT_EQ(CommMessage(comm::kStatusMemoryFailure).serialize(), "COMM_LK207/1.0 401 Memory Failure\r\n\r\n");
    order.headers = {{"method", "m"}, {"Method", "M"}, {"Empty", ""}, {"\xC3x", "h"}, {"Argument0", "0"}, {"A", "a"}};
    EXPECT_EQ(order.serialize(), "X\r\nA: a\r\nArgument0: 0\r\nMethod: M\r\nmethod: m\r\n\xC3x: h\r\n\r\n");
}

TEST(CommMessage, ParseRules) {
    auto parsed = [](const std::string& text) {  // "first line|name|version|header=value|..."
        CommMessage m;
        m.parse(text);
        std::string s = m.firstLine + "|" + m.protocolName + "|" + m.protocolVersion;
        for (const auto& [name, value] : m.headers) s += "|" + name + "=" + value;
        return s;
    };
    EXPECT_EQ(parsed("COMM_LK207/1.0 403 Protcol Error\nArgument0: 105\n\n"),
              "COMM_LK207/1.0 403 Protcol Error|COMM_LK207|1.0|Argument0=105|ResultCode=403"
              "|ResultMessage=Protcol Error");
    EXPECT_EQ(parsed("COMM_LK207/1.0\r\nMethod: Close\r\n\r\n"), "COMM_LK207/1.0|COMM_LK207|1.0|Method=Close");
    EXPECT_EQ(parsed("COMM_LK207/1.0 200\r\n\r\n"), "COMM_LK207/1.0 200|COMM_LK207|1.0");
    EXPECT_EQ(parsed("HELLO THERE 200 OK\r\n") + parsed("") + parsed("X\r\r\n"), "HELLO THERE 200 OK||||X\r||");
    EXPECT_EQ(parsed("\r\n\r\nA/1 200 OK\r\nResultCode: 500\r\nArgument0: \t 7 \t\r\nArgument1 : x\r\nMethod: Open\r\n"
                     "Method: Close\r\nno colon\r\n\r\nArgument2: after the empty line\r\nBlank: \t \r\n"
                     "Colons: a:b: c\r\nCr: v\r\r\nLast: no line end"),
              "A/1 200 OK|A|1|Argument0=7|Argument1 =x|Argument2=after the empty line|Blank=|Colons=a:b: c|Cr=v"
              "|Last=no line end|Method=Open|ResultCode=200|ResultMessage=OK");
}
