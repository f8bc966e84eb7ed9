// DownloadShell: what the download procedure asks of the shell that runs it, in the procedure's own terms: requests
// to the unit, and what a person is shown. The window and qbv-flash each implement both.
#pragma once

#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "DownloadOutcome.h"

// The unit's side. Every request is answered later, in the order made, through DownloadProcedure::onAnswer (or its
// three parts); the procedure never waits for an answer itself.
class UnitRequests {
public:
    virtual ~UnitRequests() = default;

    // True when the line to the unit is open, or the shell opened it now; false when it cannot be opened (the shell
    // tells the person why).
    virtual bool ensureOpen() = 0;
    virtual void requestStatus() = 0;                       // one status poll
    virtual void sendCommand(const ByteBuffer& frame) = 0;  // one command frame, without check bytes
    // Once the requests made before are answered, call DownloadProcedure::onBlankPassed.
    virtual void resumeAfterBlank() = 0;
    // Closes the line after the requests made before.
    virtual void close() = 0;
    // A line that polls the unit on its own between downloads stops doing so; one that never does has nothing to stop.
    virtual void stopOwnPolling() {}
};

// What a person is shown.
class DownloadView {
public:
    virtual ~DownloadView() = default;

    virtual void showStatus(const std::string& text) = 0;        // the unit's phase in words; "" clears it
    virtual void showProgress(std::uint32_t blocksDone) = 0;
    virtual void showOutcome(const DownloadOutcome& outcome) = 0;  // returns once shown
    // A view with controls a person could use during a download keeps them locked while it runs; one without has
    // nothing to lock.
    virtual void lockControls(bool /*locked*/) {}
};
