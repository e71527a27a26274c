// The layer above the USB driver against the emulated driver: request layouts, repetitions,
// budgets, piece sizes, descriptor conversion and log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "tests/usbio/usbio_fixture.h"
#include "transport/usb_driver_access.h"

using namespace velmora;
using quillon_sim::UsbioFault;
using testing::ElementsAre;
using usbiotest::Bytes;
using usbiotest::Older;

namespace {

class DriverAccess : public usbiotest::UsbioTest {
protected:
    void SetUp() override {
        UsbioTest::SetUp();
        dev = driver.AddDevice(Older(640));
    }
    void TearDown() override {
        readPipe.reset();
        writePipe.reset();
        ReleaseDevice(&device, &detail);
        UsbioTest::TearDown();
    }
    // Opens the device interface; configured and with both pipes when asked.
    void OpenDevice(bool withPipes = false) {
        ASSERT_EQ(OpenDeviceInterface(&device, &detail, 0), 1);
        if (withPipes) {
            ASSERT_TRUE(USBConfigureDevice(device.get()));
            writePipe = USBOpenEP(detail.get(), kWritePipeEndpoint);
            readPipe = USBOpenEP(detail.get(), kReadPipeEndpoint);
            ASSERT_TRUE(writePipe && readPipe);
        }
        NewLines();
    }
    std::vector<quillon_sim::EmulatedUsbDriver::Request> VendorInRequests() {
        std::vector<quillon_sim::EmulatedUsbDriver::Request> out;
        for (const auto& r : driver.Requests(dev))
            if (r.code == usbio::kIoctlClassOrVendorInRequest) out.push_back(r);
        return out;
    }

    int dev = 0;
    UsbHandle device, writePipe, readPipe;
    UsbDetail detail;
};

TEST_F(DriverAccess, VendorRequestLongerThan65535IsRefusedWithoutADriverRequest) {
    OpenDevice();
    std::vector<uint8_t> reply{7};
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0, 0, 65536, &reply));
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0, 0, -1, &reply));
    EXPECT_EQ(driver.CountRequests(dev, usbio::kIoctlClassOrVendorInRequest), 0u);
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USBVendorRequest / Vendor request length too big",
                                        "USBCommunication / USBVendorRequest / Vendor request length too big"));
    EXPECT_EQ(reply, Bytes({7}));

    ASSERT_TRUE(USBVendorRequest(device.get(), 0, 0, 0, 65535, &reply));
    ASSERT_EQ(VendorInRequests().size(), 1u);
    EXPECT_EQ(VendorInRequests()[0].outSize, 65535u);
    EXPECT_EQ(reply.size(), 36u);  // the status answer: echo 1B 3F, 30 bytes, their sum
    EXPECT_THAT(NewLines(), ElementsAre());
}

TEST_F(DriverAccess, VendorRequestHeaderLayout) {
    OpenDevice();
    std::vector<uint8_t> reply;
    ASSERT_TRUE(USBVendorRequest(device.get(), 23, 0x1234, 0x5678, 40, &reply));
    const auto requests = VendorInRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].in, Bytes({0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     23, 0x34, 0x12, 0x78, 0x56}));
    EXPECT_EQ(requests[0].outSize, 40u);
}

TEST_F(DriverAccess, FiveTimeoutsAreRepeatedThenTheRequestFails) {
    OpenDevice();
    driver.SetFault(dev, UsbioFault::Timeout, 6);
    std::vector<uint8_t> reply;
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0x1234, 0x5678, 36, &reply));
    const auto requests = VendorInRequests();
    ASSERT_EQ(requests.size(), 6u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.in, requests[0].in);
        EXPECT_EQ(r.outSize, 36u);
    }
    std::vector<std::string> expected;
    for (int pass = 1; pass <= 5; ++pass)
        expected.push_back("USBCommunication / !w USBVendorRequest (Timeout occured / Pass through number " +
                           std::to_string(pass) + ") Driver status code err= 0xE000100C");
    expected.push_back(
        "USBCommunication / USB  !E GetLastError(0xE000100C) USBVendorRequest Driver status code (err= 0xE000100C | "
        "bRequest: 0 | wValue: 4660 | wIndex: 22136 | wLength: 36");
    EXPECT_EQ(NewLines(), expected);
}

