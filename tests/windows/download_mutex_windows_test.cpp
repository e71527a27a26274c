// The older family's download when its mutex cannot be created, in the Windows build: the name
// "VelmoraMutexForFirmwareUpdate<module tag>" is taken by an event of this test, so CreateMutex
// fails (on Linux a missing lock folder does it). Each test runs in a process of its own, so
// no earlier mutex of that name is open.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devlib/access_code.h"
#include "devlib/velmora.h"
#include "tests/usbio/usbio_fixture.h"
#include "transport/device_communication.h"

namespace {

using namespace velmora;

class DownloadMutexTaken : public usbiotest::UsbioTest {
protected:
    void SetUp() override {
        UsbioTest::SetUp();
        dev = driver.AddDevice(usbiotest::Older(640));
        id = OpenV2(0, "640", nullptr);
        ASSERT_EQ(id, 0);
        ASSERT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 1, 0), 1);
        const std::string name = std::string("VelmoraMutexForFirmwareUpdate") + ModuleTag();
        blocker = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        ASSERT_NE(blocker, nullptr);
        ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
    void TearDown() override {
        Close(id);
        if (blocker) CloseHandle(blocker);
        UsbioTest::TearDown();
    }
    int dev = 0;
    int id = -1;
    HANDLE blocker = nullptr;
};

TEST_F(DownloadMutexTaken, UpdateDataThatCannotStartItsDownloadGivesMinus6) {
    std::vector<uint8_t> data(222);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    const SFUpdateDataHeader header = MakeUpdateDataHeader(kUpdateDataBlock, 350, 1, 0x00401000, 222);
    EXPECT_EQ(SetSFDeviceUpdateData(id, data.data(), header), -6);
    EXPECT_EQ(DeviceChannel(id)->GetDownloadProgress(), -1);
}

}  // namespace
