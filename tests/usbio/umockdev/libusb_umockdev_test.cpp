// The libusb backend against an older-family device on an emulated bus (umockdev): the driver
// access layer and the channel through real libusb transfers. The setup packets and bulk URBs
// are what the device saw.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/library_fixture.h"
#include "tests/usbio/umockdev/umockdev_bus.h"
#include "transport/usb_communication.h"
#include "transport/usb_driver_access.h"
#include "transport/usbio_driver.h"

using namespace velmora;
using umocktest::BulkUrb;
using umocktest::EmulatedBus;
using umocktest::SetupPacket;

namespace {

class LibusbOnEmulatedBus : public testsupport::LibraryWithLog {
protected:
    void SetUp() override {
        bus = EmulatedBus::Get();
        if (!bus) GTEST_SKIP() << "needs umockdev's preload: run under umockdev-wrapper (CTest does)";
        bus->Reset();
        platform::SetClock(&clock);
        LibraryWithLog::SetUp();
    }
    void TearDown() override {
        if (!bus) return;
        LibraryWithLog::TearDown();
        platform::SetClock(nullptr);
    }

    // The device opened, configured and its two pipes bound, as the channel's open does.
    void OpenDevice() {
        ASSERT_EQ(OpenDeviceInterface(&device, &detail, 0), 1);
        ASSERT_TRUE(USBConfigureDevice(device.get()));
        writePipe = USBOpenEP(detail.get(), kWritePipeEndpoint);
        readPipe = USBOpenEP(detail.get(), kReadPipeEndpoint);
        ASSERT_TRUE(writePipe && readPipe);
    }
    void CloseDevice() {
        USBCloseEP(std::move(writePipe));
        USBCloseEP(std::move(readPipe));
        ReleaseDevice(&device, &detail);
    }
    std::vector<std::string> LinesWith(const std::string& part) {
        std::vector<std::string> out;
        for (const std::string& l : NewLines())
            if (l.find(part) != std::string::npos) out.push_back(l);
        return out;
    }

