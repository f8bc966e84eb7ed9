// FrameChannel: one exchange with the unit: a command frame goes out, its reply frame or the reason there is none
// comes back. The serial line's frame exchange is one; the window's path through lk207.dll is another.
#pragma once

#include "ByteBuffer.h"

// How one exchange ended, from the serial line up to every shell.
enum class ExchangeResult {
    Reply,          // a complete reply frame arrived with matching check bytes
    NoReply,        // the line fell silent before the reply frame was complete
    BadCheckBytes,  // a complete reply frame arrived with wrong check bytes
    SendFailed,     // the command frame could not be written; nothing was read
    LineGone,       // the line's device went away during the exchange (unplugged), not merely silent
    OtherFailure,   // the driver library reported a failed exchange under a reason this tool does not know
    Refused,        // the driver library answered without exchanging: no port held, or a request it could not read
};

struct FrameReply {
    ExchangeResult result = ExchangeResult::NoReply;
    ByteBuffer frame;  // the unit's whole reply frame, check bytes included; empty unless the result is Reply
};

class FrameChannel {
public:
    virtual ~FrameChannel() = default;
    // Sends `command` (a frame without its check bytes) and collects the unit's reply.
    virtual FrameReply exchange(const ByteBuffer& command) = 0;
};
