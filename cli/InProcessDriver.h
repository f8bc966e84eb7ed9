// InProcessDriver: the driver core as a DriverLibrary inside this process: one CommDriver per unit, no DLL to load.
#pragma once

#include <string>

#include "CommDriver.h"
#include "DriverLibrary.h"

class InProcessDriver : public DriverLibrary {
public:
    explicit InProcessDriver(CommDriver::PortFactory makePort) : driver_(std::move(makePort)) {}

    bool open(const std::string&) override { return true; }
    bool load() override { return true; }
    std::string request(const std::string& text) override { return driver_.dispatch(text); }
    void unload() override {}
    bool release() override { return true; }

private:
    CommDriver driver_;
};