TEST_F(DriverAccess, TimeoutsWithinTheRepetitionsAreAnswered) {
    OpenDevice();
    driver.SetFault(dev, UsbioFault::Timeout, 5);
    std::vector<uint8_t> reply;
    EXPECT_TRUE(USBVendorRequest(device.get(), 0, 0, 0, 36, &reply));
    EXPECT_EQ(VendorInRequests().size(), 6u);
    EXPECT_EQ(NewLines().size(), 5u);
    EXPECT_EQ(reply.size(), 36u);
}

TEST_F(DriverAccess, StallIsRepeatedOnce) {
    OpenDevice();
    driver.SetFault(dev, UsbioFault::Stall, 1);
    std::vector<uint8_t> reply;
    EXPECT_TRUE(USBVendorRequest(device.get(), 0, 0, 0, 36, &reply));
    EXPECT_EQ(VendorInRequests().size(), 2u);
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / !w USBVendorRequest Driver status code err= 0xE0000004"));
    EXPECT_EQ(reply.size(), 36u);

    driver.SetFault(dev, UsbioFault::Stall, 2);
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0, 0, 36, &reply));
    EXPECT_EQ(VendorInRequests().size(), 4u);
    EXPECT_THAT(NewLines(),
                ElementsAre("USBCommunication / !w USBVendorRequest Driver status code err= 0xE0000004",
                            "USBCommunication / USB  !E GetLastError(0xE0000004) USBVendorRequest Driver status code "
                            "(err= 0xE0000004 | bRequest: 0 | wValue: 0 | wIndex: 0 | wLength: 36"));
}

TEST_F(DriverAccess, RequestStillPendingAfter3000PollsIsCancelled) {
    OpenDevice();
    driver.SetFault(dev, UsbioFault::Hang, 1);
    const uint64_t slept = clock.SleptMs();
    const uint64_t polls = driver.Polls();
    std::vector<uint8_t> reply;
    EXPECT_FALSE(USBVendorRequest(device.get(), 0, 0, 0, 36, &reply));
    EXPECT_EQ(clock.SleptMs() - slept, 3000u);
    EXPECT_EQ(driver.Polls() - polls, 3001u);  // the first look, then 3,000 polls
    EXPECT_EQ(driver.CancelledTransfers(), 1u);
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USB  !E GetLastError(0x000003E4) USBVendorRequest Driver "
                                        "status code (err= 0x000003E4 | bRequest: 0 | wValue: 0 | wIndex: 0 | "
                                        "wLength: 36"));
}

TEST_F(DriverAccess, StringDescriptorsBecomeEightBitTexts) {
    OpenDevice();
    struct Case {
        std::vector<uint8_t> descriptor;
        std::string text;
    };
    std::vector<uint8_t> full = {64, 3};
    for (int i = 0; i < 31; ++i) full.insert(full.end(), {static_cast<uint8_t>('a' + i % 26), 0});
    const Case cases[] = {
        {{14, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 'F', 0}, "ABCDEF"},
        {{2, 3}, ""},
        {{1, 3, 'X', 0}, ""},
        {{0, 3, 'X', 0}, ""},
        {{0x90, 3, 'X', 0, 'Y', 0}, ""},  // above 127 as a signed byte
        {{8, 3, 0xE9, 0x00, 0x2D, 0x4E, 'z', 0}, "\xE9-z"},  // low byte of each code unit
        {full, std::string("abcdefghijklmnopqrstuvwxyzabcde")},
    };
    for (const Case& c : cases) {
        driver.SetRawString(dev, 2, c.descriptor);
        std::array<uint8_t, kDescriptorBufferSize> buffer{};
        ASSERT_TRUE(USBGetDescriptor(2, device.get(), kDescriptorString, &buffer));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data())), c.text) << int(c.descriptor[0]);
    }
    const auto requests = driver.Requests(dev);
    EXPECT_EQ(requests.back().code, usbio::kIoctlGetDescriptor);
    EXPECT_EQ(requests.back().in, Bytes({0, 0, 0, 0, 3, 2, 0, 0}));
    EXPECT_EQ(requests.back().outSize, 64u);
    EXPECT_THAT(NewLines(), ElementsAre());
}

