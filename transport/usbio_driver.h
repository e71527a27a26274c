// The boundary to the generic USB driver that serves the older device family.
//
// The driver publishes each device it serves as a numbered device interface with a device
// path. A path is opened into handles; requests go to a handle as I/O control calls with the
// driver's request codes and byte layouts below, either directly (the call returns when the
// request is done) or overlapped (the call returns a Transfer that is polled). Bulk pipes
// are handles bound to one endpoint. Every result is a driver status.
//
// Contract for every backend:
//   - Handles and transfers may be used from several threads at once (the download thread
//     writes while the caller's thread queries the same device).
//   - A Transfer writes into the output buffer it was given only inside Poll. Destroying a
//     Transfer that is still pending cancels it; afterwards nothing touches the buffer.
//   - Configuration belongs to the handle that set it: unconfigure from another handle
//     leaves it in place, and closing the configuring handle releases it.
//   - Backends never sleep on their own except in WritePipe, and they measure every time-out
//     on platform::GetClock().
//
// The Linux backend maps this onto libusb-1.0 (usbio_libusb_linux.cpp), the Windows backend
// (usbio_windows.cpp) is the driver itself through its device interface; the device emulator
// (sim/usbio) implements it for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace usbio {

using Status = uint32_t;

// Request codes (I/O control codes of the driver).
constexpr uint32_t kIoctlGetDescriptor = 0x80942006;       // device, overlapped: 8 in, descriptor out
constexpr uint32_t kIoctlGetConfiguration = 0x80942018;    // device, direct: 1 byte out
constexpr uint32_t kIoctlSetConfiguration = 0x80942024;    // device, direct: 260 in
constexpr uint32_t kIoctlUnconfigureDevice = 0x80942028;   // device, direct
constexpr uint32_t kIoctlClassOrVendorInRequest = 0x80942032;   // device, overlapped: 18 in, data out
constexpr uint32_t kIoctlClassOrVendorOutRequest = 0x80942035;  // device, overlapped: 18 in, no data stage
constexpr uint32_t kIoctlGetDriverInfo = 0x8094206C;       // device, overlapped: 12 out
constexpr uint32_t kIoctlBindPipe = 0x80942078;            // pipe, direct: 1 in (endpoint address)
constexpr uint32_t kIoctlUnbindPipe = 0x8094207C;          // pipe, direct
constexpr uint32_t kIoctlResetPipe = 0x80942080;           // pipe, overlapped

// Request layouts (all little-endian).
//   Descriptor request, 8 bytes: u32 recipient (0 device); u8 type; u8 index; u16 language.
//   Configuration request, 260 bytes: u16 configuration index; u16 number of interfaces;
//     32 entries of 8 bytes: u16 interface index, u16 alternate setting, u32 maximum
//     transfer size.
//   Class-or-vendor request header, 18 bytes: u32 flags (0x00010000: short transfer
//     allowed); u32 type (1 class, 2 vendor); u32 recipient (0 device, 1 interface,
//     2 endpoint, 3 other); u8 reserved type bits; u8 bRequest; u16 wValue; u16 wIndex.
//     wLength is the size of the output buffer.
constexpr uint32_t kDescriptorRequestSize = 8;
constexpr uint32_t kConfigurationRequestSize = 260;
constexpr uint32_t kConfigurationEntries = 32;
constexpr uint32_t kVendorRequestHeaderSize = 18;
constexpr uint32_t kDriverInfoSize = 12;
constexpr uint32_t kShortTransferOk = 0x00010000;
constexpr uint32_t kRequestTypeClass = 1;
constexpr uint32_t kRequestTypeVendor = 2;

// Statuses.
constexpr Status kSuccess = 0;
constexpr Status kIoIncomplete = 996;  // the overlapped request is still running
constexpr Status kIoPending = 997;     // the overlapped request was queued
constexpr Status kStatusRequestFailed = 0xE0000004;  // the device refused the request (stall)
constexpr Status kStatusTimeout = 0xE000100C;        // the device did not answer in time
// Further driver statuses of this system.
constexpr Status kStatusNoDevice = 0xE0002001;         // device gone or path unknown
constexpr Status kStatusAccessDenied = 0xE0002002;     // not permitted to open the device
constexpr Status kStatusBusy = 0xE0002003;             // interface held by another holder or driver
constexpr Status kStatusOverflow = 0xE0002004;         // the device sent more than asked
constexpr Status kStatusInvalidParameter = 0xE0002005; // unknown code, wrong layout or size
constexpr Status kStatusNotConfigured = 0xE0002006;    // needs a configuration this handle set
constexpr Status kStatusNotFound = 0xE0002007;         // no such configuration, interface, setting, endpoint
constexpr Status kStatusCancelled = 0xE0002008;
constexpr Status kStatusNoMemory = 0xE0002009;
constexpr Status kStatusNotSupported = 0xE000200A;
constexpr Status kStatusIoError = 0xE000200B;          // any other failure of the transfer
constexpr Status kStatusNotBound = 0xE000200C;         // pipe request on a handle without endpoint

// One overlapped request in flight.
class Transfer {
public:
    virtual ~Transfer() = default;
    // Looks at the request without waiting: kIoIncomplete while it runs; else its final
    // status with *count the bytes moved (the same answer on every later call).
    virtual Status Poll(uint32_t* count) = 0;
};

// An open handle on a device path: the device itself, or a pipe once bound.
class Handle {
public:
    virtual ~Handle() = default;
    // Direct request: returns when it is done.
    virtual Status Ioctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                         uint32_t* count) = 0;
    // Overlapped request; out must stay valid until the transfer is destroyed.
    virtual std::unique_ptr<Transfer> BeginIoctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                                                 uint32_t outSize) = 0;
    // Synchronous write to the bound OUT endpoint; *written the bytes the device took.
    virtual Status WritePipe(const uint8_t* data, uint32_t len, uint32_t* written) = 0;
    // Overlapped read from the bound IN endpoint into data (len bytes at most).
    virtual std::unique_ptr<Transfer> BeginReadPipe(uint8_t* data, uint32_t len) = 0;
};

enum class Enumeration {
    Found,        // *devicePath names the index-th device interface
    End,          // no device interface with this index
    Unavailable,  // the set of device interfaces cannot be obtained
};

class Driver {
public:
    virtual ~Driver() = default;
    // The index-th device interface of the driver, in a stable order.
    virtual Enumeration DeviceInterface(int index, std::string* devicePath) = 0;
    // Opens a device path; nullptr with *error set when it cannot be opened.
    virtual std::unique_ptr<Handle> OpenPath(const std::string& devicePath, bool overlapped, Status* error) = 0;
};

// The driver in use: the one installed with SetDriver, else the system's (libusb on Linux).
Driver& GetDriver();
// Installs a driver for the whole process (nullptr: back to the system's). Not while other
// threads use the driver.
void SetDriver(Driver* driver);
// The system's driver backend.
Driver& SystemDriver();

// Installs a driver for the lifetime of the object (tests).
class ScopedDriver {
public:
    explicit ScopedDriver(Driver& driver) { SetDriver(&driver); }
    ~ScopedDriver() { SetDriver(nullptr); }
    ScopedDriver(const ScopedDriver&) = delete;
    ScopedDriver& operator=(const ScopedDriver&) = delete;
};

}  // namespace usbio
