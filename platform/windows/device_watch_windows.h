// The device watch on Windows, for hosts that own a window of their own: the window's
// WM_DEVICECHANGE is handed to the watch and taken with the watch's other changes.
// Windows only; no system header here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/device_watch.h"

namespace platform {

class WindowsDeviceWatch : public DeviceWatch {
public:
    // A device change the host's own window was told of (any thread).
    virtual void Notice() = 0;
};

// Watches the given paths (COM port names or files) by looking at them four times a second, and,
// with hiddenWindow, the system's device changes through a hidden top-level window of its own
// (it receives the broadcast DBT_DEVNODES_CHANGED and, registered with
// RegisterDeviceNotification, the arrival and removal of COM ports and USB devices).
std::unique_ptr<WindowsDeviceWatch> StartWindowsDeviceWatch(const std::vector<std::string>& paths, bool hiddenWindow);

}  // namespace platform