TEST_F(DriverAccess, DescriptorFailures) {
    OpenDevice();
    std::array<uint8_t, kDescriptorBufferSize> buffer{};
    ASSERT_TRUE(USBGetDescriptor(0, device.get(), kDescriptorDevice, &buffer));
    EXPECT_EQ(buffer[12], 0x85);
    EXPECT_EQ(buffer[13], 0x01);

    // A refused request gives up.
    driver.SetFault(dev, UsbioFault::StringUnreadable, 1);
    EXPECT_FALSE(USBGetDescriptor(1, device.get(), kDescriptorString, &buffer));
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USB  !E GetLastError(0xE0000004) USBGetDescriptor Driver "
                                        "status code (err= 0xE0000004)"));

    // Any other failure is logged and the buffer used as it is: empty, never the previous
    // descriptor.
    ASSERT_TRUE(USBGetDescriptor(2, device.get(), kDescriptorString, &buffer));
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "640-002");
    driver.Unplug(dev);
    EXPECT_TRUE(USBGetDescriptor(2, device.get(), kDescriptorString, &buffer));
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "");
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USB  !E GetLastError(0xE0002001) USBGetDescriptor Driver "
                                        "status code (err= 0xE0002001)"));
}

TEST_F(DriverAccess, ConfigurationTriesAlternateSetting0Then1) {
    OpenDevice();
    driver.SetFault(dev, UsbioFault::AlternateSetting1Only);
    EXPECT_TRUE(USBConfigureDevice(device.get()));
    EXPECT_TRUE(driver.Configured(dev));
    EXPECT_THAT(NewLines(), ElementsAre());
    std::vector<std::vector<uint8_t>> requests;
    for (const auto& r : driver.Requests(dev))
        if (r.code == usbio::kIoctlSetConfiguration) requests.push_back(r.in);
    ASSERT_EQ(requests.size(), 2u);
    for (int alternate = 0; alternate < 2; ++alternate) {
        std::vector<uint8_t> expected(260, 0);
        const std::vector<uint8_t> head = {0, 0, 1, 0, 0, 0, static_cast<uint8_t>(alternate), 0, 0x00, 0x00, 0x01, 0x00};
        std::copy(head.begin(), head.end(), expected.begin());
        EXPECT_EQ(requests[static_cast<size_t>(alternate)], expected);
    }
    EXPECT_EQ(IsUSBMultibleDeviceAlreadyConfigured(device.get()), 1);
}

TEST_F(DriverAccess, ConfigurationRefusedByBothSettingsIsLogged) {
    OpenDevice();
    driver.SetFault(dev, UsbioFault::ConfiguredElsewhere);
    EXPECT_EQ(IsUSBMultibleDeviceAlreadyConfigured(device.get()), 1);
    EXPECT_FALSE(USBConfigureDevice(device.get()));
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USB  !E GetLastError(0xE0002003) USBConfigureDevice "
                                        "SetConfiguration"));
    EXPECT_EQ(driver.CountRequests(dev, usbio::kIoctlSetConfiguration), 2u);
}

