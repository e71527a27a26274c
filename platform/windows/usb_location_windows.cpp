// The USB location on Windows is not looked up yet: the port's own name is what the records hold.
#include "platform/usb_location.h"

namespace platform {

std::string UsbLocationOfPort(const std::string&) { return {}; }

// A COM port's name belongs to its device instance; whether the boot loader comes back as the
// same instance is not known, so no name is taken for a stable one.
std::string StablePortPath(const std::string&, const std::string&) { return {}; }

}  // namespace platform
