// LinkWorkerCore: what the link worker thread decides for each message it takes and on each turn,
// free of threads and windows. The Windows worker (LinkWorker::run) takes the messages from its queue and hands
// them here; the core makes the requests through the DriverClient and posts the answers through a LinkOutlet.
// It runs on the worker thread only: it is the one user of the DriverClient while the worker exists.
#pragma once

#include <string>

#include "ByteBuffer.h"
#include "DriverClient.h"

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
    LinkWorkerCore(DriverClient& client, LinkOutlet& outlet) : client_(client), outlet_(outlet) {}

    // Step 1 of a turn: one message taken from the queue. For Command, `commandBuffer` is the posted buffer,
    // which the core takes over (and frees); it is ignored for every other message. False for ExitThread:
    // the worker's loop ends and nothing else of the turn is done.
    bool take(WorkerMessage message, ByteBuffer* commandBuffer);
    // Step 2 of a turn: one poll when polling is enabled.
    void pollIfEnabled();
    // One status poll: StatusUpdate on success, an empty Alarm on a failure with a decimal ErrorCode, else nothing.
    void poll();

    PollingMode pollingMode() const { return pollingMode_; }

private:
    void exchangeCommand(ByteBuffer* posted);
    bool failureHasDecimalErrorCode() const;
    void postCopy(WindowMessage message, const ByteBuffer& bytes);

    DriverClient& client_;
    LinkOutlet& outlet_;
    PollingMode pollingMode_ = PollingMode::Initial;
};