    EmulatedBus* bus = nullptr;
    platform::VirtualClock clock;
    UsbHandle device;
    UsbDetail detail;
    UsbHandle writePipe;
    UsbHandle readPipe;
};

TEST_F(LibusbOnEmulatedBus, TheDeviceIsFoundConfiguredAndDescribed) {
    ASSERT_EQ(OpenDeviceInterface(&device, &detail, 0), 1);
    EXPECT_EQ(detail->devicePath, "usb:1-1");
    UsbHandle none;
    UsbDetail noDetail;
    EXPECT_EQ(OpenDeviceInterface(&none, &noDetail, 1), 0) << "one device on the bus";

    EXPECT_EQ(IsUSBMultibleDeviceAlreadyConfigured(device.get()), 0);
    ASSERT_TRUE(USBConfigureDevice(device.get()));
    EXPECT_EQ(bus->ClaimedInterfaces(), std::vector<int>{0});
    EXPECT_EQ(IsUSBMultibleDeviceAlreadyConfigured(device.get()), 1);

    std::array<uint8_t, kDescriptorBufferSize> text{};
    ASSERT_TRUE(USBGetDescriptor(1, device.get(), kDescriptorString, &text));
    EXPECT_STREQ(reinterpret_cast<const char*>(text.data()), "KALDER");
    ASSERT_TRUE(USBGetDescriptor(0, device.get(), kDescriptorDevice, &text));
    EXPECT_EQ(text[12] | text[13] << 8, 0x0185);
    // The language table first, then each descriptor in that language, 64 bytes asked.
    const std::vector<SetupPacket> expected = {{0x80, 6, 0x0300, 0, 4},
                                               {0x80, 6, 0x0301, 0x0409, 64},
                                               {0x80, 6, 0x0100, 0, 64}};
    EXPECT_EQ(bus->Setups(), expected);

    ReleaseDevice(&device, &detail);
    EXPECT_TRUE(bus->ClaimedInterfaces().empty()) << "unconfigured on release";
}

TEST_F(LibusbOnEmulatedBus, VendorRequestCarriesItsSetupPacketAndBringsTheAnswer) {
    OpenDevice();
    std::vector<uint8_t> reply;
    // The device-information request: the echo of its four command bytes, then the data.
    ASSERT_TRUE(USBVendorRequest(device.get(), 0xFF, 0x1234, 0x5678, 30, &reply));
    EXPECT_EQ(bus->Setups(), (std::vector<SetupPacket>{{0xC0, 0xFF, 0x1234, 0x5678, 30}}));
    ASSERT_EQ(reply.size(), 30u);
    EXPECT_EQ(reply[0], 0x1B);
    EXPECT_EQ(reply[3], 0x20);
    EXPECT_EQ(reply[6] << 8 | reply[7], 640);
    // An unknown request is stalled: repeated once, then refused.
    ASSERT_FALSE(USBVendorRequest(device.get(), 0x77, 0, 0, 8, &reply));
    const auto setups = bus->Setups();
    EXPECT_EQ(setups.size(), 3u);
    EXPECT_EQ(setups.back(), (SetupPacket{0xC0, 0x77, 0, 0, 8}));
    EXPECT_EQ(LinesWith("!w USBVendorRequest Driver status code err= 0xE0000004").size(), 1u);
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, BulkWriteGoesInPiecesOf64AfterTheZeroLengthVendorRequest) {
    OpenDevice();
    const size_t setupsBefore = bus->Setups().size();
    std::vector<uint8_t> data(130);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(USBWrite(device.get(), writePipe.get(), data.data(), 130), 130u);
    EXPECT_EQ(bus->Setups().at(setupsBefore), (SetupPacket{0x40, 0, 0, 0, 0}));
    EXPECT_EQ(bus->BulkUrbs(), (std::vector<BulkUrb>{{0x02, 64}, {0x02, 64}, {0x02, 2}}));
    EXPECT_EQ(bus->BulkOutBytes(), data);
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, BulkReadGetsItsBytesInPieces) {
    OpenDevice();
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251);
    bus->QueueBulkIn(data);
    std::vector<uint8_t> got(data.size());
    EXPECT_EQ(USBRead(readPipe.get(), got.data(), static_cast<uint32_t>(got.size())), 70000u);
    EXPECT_EQ(got, data);
    uint64_t asked = 0;
    for (const BulkUrb& u : bus->BulkUrbs()) {
        EXPECT_EQ(u.endpoint, 0x81);
        asked += u.length;
    }
    EXPECT_EQ(asked, 70000u) << "a read of 65,536 and one of 4,464, in libusb's URBs";
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, ReadWithoutDataIsCancelledAndTakesNothingAfterwards) {
    OpenDevice();
    std::vector<uint8_t> got(8, 0xEE);
    EXPECT_EQ(USBRead(readPipe.get(), got.data(), 8), 0u);
    EXPECT_EQ(bus->Discarded(), 1) << "the pending read was cancelled";
    EXPECT_EQ(got, std::vector<uint8_t>(8, 0xEE));
    EXPECT_EQ(LinesWith("USBRead: .......Abbruch ! soll: 8 Bytes | ist: 0 Bytes | timeout: 0").size(), 1u);
    // What the device sends afterwards goes to the next read only.
    bus->QueueBulkIn({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(USBRead(readPipe.get(), got.data(), 8), 8u);
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, UnansweredVendorRequestTimesOutAndIsRepeatedFiveTimes) {
    OpenDevice();
    std::vector<uint8_t> reply;
    const size_t before = bus->Setups().size();
    bus->MissControlTransfers(6);
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0, 0, 34, &reply));
    const auto setups = bus->Setups();
    ASSERT_EQ(setups.size(), before + 6);
    for (size_t i = before; i < setups.size(); ++i) EXPECT_EQ(setups[i], (SetupPacket{0xC0, 0, 0, 0, 34}));
    EXPECT_EQ(bus->Discarded(), 6);
    const auto passes = LinesWith("Timeout occured");
    ASSERT_EQ(passes.size(), 5u);
    EXPECT_EQ(passes[0], "USBCommunication / !w USBVendorRequest (Timeout occured / Pass through number 1) Driver "
                         "status code err= 0xE000100C");
    EXPECT_NE(passes[4].find("Pass through number 5"), std::string::npos);

    // One missed request costs one repetition, not the poll limit.
    bus->MissControlTransfers(1);
    const uint64_t start = clock.NowMs();
    EXPECT_TRUE(USBVendorRequest(device.get(), 0, 0, 0, 34, &reply));
    EXPECT_EQ(reply.size(), 34u);
    EXPECT_LT(clock.NowMs() - start, 3000u);
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, DeviceGoneInTheMiddleOfAWriteOrARead) {
    OpenDevice();
    bus->GoneAfterBulkOut(64);
    std::vector<uint8_t> data(130, 0x5A);
    EXPECT_EQ(USBWrite(device.get(), writePipe.get(), data.data(), 130), 64u);
    EXPECT_EQ(LinesWith("USBWrite (written= 64[Bytes])").size(), 1u);
    CloseDevice();

    bus->Reset();
    OpenDevice();
    bus->GoneAtNextBulkIn();
    std::vector<uint8_t> got(8);
    EXPECT_EQ(USBRead(readPipe.get(), got.data(), 8), 0u);
    EXPECT_EQ(LastUsbError(), usbio::kStatusNoDevice);
    std::vector<uint8_t> reply;
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0, 0, 34, &reply));
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, UnknownRequestCodeIsRefused) {
    OpenDevice();
    uint8_t out[4] = {};
    uint32_t count = 9;
    EXPECT_EQ(device->Ioctl(0x80942FFC, nullptr, 0, out, sizeof out, &count), usbio::kStatusInvalidParameter);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(USBIoctl(device.get(), 0x80942FFC, nullptr, 0, out, sizeof out, &count), usbio::kStatusInvalidParameter);
    CloseDevice();
}

