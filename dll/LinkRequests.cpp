// The Open, Close and Command request messages, with their headers filled in.
#include "LinkRequests.h"

#include "TextCodec.h"

CommMessage openRequest(const std::string& portName, std::uint32_t baudRate) {
    CommMessage m(comm::kProtocolToken);
    m.header(comm::kMethod) = comm::kMethodOpen;
    m.header(comm::kArgument0) = portName;
    m.header(comm::kArgument1) = toDecimal(baudRate);
    m.header(comm::kArgument2) = kDataBitsText;
    return m;
}

CommMessage closeRequest() {
    CommMessage m(comm::kProtocolToken);
    m.header(comm::kMethod) = comm::kMethodClose;
    return m;
}

CommMessage commandRequest(const ByteBuffer& frame) {
    CommMessage m(comm::kProtocolToken);
    m.header(comm::kMethod) = comm::kMethodCommand;
    m.header(comm::kArgument0) = toDecimal(static_cast<std::uint32_t>(frame.size()));
    m.header(comm::kArgument1) = encodeBase64(frame);
    m.header(comm::kArgument2) = hexDump(frame);
    return m;
}
