// CommDriver: dispatch of Open, Close and Command requests and the answers they get.
#include "CommDriver.h"

#include <new>
#include <utility>

#include "Base64.h"
#include "RequestTexts.h"
#include "TextCodec.h"

namespace {

std::string statusOnly(const char* statusLine) {
    return CommMessage(statusLine).serialize();
}

}  // namespace

CommDriver::CommDriver(PortFactory makePort, DebugSink debug)
    : makePort_(std::move(makePort)), debug_(std::move(debug)) {}

CommDriver::~CommDriver() {
    releasePort();
}

void CommDriver::releasePort() {
    if (heldPort_) {
        heldPort_->close();
        heldPort_.reset();
    }
}

std::string CommDriver::dispatch(const std::string& requestText) {
    if (debug_) debug_(requestText);

    CommMessage request;
    request.parse(requestText);
    const std::string method = request.header(comm::kMethod);
    std::string response;
    if (method == comm::kMethodOpen) {
        response = handleOpen(request);
    } else if (method == comm::kMethodClose) {
        response = handleClose();
    } else if (method == comm::kMethodCommand) {
        response = handleCommand(request);
    }

    if (debug_) debug_(response);
    return response;
}

std::string CommDriver::handleOpen(CommMessage& request) {
    const std::string portName = request.header(comm::kArgument0);
    std::uint32_t baudRate = 0;
    std::uint32_t dataBits = 0;
    if (!fromDecimal(request.header(comm::kArgument1), baudRate) ||
        !fromDecimal(request.header(comm::kArgument2), dataBits)) {
        return statusOnly(comm::kStatusMemoryFailure);
    }

    // A port still held from an earlier Open is closed first, so that the same device can be opened again.
    releasePort();
    try {
        std::unique_ptr<BytePort> line = makePort_ ? makePort_() : nullptr;
        if (line) heldPort_ = std::make_unique<FrameExchange>(std::move(line));
    } catch (const std::bad_alloc&) {
        heldPort_.reset();
    }
    if (!heldPort_) return statusOnly(comm::kStatusMemoryFailure);

    // A port that fails to open stays held until the next Close; Commands on it fail to write.
    const bool opened = heldPort_->open(portName, baudRate, static_cast<std::uint8_t>(dataBits & 0xFF));
    return statusOnly(opened ? comm::kStatusOk : comm::kStatusMemoryFailure);
}

std::string CommDriver::handleClose() {
    releasePort();
    return statusOnly(comm::kStatusOk);
}

std::string CommDriver::handleCommand(CommMessage& request) {
    std::uint32_t commandBytes = 0;  // the caller's byte count; not used beyond its check
    if (!heldPort_ || !fromDecimal(request.header(comm::kArgument0), commandBytes)) {
        return statusOnly(comm::kStatusMemoryFailure);
    }

    ByteBuffer command;
    decodeBase64(request.header(comm::kArgument1), command);
    const FrameReply reply = heldPort_->exchange(command);

    if (reply.result == ExchangeResult::Reply) {
        CommMessage answer(comm::kStatusOk);
        answer.header(comm::kArgument0) = toDecimal(static_cast<std::uint32_t>(reply.frame.size()));
        answer.header(comm::kArgument1) = encodeBase64(reply.frame);
        return answer.serialize();
    }
    CommMessage answer(comm::kStatusProtocolError);
    answer.header(comm::kArgument0) = toDecimal(reasonCodeOf(reply.result));
    return answer.serialize();
}
