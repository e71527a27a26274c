// The channel's USB-driver route against the emulated driver: the open search, identity,
// vendor requests, bulk reads and writes, device listing, close.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "devlib/commands.h"
#include "tests/usbio/usbio_fixture.h"
#include "transport/usb_communication.h"

using namespace velmora;
using quillon_sim::UsbioFault;
using testing::ElementsAre;
using usbiotest::Bytes;
using usbiotest::Older;

namespace {

const char* const kBefore = "CUSBCommunication::GetListOfAvailableDevices / IsUSBMultibleDeviceAlreadyConfigured() Before";
const char* const kSuccess =
    "CUSBCommunication::GetListOfAvailableDevices / IsUSBMultibleDeviceAlreadyConfigured() After / Success";
const char* const kFailed =
    "CUSBCommunication::GetListOfAvailableDevices / IsUSBMultibleDeviceAlreadyConfigured() After / Failed";

class Channel : public usbiotest::UsbioTest {
protected:
    // The lines of the USB-driver stage: every line that names an Open error 01..09 or the
    // configuration probe.
    std::vector<std::string> StageLines() {
        std::vector<std::string> out;
        for (const std::string& l : NewLines())
            if (l.find("/ Error 0") != std::string::npos || l.find("AlreadyConfigured") != std::string::npos)
                out.push_back(l);
        return out;
    }
    // Nothing of a device is held after the channel let it go.
    void ExpectReleased(int device) {
        EXPECT_EQ(driver.OpenHandles(device), 0) << device;
        EXPECT_FALSE(driver.Configured(device)) << device;
    }
};

TEST_F(Channel, NewChannelIsClosedWithDefaultIdentity) {
    CUSBCommunication c;
    EXPECT_EQ(c.IsOpen(), 0);
    EXPECT_EQ(c.model, 0);
    EXPECT_EQ(c.runsApplication, 1);
    EXPECT_STREQ(c.serial, "");
    EXPECT_EQ(c.Close(), 0);
    EXPECT_EQ(c.GetDownloadProgress(), -1);  // no download was started
}

TEST_F(Channel, DriverDeviceWinsAndComPortsAreNotLookedAt) {
    // A newer-family port is registered; the COM stage would log its lookup.
    testsupport::WriteFile(dir / "port1160", "");
    setenv("VELMORA_COM_PORTS", ("0A1F=" + (dir / "port1160")).c_str(), 1);
    const int dev = driver.AddDevice(Older(610));
    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open(nullptr, 0, &ex), 1);
    unsetenv("VELMORA_COM_PORTS");
    EXPECT_EQ(ex, 0);
    EXPECT_EQ(c.IsOpen(), 1);
    EXPECT_TRUE(c.UsesUsbDriver());
    EXPECT_EQ(c.ComPort(), kInvalidComHandle);
    EXPECT_EQ(c.model, 610);
    EXPECT_EQ(c.variant, 2);
    EXPECT_EQ(c.version, 185);
    EXPECT_EQ(c.runsApplication, 1);
    EXPECT_STREQ(c.serial, "A12345");
    EXPECT_THAT(NewLines(), ElementsAre(kBefore, kSuccess));
    EXPECT_EQ(driver.OpenHandles(dev), 3);  // device and both pipes
    EXPECT_TRUE(driver.Configured(dev));

    EXPECT_EQ(c.Close(), 1);
    EXPECT_EQ(c.IsOpen(), 0);
    ExpectReleased(dev);
    EXPECT_EQ(c.Close(), 0);
}

TEST_F(Channel, WithoutDriverDeviceTheComStageFollows) {
    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open("1160", 0, &ex), 0);
    EXPECT_EQ(ex, 16007);
    EXPECT_EQ(c.IsOpen(), 0);
    const auto lines = NewLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "CUSBCommunication::Open / Error 07");
    EXPECT_EQ(lines[1].rfind("CUSBCommunication::Open / numAvailableComPorts (660) ", 0), 0u) << lines[1];
}