TEST_F(DriverAccess, OpeningDeviceInterfaces) {
    UsbHandle other;
    UsbDetail otherDetail;
    EXPECT_EQ(OpenDeviceInterface(&other, &otherDetail, 1), 0);  // no second device
    EXPECT_FALSE(other);
    EXPECT_FALSE(otherDetail);
    EXPECT_THAT(NewLines(), ElementsAre());

    OpenDevice();
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->devicePath, "emulated-usbio:0");
    EXPECT_EQ(driver.CountRequests(dev, usbio::kIoctlGetDriverInfo), 1u);
    EXPECT_EQ(IsUSBMultibleDeviceAlreadyConfigured(device.get()), 0);
    EXPECT_EQ(driver.OpenHandles(dev), 1);
    ReleaseDevice(&device, &detail);
    EXPECT_FALSE(device);
    EXPECT_FALSE(detail);
    EXPECT_EQ(driver.OpenHandles(dev), 0);

    driver.SetFault(dev, UsbioFault::CannotOpen);
    EXPECT_EQ(OpenDeviceInterface(&device, &detail, 0), 0);
    EXPECT_FALSE(detail);
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USB  !E GetLastError(0xE0002002) CreateFile: E0001100"));
}

TEST_F(DriverAccess, PipesBindToTheirEndpoints) {
    OpenDevice(true);
    EXPECT_EQ(driver.OpenHandles(dev), 3);
    std::vector<uint8_t> binds;
    for (const auto& r : driver.Requests(dev))
        if (r.code == usbio::kIoctlBindPipe) binds.push_back(r.in.at(0));
    EXPECT_THAT(binds, ElementsAre(0x02, 0x81));
    EXPECT_EQ(driver.CountRequests(dev, usbio::kIoctlResetPipe), 2u);
    EXPECT_FALSE(USBCloseEP(std::move(writePipe)));
    EXPECT_EQ(driver.OpenHandles(dev), 2);

    // A pipe the driver cannot unbind is handed back unchanged.
    driver.Unplug(dev);
    UsbHandle back = USBCloseEP(std::move(readPipe));
    EXPECT_TRUE(back);
}

TEST_F(DriverAccess, PipeThatCannotBeBoundIsClosed) {
    driver.SetFault(dev, UsbioFault::PipeNotBindable, 0x81);
    OpenDevice();
    ASSERT_TRUE(USBConfigureDevice(device.get()));
    EXPECT_FALSE(USBOpenEP(detail.get(), 0x81));
    EXPECT_EQ(driver.OpenHandles(dev), 1);
    EXPECT_THAT(NewLines(), ElementsAre("USBCommunication / USB  !E GetLastError(0xE0000004) USBOpenEP(81) BindPipe"));
}

