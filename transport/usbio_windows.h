// The Windows backend of the USB driver boundary: which device interface class it enumerates
// and how it reports the system's errors of opening a device.
#pragma once

#include <windows.h>

#include "transport/usbio_driver.h"

namespace usbio {

// The device interface class under which the driver's installation publishes its devices. It is
// a value of the installation (the driver's INF), not of the driver; this one is ours.
// {7B3E9A51-2E4C-4D0A-9F61-0610064011A0}
inline constexpr GUID kDriverInterfaceClass = {
    0x7B3E9A51, 0x2E4C, 0x4D0A, {0x9F, 0x61, 0x06, 0x10, 0x06, 0x40, 0x11, 0xA0}};

// A system error of opening a device path as a driver status: no device, access denied, busy;
// any other error code as it is.
Status StatusFromWindowsError(uint32_t error);

}  // namespace usbio
