// --list: every Norvik device the library finds, with its identity, and nothing changed. The
// same search finds the devices an update of all of them (--all, --watch) runs for.
#pragma once

#include <string>
#include <vector>

#include "devlib/records.h"

namespace frontend {

// A port of the newer family (or a device behind the USB driver) and what answered there.
struct FoundDevice {
    std::string port;         // "USB driver" for the older family
    std::string stablePort;   // a name of the port that outlasts the device's restarts ("" unknown)
    std::string usbLocation;  // its place on the USB ("" unknown)
    bool answered = false;
    std::string failure;      // why it did not answer (when it did not)
    velmora::DeviceInfo info{};
};

// Every device found, each port once; nothing changes on them. Ports in skip (by their own or
// their stable name) are not opened: they belong to an update that runs.
std::vector<FoundDevice> FindDevices(const std::vector<std::string>& skip = {});

// Lists the devices as a table; returns how many answered.
int ListDevices(std::string* out);

}  // namespace frontend
