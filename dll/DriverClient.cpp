// DriverClient: request texts in, results out; the results map is overwritten entry by entry, never cleared.
#include "DriverClient.h"

#include "DebugMailslot.h"
#include "LinkRequests.h"
#include "TextCodec.h"

using namespace driverclient;

DriverClient::DriverClient(std::unique_ptr<DriverLibrary> library, DebugSink debug)
    : library_(std::move(library)), debug_(std::move(debug)) {
    if (!debug_) {
        debug_ = [](const std::string& text) { DebugMailslot::send(debugslot::kToolSlot, text); };
    }
}

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

CommMessage DriverClient::exchange(const CommMessage& request) {
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
    CommMessage response = exchange(openRequest(portName, baudRate));
    setOpenCloseResults(response);
    debug_(kOpenResultPrefix + response.serialize() + "\n");
    return true;
}

void DriverClient::closePort() {
    if (!bound_) return;
    CommMessage response = exchange(closeRequest());
    setOpenCloseResults(response);
}

bool DriverClient::sendCommand(ByteBuffer& frame) {
    if (!bound_) return false;
    CommMessage response = exchange(commandRequest(frame));
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

std::string DriverClient::result(const std::string& name) const {
    const auto it = results_.find(name);
    return it == results_.end() ? std::string() : it->second;
}
