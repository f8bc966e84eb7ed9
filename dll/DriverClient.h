// DriverClient: the window's only contact with the driver library: binds it, sends the Open, Close and Command
// requests, and keeps the results of the last requests in a map; as a frame channel, a Command and what its answer
// names. It knows nothing of threads: its owner (LinkWorker) uses it from one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ByteBuffer.h"
#include "CommMessage.h"
#include "DriverLibrary.h"
#include "FrameChannel.h"

namespace driverclient {
// Result names.
constexpr const char* kResultCode = "ResultCode";
constexpr const char* kResultMessage = "ResultMessage";
constexpr const char* kErrorCode = "ErrorCode";
constexpr const char* kResponseLength = "ResponseLength";
constexpr const char* kResponseText = "ResponseText";
constexpr const char* kOpenResultPrefix = "Result = ";
}  // namespace driverclient

class DriverClient : public FrameChannel {
public:
    using DebugSink = std::function<void(const std::string&)>;

    // `debug` receives the "Result = " text of each Open (the window: the mailslot "Debug_QBV_DOWNLOAD").
    explicit DriverClient(std::unique_ptr<DriverLibrary> library, DebugSink debug = DebugSink());
    ~DriverClient() override;  // if bound: unload, then release the file
    DriverClient(const DriverClient&) = delete;
    DriverClient& operator=(const DriverClient&) = delete;

    // Loads the file, finds its three exports and calls `load`. False when the file or an export is missing
    // (nothing stays loaded) or when `load` answers false (the file stays loaded until unbind or destruction).
    bool bind(const std::string& path);
    // Calls `unload` and releases the file; answers the release's result (false when nothing was bound).
    bool unbind();
    bool isBound() const { return bound_; }

    // The Open request; false only when nothing is bound. Success is result("ResultCode") == "200".
    bool openPort(const std::string& portName, std::uint32_t baudRate);
    // The Close request; nothing when nothing is bound.
    void closePort();
    // The Command request. True exactly when the answer's ResultCode is "200"; `frame` then holds the unit's
    // whole reply frame. Otherwise `frame` is unchanged.
    bool sendCommand(ByteBuffer& frame);
    // The Command request as one exchange: the reply on "200"; otherwise what the answer's reason code names.
    FrameReply exchange(const ByteBuffer& command) override;

    // A copy of the result stored under `name`; the empty text when there is none.
    std::string result(const std::string& name) const;

private:
    CommMessage call(const CommMessage& request);
    void setOpenCloseResults(CommMessage& response);

    std::unique_ptr<DriverLibrary> library_;
    DebugSink debug_;
    bool bound_ = false;
    std::map<std::string, std::string> results_;
};
