// The text picture of the USB bus that the library log header ends with: every host
// controller, its root hubs, every hub and port with the device on it, its ids, USB revision
// and the driver that serves it.
#pragma once

#include <cstddef>
#include <string>

namespace velmora {

constexpr size_t kUsbBusReportSize = 10000;

// Fills buffer (kUsbBusReportSize chars, always NUL-terminated) with the report of the bus
// under /sys/bus/usb/devices ($VELMORA_USB_DEVICES when set); returns the number of
// connected devices.
int BuildUsbBusReport(char* buffer);

// Same, walking a sysfs-shaped tree at root (tests use fixture trees).
int BuildUsbBusReport(char* buffer, const std::string& root);

}  // namespace velmora