TEST_F(Channel, RequestTextChoosesTheDevice) {
    struct Case {
        const char* request;
        int result;
        std::vector<std::string> errors;
        int ex;
    };
    const Case cases[] = {
        {"610", 1, {}, 0},
        {"610-A12345", 1, {}, 0},
        {"640", 0, {"CUSBCommunication::Open / Error 01", "CUSBCommunication::Open / Error 07"}, 16007},
        {"610-B99999", 0, {"CUSBCommunication::Open / Error 02", "CUSBCommunication::Open / Error 07"}, 16007},
        {"-A12345", 0, {"CUSBCommunication::Open / Error 09", "CUSBCommunication::Open / Error 07"}, 16007},
    };
    const int dev = driver.AddDevice(Older(610));
    for (const Case& k : cases) {
        CUSBCommunication c;
        int ex = 0;
        EXPECT_EQ(c.Open(k.request, 0, &ex), k.result) << k.request;
        EXPECT_EQ(ex, k.ex) << k.request;
        std::vector<std::string> errors;
        for (const std::string& l : StageLines())
            if (l.find("/ Error 0") != std::string::npos) errors.push_back(l);
        EXPECT_EQ(errors, k.errors) << k.request;
        c.Close();
        ExpectReleased(dev);
    }
}

TEST_F(Channel, ExtendedErrorKeepsTheLastValueAlsoOnSuccess) {
    const int first = driver.AddDevice(Older(640, "B00001"));
    driver.AddDevice(Older(610, "C00002"));
    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open("610", 0, &ex), 1);
    EXPECT_EQ(ex, 16001);
    EXPECT_STREQ(c.serial, "C00002");
    EXPECT_THAT(StageLines(), ElementsAre(kBefore, kSuccess, "CUSBCommunication::Open / Error 01", kBefore, kSuccess));
    ExpectReleased(first);
}

TEST_F(Channel, DeviceConfiguredElsewhereIsSkipped) {
    const int held = driver.AddDevice(Older(640, "B00001"));
    const int free = driver.AddDevice(Older(640, "C00002"));
    driver.SetFault(held, UsbioFault::ConfiguredElsewhere);
    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open(nullptr, 0, &ex), 1);
    EXPECT_STREQ(c.serial, "C00002");
    EXPECT_THAT(StageLines(), ElementsAre(kBefore, kFailed, kBefore, kSuccess));
    EXPECT_EQ(driver.OpenHandles(held), 0);
    EXPECT_TRUE(driver.Configured(free));

    // A second channel does not take the device the first one holds.
    CUSBCommunication second;
    EXPECT_EQ(second.Open(nullptr, 0, &ex), 0);
    EXPECT_THAT(StageLines(), ElementsAre(kBefore, kFailed, kBefore, kFailed, "CUSBCommunication::Open / Error 07"));
    EXPECT_TRUE(driver.Configured(free));  // releasing the skipped device left the holder's configuration
    EXPECT_EQ(c.Close(), 1);
}

TEST_F(Channel, FailedProbeCountsAsNotConfigured) {
    const int dev = driver.AddDevice(Older(640));
    driver.SetFault(dev, "configuration-unreadable");
    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open(nullptr, 0, &ex), 1);
    EXPECT_THAT(NewLines(), ElementsAre(kBefore,
                                        "USBCommunication / USB  !E GetLastError(0xE000200B) "
                                        "IsUSBMultibleDevicesAlreadyConfigured failed",
                                        kSuccess));
}

TEST_F(Channel, UnpluggedDeviceEndsTheSearch) {
    driver.AddDevice(Older(640));
    driver.Unplug(0);
    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open(nullptr, 0, &ex), 0);
    EXPECT_EQ(ex, 16007);
}

TEST_F(Channel, RejectedDevicesAndTheirErrors) {
    using Driver = quillon_sim::EmulatedUsbDriver;
    struct Case {
        const char* name;
        std::function<void(Driver&, int)> fault;
        int result;       // the second, good device is opened unless the stage ended
        std::string error;  // "" none
        int ex;
    };
    const Case cases[] = {
        {"other maker", [](Driver& d, int n) { d.SetRawString(n, 1, {8, 3, 'A', 0, 'C', 0, 'M', 0}); }, 1, "", 0},
        {"other product", [](Driver& d, int n) { d.SetRawString(n, 2, {8, 3, '7', 0, '0', 0, '0', 0}); }, 1, "", 0},
        {"serial unreadable", [](Driver& d, int n) { d.SetFault(n, UsbioFault::StringUnreadable, 3); }, 1, "", 0},
        {"device descriptor unreadable",
         [](Driver& d, int n) { d.SetFault(n, UsbioFault::DeviceDescriptorUnreadable); }, 1,
         "CUSBCommunication::Open / Error 03", 16004},
        {"pipe not bindable", [](Driver& d, int n) { d.SetFault(n, UsbioFault::PipeNotBindable, 0x81); }, 0,
         "CUSBCommunication::Open / Error 04", 16005},
        {"product unreadable", [](Driver& d, int n) { d.SetFault(n, UsbioFault::StringUnreadable, 2); }, 0,
         "CUSBCommunication::Open / Error 05", 16006},
        {"maker unreadable", [](Driver& d, int n) { d.SetFault(n, UsbioFault::StringUnreadable, 1); }, 0,
         "CUSBCommunication::Open / Error 06", 16006},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Driver local;
        usbio::ScopedDriver use(local);
        const int bad = local.AddDevice(Older(640, "B00001"));
        const int good = local.AddDevice(Older(610, "C00002"));
        k.fault(local, bad);
        CUSBCommunication c;
        int ex = 0;
        EXPECT_EQ(c.Open(nullptr, 0, &ex), k.result);
        EXPECT_EQ(ex, k.ex);
        std::vector<std::string> errors;
        for (const std::string& l : NewLines())
            if (l.rfind("CUSBCommunication::Open / Error 0", 0) == 0) errors.push_back(l);
        if (k.error.empty()) {
            EXPECT_THAT(errors, ElementsAre());
        } else {
            EXPECT_THAT(errors, ElementsAre(k.error));
        }
        EXPECT_EQ(local.OpenHandles(bad), 0);
        EXPECT_FALSE(local.Configured(bad));
        EXPECT_EQ(local.Configured(good), k.result == 1);
        if (k.result == 1) {
            EXPECT_STREQ(c.serial, "C00002");
        }
        c.Close();
    }
}

