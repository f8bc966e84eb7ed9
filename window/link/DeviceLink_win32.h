// DeviceLink: the dialog's handle on the unit: connects through the driver library and carries polls and commands to the link worker.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ByteBuffer.h"

class LinkWorker;

class DeviceLink {
public:
    DeviceLink();
    ~DeviceLink();  // stops the worker, then destroys it
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Used only while not connected: replaces a stopped worker with a new one for `window` and starts it
    // (loads lk207.dll from the executable's folder, opens the port, starts the worker thread).
    bool connect(HWND window, const std::string& portName, std::uint32_t baudRate);
    void enablePolling();                      // EnableComm, with a wake pulse
    void disablePolling();                     // DisableComm, with a wake pulse
    bool pollOnce();                           // Polling, without a wake pulse
    bool postCommand(const ByteBuffer& frame); // Command with a heap copy of `frame`, with a wake pulse
    void disconnect();                         // ends the worker, then Close and unload
    bool isConnected() const;

private:
    std::unique_ptr<LinkWorker> worker_;
};
