// DriverClient: request texts in, results out; the results map is overwritten entry by entry, never cleared.
#include "DriverClient.h"

#include "Base64.h"
#include "RequestTexts.h"

using namespace driverclient;

DriverClient::DriverClient(std::unique_ptr<DriverLibrary> library, DebugSink debug)
    : library_(std::move(library)), debug_(std::move(debug)) {}

DriverClient::~DriverClient() {
    if (bound_) {
        library_->unload();
        library_->release();
    }
}

bool DriverClient::bind(const std::string& path) {
    if (bound_ || !library_) return false;  // one library per client
    if (!library_->open(path)) return false;
    bound_ = true;  // the file stays loaded from here on, also when `load` answers false
    return library_->load();
}

bool DriverClient::unbind() {
    if (!bound_) return false;
    library_->unload();
    bound_ = false;
    return library_->release();
}

CommMessage DriverClient::call(const CommMessage& request) {
    CommMessage response;
    response.parse(library_->request(request.serialize()));
    return response;
}

void DriverClient::setOpenCloseResults(CommMessage& response) {
    results_[kResultCode] = response.header(comm::kResultCode);
    results_[kResultMessage] = response.header(comm::kResultMessage);
    results_[kErrorCode] = response.header(comm::kArgument0);
}

bool DriverClient::openPort(const std::string& portName, std::uint32_t baudRate) {
    if (!bound_) return false;
    CommMessage response = call(openRequest(portName, baudRate));
    setOpenCloseResults(response);
    if (debug_) debug_(kOpenResultPrefix + response.serialize() + "\n");
    return true;
}

void DriverClient::closePort() {
    if (!bound_) return;
    CommMessage response = call(closeRequest());
    setOpenCloseResults(response);
}

bool DriverClient::sendCommand(ByteBuffer& frame) {
    if (!bound_) return false;
    CommMessage response = call(commandRequest(frame));
    const std::string code = response.header(comm::kResultCode);
    results_[kResultCode] = code;
    results_[kResultMessage] = response.header(comm::kResultMessage);
    if (code == comm::kCodeOk) {
        results_[kResponseLength] = response.header(comm::kArgument0);
        results_[kResponseText] = response.header(comm::kArgument1);
        frame.clear();
        decodeBase64(response.header(comm::kArgument1), frame);
        return true;
    }
    results_[kErrorCode] = response.header(comm::kArgument0);
    return false;
}

FrameReply DriverClient::exchange(const ByteBuffer& command) {
    ByteBuffer frame = command;
    if (sendCommand(frame)) return {ExchangeResult::Reply, frame};
    return {failureOfReason(result(kErrorCode)), ByteBuffer()};
}

std::string DriverClient::result(const std::string& name) const {
    const auto it = results_.find(name);
    return it == results_.end() ? std::string() : it->second;
}