TEST_F(LibusbOnEmulatedBus, ChannelOpensTheDeviceAndCarriesQueriesFramesAndReads) {
    CUSBCommunication ch;
    std::vector<uint8_t> list;
    ASSERT_EQ(ch.GetListOfAvailableDevices(&list), 1);
    EXPECT_EQ(list, (std::vector<uint8_t>{1, 0, 0x80, 0x02, 'A', '1', '2', '3', '4', '5', 0, 0}));
    EXPECT_TRUE(bus->ClaimedInterfaces().empty()) << "the listing leaves the device free";

    int ex = 0;
    ASSERT_EQ(ch.Open(nullptr, 0, &ex), 1);
    EXPECT_TRUE(ch.UsesUsbDriver());
    EXPECT_EQ(ch.model, 640);
    EXPECT_EQ(ch.variant, 2);
    EXPECT_EQ(ch.version, 185);
    EXPECT_STREQ(ch.serial, "A12345");

    DeviceStatus status{};
    EXPECT_EQ(ch.GetDeviceStatus(&status), 1);
    // Route A for a '?' command: 30 + 12 - 4 - 2 bytes, the value and index from its bytes 6 to 9.
    EXPECT_EQ(bus->Setups().back(), (SetupPacket{0xC0, 0, 0, 0, 36}));

    EXPECT_EQ(ch.ActivateSFModuleMode(1), 1);
    {
        auto lock = bus->Lock();
        EXPECT_TRUE(bus->Device().ServiceModeActive());
    }

    std::vector<uint8_t> block = {1, 2, 3, 4, 0, 0, 0, 10};
    bus->QueueBulkIn(block);
    std::vector<uint8_t> got(8);
    EXPECT_EQ(ch.Read(got.data(), 8), 1);
    EXPECT_EQ(got, block);
    EXPECT_EQ(ch.Close(), 1);
}

}  // namespace
