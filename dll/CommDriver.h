// CommDriver: the driver library's one state object: turns request texts into answers over at most one held port.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "BytePort.h"
#include "CommMessage.h"
#include "FrameExchange.h"

class CommDriver {
public:
    // Makes the byte port of a new frame exchange; returns null when none can be made.
    using PortFactory = std::function<std::unique_ptr<BytePort>()>;
    // Receives each request text and each answer (lk207.dll: the mailslot "DebugComm_lk207").
    using DebugSink = std::function<void(const std::string&)>;

    explicit CommDriver(PortFactory makePort, DebugSink debug = DebugSink());
    ~CommDriver();  // releases a port that is still held
    CommDriver(const CommDriver&) = delete;
    CommDriver& operator=(const CommDriver&) = delete;

    // The whole answer to one request text; empty for an unrecognised or missing "Method".
    std::string dispatch(const std::string& requestText);

private:
    std::string handleOpen(CommMessage& request);
    std::string handleClose();
    std::string handleCommand(CommMessage& request);
    void releasePort();

    PortFactory makePort_;
    DebugSink debug_;
    std::unique_ptr<FrameExchange> heldPort_;
};
