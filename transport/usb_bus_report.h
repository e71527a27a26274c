// Text picture of the USB bus for the library log.
#pragma once

#include <cstddef>
#include <string>

namespace velmora {

constexpr size_t kUsbBusReportSize = 10000;

// Fills buffer (kUsbBusReportSize chars, always NUL-terminated) with the report of the bus
// under /sys/bus/usb/devices; returns the number of connected devices.
int BuildUsbBusReport(char* buffer);
// Same, walking a sysfs-shaped tree at root (tests use fixture trees).
int BuildUsbBusReport(char* buffer, const std::string& root);

}  // namespace velmora
