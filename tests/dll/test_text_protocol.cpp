// Host tests of the driver library's text protocol: base64, the request and response texts byte for byte, their
// parsing, and the reason codes of a failed exchange both ways.
#include <gtest/gtest.h>

#include "Base64.h"
#include "RequestTexts.h"

TEST(Base64, EncodesStandardAndDecodesTolerantly) {
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

TEST(ReasonCodes, APlainDecimalNamesAFailedExchangeAnythingElseARefusal) {
    const std::pair<const char*, ExchangeResult> rows[] = {
        {"102", ExchangeResult::NoReply}, {"105", ExchangeResult::BadCheckBytes}, {"107", ExchangeResult::SendFailed},
        {"101", ExchangeResult::OtherFailure}, {"0", ExchangeResult::OtherFailure},
        {"999", ExchangeResult::OtherFailure},
        {"", ExchangeResult::Refused}, {"x1", ExchangeResult::Refused}, {"-1", ExchangeResult::Refused},
        {"1 2", ExchangeResult::Refused}, {"4294967296", ExchangeResult::Refused}};
    for (const auto& [code, result] : rows) EXPECT_EQ(failureOfReason(code), result) << '"' << code << '"';
    for (const ExchangeResult result :
         {ExchangeResult::NoReply, ExchangeResult::BadCheckBytes, ExchangeResult::SendFailed})
        EXPECT_EQ(failureOfReason(std::to_string(reasonCodeOf(result))), result);
}
