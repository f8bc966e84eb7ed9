// UnitAnswer: the one rule that turns an exchange with the unit into the download procedure's next input. The
// window's worker posts it as a message; every other shell hands it to the procedure directly.
#pragma once

#include "ByteBuffer.h"
#include "FrameChannel.h"

// What was asked of the unit.
enum class UnitRequest { StatusPoll, Command };

struct UnitAnswer {
    enum class Kind {
        StatusUpdate,  // the unit's reply to a status poll
        Response,      // the unit's reply to a command frame
        Alarm,         // the exchange failed: the command frame sent, or nothing for a poll
        None,          // the request was refused without an exchange: no answer comes, the unit is stalled
    };
    Kind kind = Kind::None;
    ByteBuffer bytes;
};

// The answer to one exchange: a reply is the unit's status (poll) or response (command); a failed exchange is an
// alarm that hands a command's frame back and is empty for a poll; a refused request gives no answer at all.
UnitAnswer answerTo(UnitRequest request, const ByteBuffer& sent, const FrameReply& reply);
// One status poll through `channel`, and its answer.
UnitAnswer answerToPoll(FrameChannel& channel);
// One command frame (without check bytes) through `channel`, and its answer.
UnitAnswer answerToCommand(FrameChannel& channel, const ByteBuffer& frame);