TEST_F(Channel, IdentityFromTheDescriptors) {
    struct Case {
        std::string product;
        uint16_t bcd;
        uint16_t model, variant, version;
        uint8_t runsApplication;
    };
    const Case cases[] = {
        {"640-002-BW", 0x0185, 640, 2, 185, 0},
        {"640-002", 0x0185, 640, 2, 185, 1},
        {"610-017 x-BW", 0x0205, 610, 17, 205, 0},
        {"640-0-BW", 0x1A00, 640, 0, 1, 1},  // "-BW" before character 7 does not count
        {"640", 0x0100, 640, 0, 100, 1},
    };
    for (const Case& k : cases) {
        quillon_sim::EmulatedUsbDriver local;
        usbio::ScopedDriver use(local);
        quillon_sim::OlderUsbDeviceSettings s = Older(640);
        s.product = k.product;
        s.bcdDevice = k.bcd;
        local.AddDevice(s);
        CUSBCommunication c;
        int ex = 0;
        ASSERT_EQ(c.Open(nullptr, 0, &ex), 1) << k.product;
        EXPECT_EQ(c.model, k.model) << k.product;
        EXPECT_EQ(c.variant, k.variant) << k.product;
        EXPECT_EQ(c.version, k.version) << k.product;
        EXPECT_EQ(c.runsApplication, k.runsApplication) << k.product;
        c.Close();
    }
}

TEST_F(Channel, IdentifyReadsTheDescriptorsAgain) {
    const int dev = driver.AddDevice(Older(640));
    CUSBCommunication c;
    int ex = 0;
    ASSERT_EQ(c.Open(nullptr, 0, &ex), 1);
    driver.SetRawString(dev, 2, {22, 3, '6', 0, '1', 0, '0', 0, '-', 0, '0', 0, '0', 0, '5', 0, '-', 0, 'B', 0, 'W', 0});
    EXPECT_EQ(c.Identify(), 1);
    EXPECT_EQ(c.model, 610);
    EXPECT_EQ(c.variant, 5);
    EXPECT_EQ(c.runsApplication, 0);

    driver.SetFault(dev, UsbioFault::StringUnreadable, 2);
    EXPECT_EQ(c.Identify(), -1);
    EXPECT_EQ(c.model, 610);
}

class OpenChannel : public Channel {
protected:
    void SetUp() override {
        Channel::SetUp();
        dev = driver.AddDevice(Older(640));
        int ex = 0;
        ASSERT_EQ(c.Open(nullptr, 0, &ex), 1);
        NewLines();
    }
    void TearDown() override {
        c.Close();
        Channel::TearDown();
    }
    std::vector<quillon_sim::EmulatedUsbDriver::Request> VendorIn() {
        std::vector<quillon_sim::EmulatedUsbDriver::Request> out;
        for (const auto& r : driver.Requests(dev))
            if (r.code == usbio::kIoctlClassOrVendorInRequest) out.push_back(r);
        return out;
    }
    int dev = 0;
    CUSBCommunication c;
};

