// What the COM port layer needs from the operating system. The portable part (lookup
// order, port numbers, piece loops) lives in com_port.cpp; each OS provides these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/com_port.h"

namespace velmora::com_os {

// One serial port that belongs to a USB device of the wanted ids.
struct UsbTty {
    std::string usbDevicePath;  // the USB device it belongs to (sorts the ports)
    std::string ttyPath;        // the port's own place (sorts ports of one device)
    std::string devicePath;     // what OpenCOM opens
};

// Appends the serial ports of (vendor, product) found under sysfsRoot, in no particular
// order. false when the list of serial ports cannot be read at all.
bool ListUsbTtys(const std::string& sysfsRoot, uint16_t vendor, uint16_t product, std::vector<UsbTty>* out);

// The system's own lookup of the ports of (2E4C, productId), used when VELMORA_COM_PORTS is
// not set; results as FindComPorts. Linux walks the sysfs tree at sysfsRoot; Windows reads the
// registry (sysfsRoot is not used there).
int FindSystemComPorts(uint16_t productId, int* ports, int capacity, const std::string& sysfsRoot);

// Whether something exists at path now (a link counts only if its target exists).
bool PathExists(const std::string& path);

// Opens path for exclusive use in raw mode; on failure returns kInvalidComHandle and the
// errno in *err.
ComHandle Open(const std::string& path, int* err);

enum class PieceEnd {
    Complete,  // all bytes moved
    TimedOut,  // the time-out passed first (fewer bytes moved)
    Failed,    // the device hung up or the OS reported an error
};

// Moves up to n bytes, waiting until all moved, timeoutMs passed (on platform::GetClock())
// or the device failed; *moved gets the count.
PieceEnd ReadPiece(ComHandle h, uint8_t* data, uint32_t n, uint32_t timeoutMs, uint32_t* moved);
PieceEnd WritePiece(ComHandle h, const uint8_t* data, uint32_t n, uint32_t timeoutMs, uint32_t* moved);

void Close(ComHandle h);

}  // namespace velmora::com_os
