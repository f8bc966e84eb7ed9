// Host tests: the request and response texts byte for byte, and every rule of the tolerant parser.
#include <gtest/gtest.h>

#include "CommMessage.h"
#include "LinkRequests.h"
#include "TextCodec.h"

namespace {

CommMessage parsed(const std::string& text) {
    CommMessage m;
    m.parse(text);
    return m;
}

}  // namespace

TEST(CommMessageSerialize, OpenRequestIs80Bytes) {
    const std::string text = openRequest("COM1", 9600).serialize();
    EXPECT_EQ(text,
              "COMM_LK207/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod: Open\r\n\r\n");
    EXPECT_EQ(text.size(), 80u);
}

TEST(CommMessageSerialize, CommandRequestIs88Bytes) {
    const std::string text = commandRequest(ByteBuffer{0xFC, 0x05, 0x11}).serialize();
    EXPECT_EQ(text,
              "COMM_LK207/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n");
    EXPECT_EQ(text.size(), 88u);
}

TEST(CommMessageSerialize, LargestCommandRequestIs1176Bytes) {
    ByteBuffer frame;
    for (int i = 0; i < 253; ++i) frame.append(static_cast<std::uint8_t>(i));
    EXPECT_EQ(commandRequest(frame).serialize().size(), 1176u);
}

