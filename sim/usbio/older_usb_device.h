// The older device family (models 610 and 640) seen from the device: its descriptors, its
// answers to vendor requests and the frames it takes on its bulk OUT endpoint. Pure logic;
// the emulated driver (emulated_usb_driver.h) moves the requests and carries out restarts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon_sim {

struct OlderUsbDeviceSettings {
    uint16_t model = 640;
    uint16_t variant = 2;
    std::string serial = "A12345";
    uint16_t bcdDevice = 0x0185;  // firmware version as four BCD digits
    uint16_t productId = 0x0640;
    std::string manufacturer = "KALDER";
    // Product text; empty: "%03d-%03d" of model and variant. "-BW" is appended while the boot
    // loader runs.
    std::string product;
    bool bootLoader = false;
    uint8_t configurationValue = 1;
    uint32_t restartMs = 2000;  // how long a restart keeps the device off the bus
};

// What a complete frame on the bulk OUT endpoint did.
struct FrameOutcome {
    bool complete = false;      // a whole frame has arrived
    bool accepted = false;      // its length, checksum and command were good
    std::optional<int> restartMode;  // the update-mode command asks for a restart with this mode
};

class OlderUsbDevice {
public:
    explicit OlderUsbDevice(OlderUsbDeviceSettings settings);

    const OlderUsbDeviceSettings& Settings() const { return settings_; }
    bool BootLoader() const { return bootLoader_; }
    std::string ProductText() const;

    // The 18-byte device descriptor.
    std::vector<uint8_t> DeviceDescriptor() const;
    // String descriptor index (0: the language table), or nothing for an unknown index.
    std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index) const;
    // Replaces the bytes of a string descriptor (any bLength, any content).
    void SetRawString(uint8_t index, std::vector<uint8_t> descriptor);

    // A vendor IN request: the echo of the query's command bytes, the data and their ByteSum,
    // at most wLength bytes. Nothing for a request the device does not know (it stalls).
    std::optional<std::vector<uint8_t>> VendorIn(uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                                 uint16_t wLength);

    // Bytes arriving on the bulk OUT endpoint; frames may come in any number of pieces.
    FrameOutcome BulkOut(const uint8_t* data, uint32_t len);

    // Comes back after a restart: mode 0 runs the application unless stayInBootLoader.
    void Restart(int mode, bool stayInBootLoader);

    // Status answers report busy for the next n queries.
    void SetBusy(int n) { busyAnswers_ = n; }
    void SetStatusError(bool on) { forcedError_ = on; }

    bool ServiceModeActive() const { return serviceMode_; }
    const std::vector<std::vector<uint8_t>>& Frames() const { return frames_; }
    int RejectedFrames() const { return rejected_; }
    // The last update-data frame taken in the boot loader: 16 header bytes, then the data.
    const std::optional<std::vector<uint8_t>>& UpdateData() const { return updateData_; }

private:
    std::vector<uint8_t> StatusData();
    void TakeFrame(const std::vector<uint8_t>& frame, FrameOutcome* outcome);

    OlderUsbDeviceSettings settings_;
    bool bootLoader_;
    bool serviceMode_ = false;
    bool frameError_ = false;
    bool forcedError_ = false;
    int busyAnswers_ = 0;
    int rejected_ = 0;
    std::vector<std::optional<std::vector<uint8_t>>> rawStrings_;
    std::vector<uint8_t> assembly_;
    std::vector<std::vector<uint8_t>> frames_;
    std::optional<std::vector<uint8_t>> updateData_;
};

}  // namespace quillon_sim
