// PortListing: how a port is shown (qbv-flash --list-ports, the station): one line of who is on it, or one JSON object.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "PortList.h"

namespace listing {
constexpr int kLatencyHintAboveMs = 2;  // a latency timer above this gets the hint line
}

// "PORT  device /dev/ttyUSB0  usb 0403:6001  serial A1B2C3  FTDI / FT232R USB UART  driver ftdi_sio": the name to
// give --port, then each field the system told, labelled.
std::string portLine(const ports::PortIdentity& port);
// For an adapter whose latency timer is above 2 ms: one line telling how to lower it; "" otherwise.
std::string latencyHint(const ports::PortIdentity& port);
// {"port", "device", "by_id", "vendor_product", "serial", "maker", "product", "driver", "friendly_name",
// "hardware_id", "latency_timer_ms"}: every key present, "" (null for the timer) where nothing is known.
nlohmann::json portJson(const ports::PortIdentity& port);
