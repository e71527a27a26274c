// What the bus report knows about the bus, gathered first and written out afterwards: the
// platform walk fills a UsbBusTree, and ComposeUsbBusReport turns it into the report text.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::usbreport {

// Connection status of a port, as the report numbers it.
enum : int {
    kNoDevice = 0,
    kConnected = 1,
    kEnumerationFailed = 2,
    kGeneralFailure = 3,
    kOverCurrent = 4,
    kNotEnoughPower = 5,
};

// The driver that serves a controller or device.
struct ServiceInfo {
    std::string name;                       // driver name
    std::optional<std::string> imagePath;   // the driver's file, shown in the driver column
    // Four parts of the driver file's version, most significant first; none when the file
    // carries no version.
    std::optional<std::array<uint16_t, 4>> version;
};

// Where the lookup of a device's driver ended.
enum class DriverLookup {
    Found,          // service holds the driver
    NotInstalled,   // no driver serves the device
    Failed,         // a driver entry exists but could not be read
};

struct UsbHub;

// One port of a hub and the device on it.
struct UsbPort {
    int number = 0;  // 1-based
    int status = kNoDevice;
    bool isHub = false;  // the device says it is a hub
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdUSB = 0;
    std::optional<std::string> description;
    DriverLookup driverLookup = DriverLookup::NotInstalled;
    std::optional<ServiceInfo> service;  // with driverLookup Found
    // The hub on this port when isHub and the hub could be reached; an isHub port without
    // it is reported as a hub whose name could not be found.
    std::unique_ptr<UsbHub> hub;
};

struct UsbHub {
    std::string name;        // shown when there is no display name
    bool readable = true;    // false: its attributes could not be read; nothing else is used
    int numberOfPorts = 0;
    std::vector<UsbPort> ports;  // in port order
};

struct UsbHostController {
    std::string devicePath;                  // shown when there is no description
    std::optional<std::string> description;
    bool driverKeyFailed = false;            // the controller's driver could not be found
    std::optional<ServiceInfo> service;
    bool rootHubNameFailed = false;          // a root hub of it could not be reached
    std::vector<UsbHub> rootHubs;
};

struct UsbBusTree {
    std::vector<UsbHostController> controllers;
};

// Longest line the report takes, line end included; longer lines are cut before their end.
constexpr size_t kMaxReportLine = 500;

// Writes the report of tree into buffer (kUsbBusReportSize chars, NUL-terminated, cut at a
// line boundary when the bus does not fit); returns the number of connected devices, all of
// them counted even when their lines were cut.
int ComposeUsbBusReport(const UsbBusTree& tree, char* buffer);

// Text of a connection status.
std::string ConnectionStatusText(int status);

// Walks the sysfs-shaped tree at root (the folder that holds usb1, 1-0:1.0, 1-3, ...).
UsbBusTree GatherUsbBus(const std::string& root);

// The folder the real walk starts at.
std::string DefaultUsbDevicesRoot();

}  // namespace velmora::usbreport