TEST(CommMessageSerialize, CloseRequestAndResponses) {
    EXPECT_EQ(closeRequest().serialize(), "COMM_LK207/1.0\r\nMethod: Close\r\n\r\n");
    EXPECT_EQ(closeRequest().serialize().size(), 33u);

    CommMessage ok(comm::kStatusOk);
    ok.header(comm::kArgument0) = "5";
    ok.header(comm::kArgument1) = "/AVQqgU=";
    EXPECT_EQ(ok.serialize(), "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n");
    EXPECT_EQ(ok.serialize().size(), 60u);

    CommMessage failed(comm::kStatusProtocolError);
    failed.header(comm::kArgument0) = "102";
    EXPECT_EQ(failed.serialize(), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    EXPECT_EQ(failed.serialize().size(), 52u);

    EXPECT_EQ(CommMessage(comm::kStatusOk).serialize().size(), 25u);
}

TEST(CommMessageSerialize, EmptyValuesMakeNoLinesAndNamesComeInByteOrder) {
    CommMessage m("X");
    m.header("Method");
    m.header("Argument1") = "";
    EXPECT_EQ(m.serialize(), "X\r\n\r\n");

    CommMessage order("X");
    order.header("method") = "lower";
    order.header("Method") = "M";
    order.header("Argument2") = "2";
    order.header("Argument") = "p";
    order.header("Argument0") = "0";
    order.header("\xC3x") = "high";
    EXPECT_EQ(order.serialize(),
              "X\r\nArgument: p\r\nArgument0: 0\r\nArgument2: 2\r\nMethod: M\r\nmethod: lower\r\n\xC3x: high\r\n\r\n");
}

TEST(CommMessageParse, WorkedResponseExample) {
    CommMessage m = parsed("COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n");
    EXPECT_EQ(m.firstLine, "COMM_LK207/1.0 200 OK");
    EXPECT_EQ(m.protocolName, "COMM_LK207");
    EXPECT_EQ(m.protocolVersion, "1.0");
    EXPECT_EQ(m.header("Argument0"), "5");
    EXPECT_EQ(m.header("Argument1"), "/AVQqgU=");
    EXPECT_EQ(m.header("ResultCode"), "200");
    EXPECT_EQ(m.header("ResultMessage"), "OK");
}

TEST(CommMessageParse, FailureAnswersSplitCodeAndMessage) {
    CommMessage m = parsed("COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    EXPECT_EQ(m.header("ResultCode"), "403");
    EXPECT_EQ(m.header("ResultMessage"), "Protcol Error");
    EXPECT_EQ(m.header("Argument0"), "102");
    CommMessage mem = parsed("COMM_LK207/1.0 401 Memory Failure\r\n\r\n");
    EXPECT_EQ(mem.header("ResultCode"), "401");
    EXPECT_EQ(mem.header("ResultMessage"), "Memory Failure");
}

TEST(CommMessageParse, FirstLineVariants) {
    CommMessage request = parsed("COMM_LK207/1.0\r\nMethod: Close\r\n\r\n");
    EXPECT_EQ(request.protocolName, "COMM_LK207");
    EXPECT_EQ(request.protocolVersion, "1.0");
    EXPECT_EQ(request.headers.count("ResultCode"), 0u);
    EXPECT_EQ(request.header("Method"), "Close");

    CommMessage noMessage = parsed("COMM_LK207/1.0 200\r\n\r\n");
    EXPECT_EQ(noMessage.protocolVersion, "1.0");
    EXPECT_EQ(noMessage.headers.count("ResultCode"), 0u);

    CommMessage noSlash = parsed("HELLO THERE 200 OK\r\n");
    EXPECT_EQ(noSlash.firstLine, "HELLO THERE 200 OK");
    EXPECT_EQ(noSlash.protocolName, "");
    EXPECT_EQ(noSlash.headers.count("ResultCode"), 0u);

    CommMessage empty = parsed("");
    EXPECT_EQ(empty.firstLine, "");
    EXPECT_EQ(empty.header("ResultCode"), "");
}

TEST(CommMessageParse, StatusLineWinsOverHeaderLines) {
    CommMessage m = parsed("COMM_LK207/1.0 200 OK\r\nResultCode: 500\r\nResultMessage: no\r\n\r\n");
    EXPECT_EQ(m.header("ResultCode"), "200");
    EXPECT_EQ(m.header("ResultMessage"), "OK");
}

TEST(CommMessageParse, HeaderLineRules) {
    CommMessage m = parsed(
        "\r\n\r\nCOMM_LK207/1.0\r\n"
        "Argument0: \t 7 \t\r\n"
        "Argument1 : x\r\n"
        "Method: Open\r\n"
        "Method: Close\r\n"
        "no colon here\r\n"
        "\r\n"
        "Argument2: after the empty line\r\n"
        "Blank: \t \r\n"
        "Colons: a:b: c\r\n"
        "Last: no line end");
    EXPECT_EQ(m.firstLine, "COMM_LK207/1.0");
    EXPECT_EQ(m.header("Argument0"), "7");
    EXPECT_EQ(m.header("Argument1 "), "x");
    EXPECT_EQ(m.headers.count("Argument1"), 0u);
    EXPECT_EQ(m.header("Method"), "Open");
    EXPECT_EQ(m.header("Argument2"), "after the empty line");
    EXPECT_EQ(m.headers.count("Blank"), 1u);
    EXPECT_EQ(m.header("Blank"), "");
    EXPECT_EQ(m.header("Colons"), "a:b: c");
    EXPECT_EQ(m.header("Last"), "no line end");
    EXPECT_EQ(m.headers.count("no colon here"), 0u);
}

TEST(CommMessageParse, LineFeedOnlyParsesLikeCrLf) {
    const std::string crlf = "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 105\r\nArgument1: x\r\n\r\n";
    const std::string lf = "COMM_LK207/1.0 403 Protcol Error\nArgument0: 105\nArgument1: x\n\n";
    EXPECT_EQ(parsed(crlf).headers, parsed(lf).headers);
    EXPECT_EQ(parsed(crlf).firstLine, parsed(lf).firstLine);
    // Only one trailing CR is removed; a CR inside a value is trimmed away with it.
    EXPECT_EQ(parsed("X\r\r\nA: v\r\r\n").header("A"), "v");
    EXPECT_EQ(parsed("X\r\r\n").firstLine, "X\r");
}

TEST(CommMessageParse, SerializedTextParsesBack) {
    CommMessage m = commandRequest(ByteBuffer{0xFC, 0x0B, 0xD2, 0, 0, 0, 0, 0, 0});
    CommMessage back = parsed(m.serialize());
    EXPECT_EQ(back.header("Argument0"), "9");
    EXPECT_EQ(back.header("Argument1"), m.header("Argument1"));
    EXPECT_EQ(back.header("Argument2"), "FC 0B D2 00 00 00 00 00 00");  // the receiver trims the trailing space
    EXPECT_EQ(back.header("Method"), "Command");
}
