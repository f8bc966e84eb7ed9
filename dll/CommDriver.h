// CommDriver: the driver library's one state object; turns request texts into answers over at most one held port.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "BytePort.h"
#include "CommMessage.h"
#include "FramePort.h"

class CommDriver {
public:
    // Makes the byte port of a new FramePort; returns null when none can be made.
    using PortFactory = std::function<std::unique_ptr<BytePort>()>;

    explicit CommDriver(PortFactory makePort);
    virtual ~CommDriver();  // releases a port that is still held
    CommDriver(const CommDriver&) = delete;
    CommDriver& operator=(const CommDriver&) = delete;

    // The whole answer to one request text; empty for an unrecognised or missing "Method".
    std::string dispatch(const std::string& requestText);

    std::string handleOpen(CommMessage& request);
    std::string handleClose(CommMessage& request);
    std::string handleCommand(CommMessage& request);

    bool holdsPort() const { return heldPort_ != nullptr; }

private:
    void releasePort();

    PortFactory makePort_;
    std::unique_ptr<FramePort> heldPort_;
};