TEST_F(OpenChannel, VendorRequestLengthsOfEachQuery) {
    struct Case {
        std::vector<uint8_t> head;
        int bRequest;
        int replyLen;
        uint32_t asked;
        int returned;
    };
    const Case cases[] = {
        {{0x1B, 0x3F}, 0, 30, 36, 34},
        {{0x1B, 0x64, 0x3F, 0x20}, -1, 24, 32, 28},
        {{0x1B, 0x70, 0x3F, 0x20}, 1, 180, 188, 184},
        {{0x1B, 0x69, 0x73, 0x6D, 0x3F, 0x20}, 23, 30, 40, 34},
        {{0x1B, 0x69, 0x54, 0x53, 0x3F, 0x20}, 20, 22, 32, 26},
        {{0x1B, 0x69, 0x44, 0x3F}, 24, 26, 34, 30},
    };
    for (const Case& k : cases) {
        uint8_t cmd[12] = {};
        std::copy(k.head.begin(), k.head.end(), cmd);
        cmd[6] = 0x12;
        cmd[7] = 0x34;
        cmd[8] = 0x56;
        cmd[9] = 0x78;
        std::vector<uint8_t> reply;
        EXPECT_EQ(c.Transact(k.bRequest, cmd, 12, k.replyLen, &reply), k.returned) << k.bRequest;
        ASSERT_EQ(reply.size(), static_cast<size_t>(k.returned));
        const auto r = VendorIn().back();
        EXPECT_EQ(r.outSize, k.asked) << k.bRequest;
        EXPECT_EQ(r.in[13], static_cast<uint8_t>(k.bRequest));
        EXPECT_EQ(r.in[14], 0x34);  // wValue 0x1234, little-endian in the header
        EXPECT_EQ(r.in[15], 0x12);
        EXPECT_EQ(r.in[16], 0x78);  // wIndex 0x5678
        EXPECT_EQ(r.in[17], 0x56);
        // The payload is followed by its ByteSum, big-endian.
        const uint32_t sum = ByteSum(reply.data(), static_cast<uint32_t>(reply.size() - 4));
        EXPECT_EQ(reply[reply.size() - 1], static_cast<uint8_t>(sum));
    }
    // The library's query sees the record the device described.
    DeviceStatus status{};
    EXPECT_EQ(c.GetDeviceStatus(&status), 1);
    EXPECT_EQ(status.akku, 85);
    EXPECT_EQ(status.Busy, 0);
}

TEST_F(OpenChannel, VendorRequestFailures) {
    const uint8_t status[12] = {0x1B, 0x3F};
    std::vector<uint8_t> reply;
    driver.SetFault(dev, UsbioFault::GarbleEcho);
    EXPECT_EQ(c.Transact(0, status, 12, 30, &reply), -2);
    driver.ClearFaults(dev);
    driver.SetFault(dev, UsbioFault::ShortRead);
    EXPECT_EQ(c.Transact(0, status, 12, 30, &reply), -3);
    driver.ClearFaults(dev);
    driver.SetFault(dev, UsbioFault::Stall, 2);
    EXPECT_EQ(c.Transact(0, status, 12, 30, &reply), -3);
    // A reply longer than a vendor request can carry is not asked for.
    size_t before = VendorIn().size();
    NewLines();
    EXPECT_EQ(c.Transact(0, status, 12, 65535, &reply), -3);
    EXPECT_EQ(c.Transact(0, status, 12, 0x7FFFFFFF, &reply), -3);
    EXPECT_EQ(VendorIn().size(), before);
    EXPECT_EQ(NewLinesWith("Vendor request length too big").size(), 2u);
    // Commands of the newer family have no route here.
    const uint8_t newer[6] = {0x05, 0x3F, 0x20, 0x53, 0x00, 0x00};
    before = VendorIn().size();
    EXPECT_EQ(c.Transact(0, newer, 6, 30, &reply), -1);
    EXPECT_EQ(VendorIn().size(), before);
}

TEST_F(OpenChannel, VendorRequestWaitsForTheLibraryMutex) {
    std::promise<void> held, release;
    std::thread holder([&] {
        LibraryMutex()->Lock(0);
        held.set_value();
        release.get_future().wait();
        LibraryMutex()->Unlock();
    });
    held.get_future().wait();
    const uint8_t status[12] = {0x1B, 0x3F};
    std::vector<uint8_t> reply;
    const uint64_t slept = clock.SleptMs();
    const size_t before = VendorIn().size();
    EXPECT_EQ(c.Transact(0, status, 12, 30, &reply), 0);
    EXPECT_GE(clock.SleptMs() - slept, 20000u);
    EXPECT_EQ(VendorIn().size(), before);
    release.set_value();
    holder.join();
}

