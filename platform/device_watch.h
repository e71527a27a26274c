// Notices devices coming and going: the system's device events for serial ports and USB
// devices, and the appearing and disappearing of given paths (the ports of a port override,
// which the device emulator publishes as links).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace platform {

class DeviceWatch {
public:
    virtual ~DeviceWatch() = default;
    // A handle that has input while changes are pending (for Waiter); kNoEventHandle when nothing
    // is watched.
    virtual EventHandle WaitHandle() const = 0;
    // Takes every pending change without blocking and returns how many there were.
    virtual int TakeChanges() = 0;
    // What is watched, for the log and the user ("udev tty+usb", "/tmp/x (inotify)", ...).
    virtual std::string Describe() const = 0;
};

// Watches the system's serial-port and USB device events and the given paths. Parts that cannot
// be watched (no device manager, a folder that does not exist) are left out.
std::unique_ptr<DeviceWatch> StartDeviceWatch(const std::vector<std::string>& paths, bool systemEvents = true);

}  // namespace platform
