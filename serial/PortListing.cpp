// PortListing: the labelled fields of a port's line, the latency hint and the JSON object.
#include "PortListing.h"

namespace {
void add(std::string& line, const char* label, const std::string& value) {
    if (value.empty()) return;
    line += "  ";
    line += label;
    line += value;
}
}  // namespace

std::string portLine(const ports::PortIdentity& port) {
    std::string line = port.name();
    if (port.name() != port.device) add(line, "device ", port.device);
    add(line, "", port.friendlyName);
    add(line, "usb ", port.vendorProduct);
    add(line, "serial ", port.serialNumber);
    const std::string joint = !port.maker.empty() && !port.product.empty() ? " / " : "";
    add(line, "", port.maker + joint + port.product);
    add(line, "hardware id ", port.hardwareId);
    add(line, "driver ", port.driver);
    if (port.latencyTimerMs != ports::kLatencyUnknown) add(line, "latency timer ", std::to_string(port.latencyTimerMs) + " ms");
    return line;
}

std::string latencyHint(const ports::PortIdentity& port) {
    if (port.latencyTimerMs <= listing::kLatencyHintAboveMs) return "";
    return port.name() + ": its adapter holds received bytes up to " + std::to_string(port.latencyTimerMs) +
           " ms; for faster downloads set the latency timer to 1 ms (Device Manager, Ports, this port, Port Settings, "
           "Advanced, Latency Timer)";
}

nlohmann::json portJson(const ports::PortIdentity& port) {
    return {{"port", port.name()},
            {"device", port.device},
            {"by_id", port.byId},
            {"vendor_product", port.vendorProduct},
            {"serial", port.serialNumber},
            {"maker", port.maker},
            {"product", port.product},
            {"driver", port.driver},
            {"friendly_name", port.friendlyName},
            {"hardware_id", port.hardwareId},
            {"latency_timer_ms",
             port.latencyTimerMs == ports::kLatencyUnknown ? nlohmann::json() : nlohmann::json(port.latencyTimerMs)}};
}
