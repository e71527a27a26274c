// How the libusb backend reports libusb's results as driver statuses (the table is tested).
#pragma once

#include "transport/usbio_driver.h"

namespace usbio {

// A libusb error code (libusb_error, 0 = success) as a driver status.
Status StatusFromLibusbError(int libusbError);
// A libusb transfer status (libusb_transfer_status) as a driver status.
Status StatusFromLibusbTransfer(int transferStatus);

// The device path the backend gives a device: "usb:" and the sysfs name of its position,
// bus and port chain ("usb:1-1.4").
std::string LibusbDevicePath(int bus, const uint8_t* ports, int portCount);

}  // namespace usbio
