// The generic USB driver, emulated: older-family devices behind it answer the driver's
// requests (codes, layouts, statuses of transport/usbio_driver.h) as the real driver and
// device would, with faults switched on by name. Tests install it with usbio::ScopedDriver.
//
// Time: a restart keeps a device off the bus for its restartMs, measured on
// platform::GetClock(), so the library's own sleeps bring it back. Transfers complete when
// they are polled; a hanging request or a read without data stays pending until it is
// cancelled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/usbio/older_usb_device.h"
#include "transport/usbio_driver.h"

namespace quillon_sim {

enum class UsbioFault {
    Timeout,                     // the next N vendor IN requests end with the time-out status
    Stall,                       // the next N vendor IN requests are refused (stall)
    Hang,                        // the next N vendor IN requests never complete
    ShortRead,                   // vendor answers and bulk IN reads lose their last byte
    GarbleEcho,                  // vendor answers carry a wrong first echo byte
    ConfiguredElsewhere,         // another holder has configured the device
    ConfigurationUnreadable,     // the configuration value cannot be read
    StringUnreadable,            // string descriptor N is refused
    DeviceDescriptorUnreadable,  // the device descriptor is refused
    PipeNotBindable,             // endpoint N cannot be bound
    AlternateSetting1Only,       // the interface takes alternate setting 1 only
    BulkOutFailsAfter,           // bulk OUT fails once N bytes have arrived
    CannotOpen,                  // opening the device path is not permitted
    StayInBootLoader,            // update mode 0 brings the boot loader back, not the application
    NeverReturn,                 // after a restart the device does not come back
    Busy,                        // the next N status answers report busy
    StatusError,                 // status answers report a device error
};

struct UsbioFaultInfo {
    UsbioFault fault;
    const char* name;
    const char* help;
};
std::span<const UsbioFaultInfo> AllUsbioFaults();
std::optional<UsbioFault> UsbioFaultFromName(std::string_view name);

class EmulatedUsbDriver : public usbio::Driver {
public:
    // One I/O control request as the driver received it.
    struct Request {
        uint32_t code;
        std::vector<uint8_t> in;
        uint32_t outSize;
        int handle;  // number of the handle it came on
    };

    EmulatedUsbDriver();
    ~EmulatedUsbDriver() override;
    EmulatedUsbDriver(const EmulatedUsbDriver&) = delete;
    EmulatedUsbDriver& operator=(const EmulatedUsbDriver&) = delete;

    // Plugs in a device; its number (0, 1, ...) is what the other calls take.
    int AddDevice(const OlderUsbDeviceSettings& settings);
    void Unplug(int device);

    void SetFault(int device, UsbioFault fault, int value = 1);
    // By name (see AllUsbioFaults); false for an unknown name.
    bool SetFault(int device, std::string_view name, int value = 1);
    void ClearFaults(int device);
    void SetRawString(int device, uint8_t index, std::vector<uint8_t> descriptor);
    // Data the device has ready on its bulk IN endpoint.
    void QueueBulkIn(int device, std::vector<uint8_t> bytes);
    // A closed gate holds every bulk OUT write until AllowBulkOut lets it through (a write
    // held for 10 s of real time fails).
    void SetBulkOutGate(int device, bool closed);
    void AllowBulkOut(int device, int writes);

    // Observation.
    std::vector<Request> Requests(int device) const;
    size_t CountRequests(int device, uint32_t code) const;
    std::vector<std::vector<uint8_t>> BulkOutWrites(int device) const;
    std::vector<uint32_t> BulkInRequests(int device) const;
    // Waits (real time) until the device has taken this many bulk OUT writes.
    bool WaitForBulkOutWrites(int device, size_t count, std::chrono::milliseconds limit) const;
    // Waits (real time) until a bulk OUT write is held at the closed gate.
    bool WaitForHeldWrite(int device, std::chrono::milliseconds limit) const;
    std::vector<std::vector<uint8_t>> Frames(int device) const;
    std::optional<std::vector<uint8_t>> UpdateData(int device) const;
    int OpenHandles(int device) const;
    bool Configured(int device) const;  // by a handle of this driver
    bool BootLoader(int device) const;
    bool ServiceModeActive(int device) const;
    int Restarts(int device) const;
    uint64_t Polls() const;
    uint64_t CancelledTransfers() const;

    // usbio::Driver
    usbio::Enumeration DeviceInterface(int index, std::string* devicePath) override;
    std::unique_ptr<usbio::Handle> OpenPath(const std::string& devicePath, bool overlapped,
                                            usbio::Status* error) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace quillon_sim
