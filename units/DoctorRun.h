// DoctorRun: the checks of one port: open it, ask for the unit's status N times spaced as a download spaces its polls,
// and, when nothing answers, each other baud rate by itself. Only status requests are ever sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "BytePort.h"
#include "DoctorReport.h"
#include "FrameLog.h"

struct DoctorRequest {
    std::string port;
    std::uint32_t baud = 0;
    int polls = doctor::kDefaultPolls;
    const std::atomic<bool>* interrupted = nullptr;  // set (Ctrl-C): no further request, the line closed
};

// A fresh line for each opening (the build's serial port; tests give another).
using LineMaker = std::function<std::unique_ptr<BytePort>()>;

// Fills in the opening, the polls and the other baud rates of `result` (its port, identity and driver are the
// caller's). Every frame goes to `transcript` when there is one. `whyNotOpened` is asked only when opening fails.
void runDoctorChecks(const DoctorRequest& request, const LineMaker& makeLine, std::shared_ptr<FrameLog> transcript,
                     const std::function<std::string()>& whyNotOpened, DoctorPort& result);
