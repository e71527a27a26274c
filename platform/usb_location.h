// Where on the computer's USB a serial port's device is plugged in: a place that stays the same
// across the device's restarts, unlike the port's own name.
#pragma once

#include <string>

namespace platform {

// The USB location of the device behind a serial port ("1-1.4", the port path of the hub
// chain), or "" when the port belongs to no USB device (a pseudo-terminal) or it is unknown.
std::string UsbLocationOfPort(const std::string& portPath);

// A name of the same port that stays with the device's place on the USB across its restarts
// (on Linux its link in byPathFolder, /dev/serial/by-path), or "" when there is none.
std::string StablePortPath(const std::string& portPath, const std::string& byPathFolder = {});

}  // namespace platform
