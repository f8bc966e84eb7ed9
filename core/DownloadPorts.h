// What the download procedure asks of the device link and of the window; the dialog implements both.
#pragma once

#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "DownloadOutcome.h"
#include "OutcomeBoxes.h"

// The device link as the procedure uses it. Answers come back later through the window's messages
// (StatusUpdate, Response, Alarm), which the window hands to the procedure.
class DownloadLink {
public:
    virtual ~DownloadLink() = default;

    virtual bool isConnected() const = 0;
    // The window's connect routine: opens the link with the selected port and baud rate, and shows the
    // string-133 box itself when that fails. True when the link is open afterwards.
    virtual bool connect() = 0;
    virtual void disablePolling() = 0;                     // DisableComm: no more automatic polls
    virtual void pollOnce() = 0;                           // Polling: one StatusRequest
    virtual void postCommand(const ByteBuffer& frame) = 0; // Command: one frame, without check bytes
    virtual void disconnect() = 0;                         // ends the worker after what is queued, closes the port
};

// The window as the procedure uses it.
class DownloadView {
public:
    virtual ~DownloadView() = default;

    virtual void setStatusText(const std::string& text) = 0;  // control 1004
    virtual void setProgress(std::uint32_t position) = 0;     // PBM_SETPOS to control 1005, lParam 0
    virtual void disableControls() = 0;                       // 1006, 1001, 1000, 1002, 1003
    virtual void enableControls() = 0;                        // the same five
    virtual void showBox(const OutcomeBox& box) = 0;          // modal MessageBoxA, owner the dialog; returns once closed
    virtual void showOutcome(const DownloadOutcome& outcome) = 0;  // the window: the outcome's box, modal
    virtual void postSendCancel() = 0;                        // PostMessageA(SENDCANCEL, 0, 0) to the dialog itself
};
