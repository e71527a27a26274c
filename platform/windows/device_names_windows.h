// Names of the Windows device namespace that the port lookup and the device watch share.
// Windows only; no system header here.
#pragma once

#include <string>

namespace platform {

// "COM7" or "\\.\COM7": the device name without the prefix ("COM7"), else "".
std::string DosDeviceName(const std::string& path);

// Whether something is at path now: a COM port the device namespace knows (also one that another
// program holds), or a file.
bool DevicePathPresent(const std::string& path);

}  // namespace platform