TEST_F(DriverAccess, WritesGoInPiecesOf64AfterTheVendorOutRequest) {
    OpenDevice(true);
    std::vector<uint8_t> data(130);
    std::iota(data.begin(), data.end(), 0);
    EXPECT_EQ(USBWrite(device.get(), writePipe.get(), data.data(), 130), 130u);
    const auto writes = driver.BulkOutWrites(dev);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].size(), 64u);
    EXPECT_EQ(writes[1].size(), 64u);
    EXPECT_EQ(writes[2].size(), 2u);
    std::vector<uint8_t> joined;
    for (const auto& w : writes) joined.insert(joined.end(), w.begin(), w.end());
    EXPECT_EQ(joined, data);
    std::vector<quillon_sim::EmulatedUsbDriver::Request> outs;
    for (const auto& r : driver.Requests(dev))
        if (r.code == usbio::kIoctlClassOrVendorOutRequest) outs.push_back(r);
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].in, Bytes({0x00, 0x00, 0x01, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(outs[0].outSize, 0u);
    EXPECT_THAT(NewLines(), ElementsAre());
}

TEST_F(DriverAccess, FailedWriteEndsWithTheCountSoFar) {
    OpenDevice(true);
    driver.SetFault(dev, UsbioFault::BulkOutFailsAfter, 64);
    std::vector<uint8_t> data(130, 0x55);
    EXPECT_EQ(USBWrite(device.get(), writePipe.get(), data.data(), 130), 64u);
    EXPECT_EQ(driver.BulkOutWrites(dev).size(), 1u);
    EXPECT_THAT(NewLines(),
                ElementsAre("USBCommunication / USB  !E GetLastError(0xE000200B) USBWrite (written= 64[Bytes])"));
}

TEST_F(DriverAccess, ReadGivesUpAfterItsBudget) {
    OpenDevice(true);
    const uint64_t slept = clock.SleptMs();
    const uint64_t polls = driver.Polls();
    uint8_t buffer[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(USBRead(readPipe.get(), buffer, 8), 0u);
    EXPECT_EQ(clock.SleptMs() - slept, 50u);
    EXPECT_EQ(driver.Polls() - polls, 51u);
    EXPECT_THAT(NewLines(),
                ElementsAre("USBCommunication / (USBRead: soll: 8 Bytes | ist: 0 Bytes | letzteAnzGelesenerBytes: 0 | "
                            "timeout: 0)",
                            "USBCommunication / (USBRead: .......Abbruch ! soll: 8 Bytes | ist: 0 Bytes | timeout: 0)"));
    // The abandoned read was cancelled: data that comes later never reaches the buffer.
    EXPECT_EQ(driver.CancelledTransfers(), 1u);
    driver.QueueBulkIn(dev, Bytes({9, 9, 9, 9, 9, 9, 9, 9}));
    for (uint8_t b : buffer) EXPECT_EQ(b, 1);
}

TEST_F(DriverAccess, ReadBudgetGrowsWithTheLength) {
    OpenDevice(true);
    const std::pair<uint32_t, uint32_t> cases[] = {{8, 50}, {4096, 139}, {65536, 1486}};
    for (const auto& [len, budget] : cases) {
        EXPECT_EQ(USBReadBudget(len), budget);
        std::vector<uint8_t> buffer(len);
        const uint64_t slept = clock.SleptMs();
        EXPECT_EQ(USBRead(readPipe.get(), buffer.data(), len), 0u);
        EXPECT_EQ(clock.SleptMs() - slept, budget) << len;
    }
}

TEST_F(DriverAccess, ReadsGoInPiecesOf65536) {
    OpenDevice(true);
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    driver.QueueBulkIn(dev, data);
    std::vector<uint8_t> buffer(70000);
    EXPECT_EQ(USBRead(readPipe.get(), buffer.data(), 70000), 70000u);
    EXPECT_EQ(buffer, data);
    EXPECT_THAT(driver.BulkInRequests(dev), ElementsAre(65536u, 4464u));
    EXPECT_THAT(NewLines(), ElementsAre());
}

TEST_F(DriverAccess, ShortReadReportsWhatArrived) {
    OpenDevice(true);
    driver.QueueBulkIn(dev, Bytes({1, 2, 3, 4, 5, 6}));
    uint8_t buffer[8] = {};
    EXPECT_EQ(USBRead(readPipe.get(), buffer, 8), 6u);
    EXPECT_THAT(driver.BulkInRequests(dev), ElementsAre(8u, 2u));
    EXPECT_THAT(NewLines(),
                ElementsAre("USBCommunication / (USBRead: soll: 8 Bytes | ist: 6 Bytes | letzteAnzGelesenerBytes: 0 | "
                            "timeout: 0)",
                            "USBCommunication / (USBRead: .......Abbruch ! soll: 8 Bytes | ist: 6 Bytes | timeout: 0)"));
}

TEST_F(DriverAccess, ErrorTextIsCutAt255Characters) {
    SetLastUsbError(0x12345678);
    LogUsbError("%s", std::string(400, 'x').c_str());
    const auto lines = NewLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string head = "USBCommunication / USB  !E GetLastError(0x12345678) ";
    ASSERT_EQ(lines[0].substr(0, head.size()), head);
    EXPECT_EQ(lines[0].size(), std::string("USBCommunication / USB  !E ").size() + 255);
}

}  // namespace
