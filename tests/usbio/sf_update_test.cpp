// SetSFDeviceUpdateData for the older family, end to end through the library's public
// functions: update mode, reconnect, download thread, finishing work.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "devlib/access_code.h"
#include "devlib/velmora.h"
#include "tests/usbio/usbio_fixture.h"
#include "transport/device_communication.h"

using namespace velmora;
using quillon_sim::UsbioFault;
using usbiotest::Bytes;
using usbiotest::Older;

namespace {

class OlderUpdate : public usbiotest::UsbioTest {
protected:
    void SetUp() override {
        UsbioTest::SetUp();
        quillon_sim::OlderUsbDeviceSettings s = Older(640);
        s.restartMs = 3500;  // two reconnect tries fail, the third finds it
        dev = driver.AddDevice(s);
        id = OpenV2(0, "640", nullptr);
        ASSERT_EQ(id, 0);
        ASSERT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 1, 0), 1);
        ASSERT_TRUE(driver.ServiceModeActive(dev));
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
        NewLines();
    }
    void TearDown() override {
        driver.SetBulkOutGate(dev, false);
        Close(id);
        UsbioTest::TearDown();
    }
    int Progress() {
        CDeviceCommunication* c = DeviceChannel(id);
        return usbiotest::PollDownloadProgress(c, [](int p) { return p < 0 || p >= 100; });
    }
    // Update-mode frames the device took, by their mode byte.
    std::vector<int> UpdateModes() {
        std::vector<int> modes;
        for (const auto& f : driver.Frames(dev))
            if (f.size() == 24 && f[6] == 0x55 && f[7] == 0x41) modes.push_back(f[9]);
        return modes;
    }

    int dev = 0;
    int id = -1;
    std::vector<uint8_t> data = std::vector<uint8_t>(222);
};

TEST_F(OlderUpdate, ImageReachesTheDeviceAndTheDeviceRunsItsApplicationAgain) {
    const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 222);
    const uint64_t slept = clock.SleptMs();
    EXPECT_EQ(SetSFDeviceUpdateData(id, data.data(), header), 1);
    // Update mode with the header's kind, one second, Close, reopen tries one second apart.
    EXPECT_EQ(UpdateModes(), std::vector<int>({2}));
    EXPECT_EQ(clock.SleptMs() - slept, 1000u + 3 * 1000u);
    const auto lines = NewLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CUSBCommunication::Open / Error 07"), 2);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "SetSFDeviceUpdateData / returnValue 1 / deviceID 0"),
              lines.end());
    EXPECT_EQ(DeviceChannel(id)->runsApplication, 0);

    EXPECT_EQ(Progress(), 100);
    // The device took the header in the older order and the data, and left update mode.
    std::vector<uint8_t> expected =
        Bytes({0x00, 0x02, 0x01, 0x5E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x10, 0x00, 0x00, 0x00, 0x00, 0xDE});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(driver.UpdateData(dev), expected);
    EXPECT_EQ(UpdateModes(), std::vector<int>({2, 0}));
    EXPECT_FALSE(driver.BootLoader(dev));
    EXPECT_EQ(DeviceChannel(id)->runsApplication, 1);
    EXPECT_EQ(DeviceChannel(id)->IsOpen(), 1);
}

TEST_F(OlderUpdate, ServiceModeOffRefusesWithoutTraffic) {
    ASSERT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 0, 0), 1);
    const size_t frames = driver.Frames(dev).size();
    const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 222);
    EXPECT_EQ(SetSFDeviceUpdateData(id, data.data(), header), -11);
    EXPECT_EQ(driver.Frames(dev).size(), frames);
}

TEST_F(OlderUpdate, FailedUpdateModeCommandStartsNothing) {
    driver.SetFault(dev, UsbioFault::BulkOutFailsAfter, 0);
    const uint64_t slept = clock.SleptMs();
    const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 222);
    EXPECT_EQ(SetSFDeviceUpdateData(id, data.data(), header), -2);
    EXPECT_EQ(clock.SleptMs(), slept);  // no reconnect
    EXPECT_EQ(DeviceChannel(id)->IsOpen(), 1);
    EXPECT_EQ(DeviceChannel(id)->GetDownloadProgress(), -1);  // no download
}

TEST_F(OlderUpdate, DeviceThatDoesNotComeBackStillGetsTheDownloadStarted) {
    driver.SetFault(dev, UsbioFault::NeverReturn);
    const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 222);
    EXPECT_EQ(SetSFDeviceUpdateData(id, data.data(), header), 1);
    // Without a device the thread has no route: its first block fails.
    EXPECT_EQ(Progress(), -1);
    const auto lines = NewLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CUSBCommunication::Open / Error 07"), 10);
    EXPECT_THAT(lines, testing::Contains("UpdateThread / downloadBlockSize 2 / downloadedSize 0"));
}

TEST_F(OlderUpdate, LengthThatNoFrameCanCarryIsRefused) {
    const size_t frames = driver.Frames(dev).size();
    const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 0xFFFFFFF0u);
    EXPECT_EQ(SetSFDeviceUpdateData(id, data.data(), header), -4);
    EXPECT_EQ(driver.Frames(dev).size(), frames);
}

class OlderUpdateDeathTest : public OlderUpdate {};

TEST_F(OlderUpdateDeathTest, DownloadThatCannotStartGivesMinus6) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("VELMORA_LOCK_DIR", (dir / "missing").c_str(), 1);
            const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 222);
            const int result = SetSFDeviceUpdateData(id, data.data(), header);
            std::exit(result == -6 && DeviceChannel(id)->GetDownloadProgress() == -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
