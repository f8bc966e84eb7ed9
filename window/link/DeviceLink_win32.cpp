// DeviceLink: the dialog's side of the link; every call runs on the window thread.
#include "DeviceLink_win32.h"

#include "LinkWorker_win32.h"
#include "PostedBuffer.h"

DeviceLink::DeviceLink() = default;

DeviceLink::~DeviceLink() {
    if (worker_) worker_->stop();
    worker_.reset();
}

bool DeviceLink::connect(HWND window, const std::string& portName, std::uint32_t baudRate) {
    if (isConnected()) return false;  // the dialog checks first; a standing connection is left untouched
    worker_.reset();                  // a worker left from a failed connect or a disconnect has no thread
    worker_ = std::make_unique<LinkWorker>(window);
    return worker_->start(portName, baudRate);
}

void DeviceLink::enablePolling() {
    if (!isConnected()) return;
    worker_->post(WorkerMessage::EnableComm, 0);
    worker_->wake();
}

void DeviceLink::disablePolling() {
    if (!isConnected()) return;
    worker_->post(WorkerMessage::DisableComm, 0);
    worker_->wake();
}

bool DeviceLink::pollOnce() {
    return isConnected() && worker_->post(WorkerMessage::Polling, 0);
}

bool DeviceLink::postCommand(const ByteBuffer& frame) {
    if (!isConnected()) return false;
    ByteBuffer* buffer = allocatePostedBuffer(frame);
    if (buffer == nullptr) return false;
    if (!worker_->post(WorkerMessage::Command, reinterpret_cast<LPARAM>(buffer))) {
        freePostedBuffer(buffer);  // not posted: still ours
        return false;
    }
    worker_->wake();
    return true;
}

void DeviceLink::disconnect() {
    if (worker_) worker_->stop();
}

bool DeviceLink::isConnected() const {
    return worker_ && worker_->connected();
}
