// CommDriver: dispatch of Open, Close and Command requests and the answers they get.
#include "CommDriver.h"

#include <new>
#include <utility>

#include "DebugMailslot.h"
#include "TextCodec.h"

namespace {

std::string statusOnly(const char* statusLine) {
    return CommMessage(statusLine).serialize();
}

}  // namespace

CommDriver::CommDriver(PortFactory makePort) : makePort_(std::move(makePort)) {}

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
    DebugMailslot::send(debugslot::kDriverSlot, requestText);

    CommMessage request;
    request.parse(requestText);
    const std::string method = request.header(comm::kMethod);
    std::string response;
    if (method == comm::kMethodOpen) {
        response = handleOpen(request);
    } else if (method == comm::kMethodClose) {
        response = handleClose(request);
    } else if (method == comm::kMethodCommand) {
        response = handleCommand(request);
    }

    DebugMailslot::send(debugslot::kDriverSlot, response);
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
        if (line) heldPort_ = std::make_unique<FramePort>(std::move(line));
    } catch (const std::bad_alloc&) {
        heldPort_.reset();
    }
    if (!heldPort_) return statusOnly(comm::kStatusMemoryFailure);

    // A port that fails to open stays held until the next Close; Commands on it fail to write.
    const bool opened = heldPort_->open(portName, baudRate, static_cast<std::uint8_t>(dataBits & 0xFF));
    return statusOnly(opened ? comm::kStatusOk : comm::kStatusMemoryFailure);
}

std::string CommDriver::handleClose(CommMessage&) {
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
    ByteBuffer reply;
    const int result = heldPort_->exchange(command, reply);

    if (result == ExchangeOk) {
        CommMessage answer(comm::kStatusOk);
        answer.header(comm::kArgument0) = toDecimal(static_cast<std::uint32_t>(reply.size()));
        answer.header(comm::kArgument1) = encodeBase64(reply);
        return answer.serialize();
    }
    CommMessage answer(comm::kStatusProtocolError);
    answer.header(comm::kArgument0) = toDecimal(static_cast<std::uint32_t>(result));
    return answer.serialize();
}