TEST_F(OpenChannel, ReadChecksTheTrailingSum) {
    uint8_t data[8] = {};
    driver.QueueBulkIn(dev, Bytes({1, 2, 3, 4, 0, 0, 0, 0x0A}));
    EXPECT_EQ(c.Read(data, 8), 1);
    driver.QueueBulkIn(dev, Bytes({1, 2, 3, 4, 0, 0, 0, 0x0B}));
    EXPECT_EQ(c.Read(data, 8), -3);
    driver.QueueBulkIn(dev, Bytes({1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(c.Read(data, 8), -2);
    c.Close();
    EXPECT_EQ(c.Read(data, 8), -1);
}

TEST_F(OpenChannel, WriteSendsTheFrameAndChecksTheStatusWhenAsked) {
    // Service mode on through the library's own frame.
    EXPECT_EQ(c.ActivateSFModuleMode(1), 1);
    EXPECT_TRUE(driver.ServiceModeActive(dev));
    const size_t queries = VendorIn().size();

    // delayMs -1: no status query at all.
    std::vector<uint8_t> frame;
    const uint8_t activate[4] = {0x1B, 0x69, 0x73, 0x6D};
    const uint8_t off[10] = {};
    ASSERT_EQ(BuildDataFrame(activate, off, 10, &frame), 22);
    EXPECT_EQ(c.Write(frame.data(), 22, 0, -1), 1);
    EXPECT_EQ(VendorIn().size(), queries);

    // Waits while the device is busy, then checks its status after the delay.
    driver.SetFault(dev, UsbioFault::Busy, 3);
    const uint64_t slept = clock.SleptMs();
    EXPECT_EQ(c.Write(frame.data(), 22, 1, 250), 1);
    EXPECT_EQ(VendorIn().size(), queries + 5);  // 3 busy, 1 ready, 1 after the delay
    EXPECT_GE(clock.SleptMs() - slept, 250u + 3 * 11);

    // A device that stays busy, or reports an error, is not ready.
    driver.SetFault(dev, UsbioFault::Busy, 1000);
    EXPECT_EQ(c.Write(frame.data(), 22, 1, -1), -3);
    driver.ClearFaults(dev);
    driver.SetFault(dev, UsbioFault::StatusError);
    EXPECT_EQ(c.Write(frame.data(), 22, 0, 0), -3);
    driver.ClearFaults(dev);

    // A frame the device rejects (wrong sum) shows in its status.
    frame.back() ^= 1;
    EXPECT_EQ(c.Write(frame.data(), 22, 0, 0), -3);
    frame.back() ^= 1;
    EXPECT_EQ(c.Write(frame.data(), 22, 0, 0), 1);

    // A write the pipe does not take.
    driver.SetFault(dev, UsbioFault::BulkOutFailsAfter, 0);
    EXPECT_EQ(c.Write(frame.data(), 22, 0, -1), -2);
}

TEST_F(Channel, ListOfAvailableDevices) {
    CUSBCommunication c;
    std::vector<uint8_t> list = {9, 9};
    EXPECT_EQ(c.GetListOfAvailableDevices(&list), 0);
    EXPECT_EQ(list, Bytes({9, 9}));
    EXPECT_EQ(NewLines().at(0),
              "CUSBCommunication::GetListOfAvailableDevices NEW 128000 !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");

    const int unopenable = driver.AddDevice(Older(640, "X00000"));
    driver.SetFault(unopenable, UsbioFault::CannotOpen);
    const int a = driver.AddDevice(Older(610, "A11111"));
    const int held = driver.AddDevice(Older(640, "H00000"));
    driver.SetFault(held, UsbioFault::ConfiguredElsewhere);
    quillon_sim::OlderUsbDeviceSettings s660 = Older(640, "N00000");
    s660.product = "660-001";
    const int newer = driver.AddDevice(s660);
    const int b = driver.AddDevice(Older(640, "B22222"));

    EXPECT_EQ(c.ListAvailableDevices(&list, 0), 2);
    EXPECT_EQ(list, Bytes({1, 0, 0x62, 0x02, 'A', '1', '1', '1', '1', '1', 0, 0,
                           1, 0, 0x80, 0x02, 'B', '2', '2', '2', '2', '2', 0, 0}));
    for (int d : {unopenable, a, held, newer, b}) EXPECT_EQ(driver.OpenHandles(d), 0);
    EXPECT_FALSE(driver.Configured(a));
    EXPECT_FALSE(driver.Configured(b));
    EXPECT_EQ(c.IsOpen(), 0);
}

}  // namespace
