// LinkWorkerCore: what the link worker thread decides for each message it takes and on each turn, free of threads
// and windows. The Windows worker (LinkWorker::run) takes the messages from its queue and hands them here; the core
// exchanges frames through a frame channel (the DriverClient) and posts the answers through a LinkOutlet. It runs on
// the worker thread only: it is the one user of the channel while the worker exists.
#pragma once

#include <string>

#include "ByteBuffer.h"
#include "FrameChannel.h"
#include "UnitAnswer.h"

// The thread messages the worker understands (to the worker), by meaning.
enum class WorkerMessage { ExitThread, EnableComm, DisableComm, Command, Polling, Other };
// The window messages the worker posts (to the dialog), by meaning.
enum class WindowMessage { StatusUpdate, Response, Alarm };

enum class PollingMode : int { Initial = 0, Enabled = 1, Disabled = 2 };

namespace linktext {
constexpr const char* kEnable = "Enable Message \r";
constexpr const char* kDisable = "Disable Message \r";
constexpr const char* kCommand = "Command Message \r";
constexpr const char* kPolling = "Polling Message \r";
}  // namespace linktext

// Where the core's answers and debug texts go.
class LinkOutlet {
public:
    virtual ~LinkOutlet() = default;
    // Posts a buffer made by allocatePostedBuffer. True when the post succeeded: the receiver owns the buffer now.
    // False leaves the buffer with the caller, which frees it.
    virtual bool post(WindowMessage message, ByteBuffer* buffer) = 0;
    virtual void debug(const std::string& text) = 0;
};

class LinkWorkerCore {
public:
    LinkWorkerCore(FrameChannel& channel, LinkOutlet& outlet) : channel_(channel), outlet_(outlet) {}

    // Step 1 of a turn: one message taken from the queue. For Command, `commandBuffer` is the posted buffer,
    // which the core takes over (and frees); it is ignored for every other message. False for ExitThread:
    // the worker's loop ends and nothing else of the turn is done.
    bool take(WorkerMessage message, ByteBuffer* commandBuffer);
    // Step 2 of a turn: one poll when polling is enabled.
    void pollIfEnabled();
    // One status poll, its answer posted.
    void poll();

private:
    void exchangeCommand(ByteBuffer* posted);
    // StatusUpdate, Response or Alarm with a heap copy of the answer's bytes; nothing for an answer that never came.
    void post(const UnitAnswer& answer);

    FrameChannel& channel_;
    LinkOutlet& outlet_;
    PollingMode pollingMode_ = PollingMode::Initial;
};
