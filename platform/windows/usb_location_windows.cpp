// The USB location on Windows is not looked up yet: the port's own name is what the records hold.
#include "platform/usb_location.h"

namespace platform {

std::string UsbLocationOfPort(const std::string&) { return {}; }

}  // namespace platform
