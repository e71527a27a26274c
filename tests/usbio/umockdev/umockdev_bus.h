// An older-family device on an emulated USB bus: umockdev's test bed shows it in sysfs and as
// /dev/bus/usb/001/002, and answers the usbdevfs requests that libusb makes on that node from a
// handler here, so the real libusb backend runs against it. The device's answers come from
// the emulator's device model (sim/usbio/older_usb_device.h); this file only plays the bus:
// URBs submitted, completed, reaped, discarded, and the faults a real bus has.
//
// The program must run under umockdev's preload (umockdev-wrapper); Available() says whether
// it does. The handler runs on umockdev's own thread, so everything here is locked.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/usbio/older_usb_device.h"

namespace umocktest {

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool operator==(const SetupPacket&) const = default;
};

struct BulkUrb {
    uint8_t endpoint = 0;
    uint32_t length = 0;  // bytes asked (IN) or carried (OUT)
    bool operator==(const BulkUrb&) const = default;
};

class EmulatedBus {
public:
    // The bus of this program, made on first use (before libusb starts); nullptr when the
    // program runs without umockdev's preload.
    static EmulatedBus* Get();
    static bool Available();

    // Between tests: a fresh device (model 640, serial A12345), no faults, nothing recorded.
    void Reset();

    // What the device saw, in order.
    std::vector<SetupPacket> Setups();
    std::vector<BulkUrb> BulkUrbs();
    std::vector<uint8_t> BulkOutBytes();
    int Discarded();  // URBs cancelled by the host
    std::vector<int> ClaimedInterfaces();

    // Bytes the device has for its bulk IN endpoint.
    void QueueBulkIn(std::vector<uint8_t> bytes);
    // The next n control transfers are never answered (until the host cancels them).
    void MissControlTransfers(int n);
    // The device leaves the bus once this many bulk OUT bytes arrived, or (0) when the next
    // bulk IN URB is submitted; every later request fails as on an unplugged device.
    void GoneAfterBulkOut(uint32_t bytes);
    void GoneAtNextBulkIn();
    bool Gone();

    quillon_sim::OlderUsbDevice& Device() { return *device_; }  // call under Lock()
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(m_); }

    // Called by umockdev's thread for each request on the device node.
    struct Client;
    bool HandleIoctl(void* client);

private:
    EmulatedBus();
    struct Urb {
        uint64_t address = 0;  // the URB in the host's memory
        uint8_t type = 0;
        uint8_t endpoint = 0;
        uint32_t length = 0;
        bool done = false;
        int status = 0;
        std::vector<uint8_t> in;  // data for the host (control IN, bulk IN)
    };
    void Answer(Urb& urb, const std::vector<uint8_t>& buffer);
    void FeedBulkIn();
    bool Reap(void* client);
    void Unplug();

    std::mutex m_;
    std::unique_ptr<quillon_sim::OlderUsbDevice> device_;
    std::deque<Urb> urbs_;
    std::deque<uint8_t> bulkIn_;
    std::vector<SetupPacket> setups_;
    std::vector<BulkUrb> bulk_;
    std::vector<uint8_t> bulkOut_;
    std::vector<int> claimed_;
    int discarded_ = 0;
    int missControl_ = 0;
    std::optional<uint32_t> goneAfterOut_;
    bool goneAtIn_ = false;
    bool gone_ = false;
};

}  // namespace umocktest
