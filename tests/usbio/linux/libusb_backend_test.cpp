// The libusb backend: how libusb's results become driver statuses, and a machine without a
// device of the driver (this test's machine has no USB bus at all).
#include <libusb.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/usbio/usbio_fixture.h"
#include "transport/usb_communication.h"
#include "transport/usb_driver_access.h"
#include "transport/usbio_libusb.h"

using namespace velmora;

namespace {

TEST(LibusbStatus, ErrorsMapOntoDriverStatuses) {
    const std::pair<int, usbio::Status> table[] = {
        {LIBUSB_SUCCESS, usbio::kSuccess},
        {LIBUSB_ERROR_TIMEOUT, usbio::kStatusTimeout},            // 0xE000100C: repeated up to five times
        {LIBUSB_ERROR_PIPE, usbio::kStatusRequestFailed},         // 0xE0000004: stall
        {LIBUSB_ERROR_NO_DEVICE, usbio::kStatusNoDevice},
        {LIBUSB_ERROR_ACCESS, usbio::kStatusAccessDenied},
        {LIBUSB_ERROR_BUSY, usbio::kStatusBusy},
        {LIBUSB_ERROR_OVERFLOW, usbio::kStatusOverflow},
        {LIBUSB_ERROR_INVALID_PARAM, usbio::kStatusInvalidParameter},
        {LIBUSB_ERROR_NOT_FOUND, usbio::kStatusNotFound},
        {LIBUSB_ERROR_INTERRUPTED, usbio::kStatusCancelled},
        {LIBUSB_ERROR_NO_MEM, usbio::kStatusNoMemory},
        {LIBUSB_ERROR_NOT_SUPPORTED, usbio::kStatusNotSupported},
        {LIBUSB_ERROR_IO, usbio::kStatusIoError},
        {LIBUSB_ERROR_OTHER, usbio::kStatusIoError},
        {-1234, usbio::kStatusIoError},
    };
    for (const auto& [error, status] : table) EXPECT_EQ(usbio::StatusFromLibusbError(error), status) << error;
    EXPECT_EQ(usbio::kStatusTimeout, 0xE000100Cu);
    EXPECT_EQ(usbio::kStatusRequestFailed, 0xE0000004u);
}

TEST(LibusbStatus, TransferStatusesMapOntoDriverStatuses) {
    const std::pair<int, usbio::Status> table[] = {
        {LIBUSB_TRANSFER_COMPLETED, usbio::kSuccess},
        {LIBUSB_TRANSFER_TIMED_OUT, usbio::kStatusTimeout},
        {LIBUSB_TRANSFER_STALL, usbio::kStatusRequestFailed},
        {LIBUSB_TRANSFER_NO_DEVICE, usbio::kStatusNoDevice},
        {LIBUSB_TRANSFER_OVERFLOW, usbio::kStatusOverflow},
        {LIBUSB_TRANSFER_CANCELLED, usbio::kStatusCancelled},
        {LIBUSB_TRANSFER_ERROR, usbio::kStatusIoError},
    };
    for (const auto& [transfer, status] : table)
        EXPECT_EQ(usbio::StatusFromLibusbTransfer(transfer), status) << transfer;
}

TEST(LibusbStatus, DevicePathNamesThePosition) {
    const uint8_t ports[] = {1, 4, 2};
    EXPECT_EQ(usbio::LibusbDevicePath(3, ports, 3), "usb:3-1.4.2");
    EXPECT_EQ(usbio::LibusbDevicePath(1, ports, 1), "usb:1-1");
}

// The system's driver, where no device of the driver is attached.
class LibusbBackend : public usbiotest::UsbioTest {
protected:
    void SetUp() override {
        UsbioTest::SetUp();
        usbio::SetDriver(nullptr);
    }
};

TEST_F(LibusbBackend, NoDeviceHere) {
    usbio::Driver& system = usbio::SystemDriver();
    EXPECT_EQ(&usbio::GetDriver(), &system);
    std::string path = "unchanged";
    EXPECT_EQ(system.DeviceInterface(0, &path), usbio::Enumeration::End);
    EXPECT_EQ(path, "unchanged");
    usbio::Status error = 0;
    EXPECT_EQ(system.OpenPath("usb:1-1", true, &error), nullptr);
    EXPECT_EQ(error, usbio::kStatusNoDevice);
    EXPECT_EQ(system.OpenPath("not a path", false, &error), nullptr);

    UsbHandle device;
    UsbDetail detail;
    EXPECT_EQ(OpenDeviceInterface(&device, &detail, 0), 0);

    CUSBCommunication c;
    int ex = 0;
    EXPECT_EQ(c.Open(nullptr, 0, &ex), 0);
    EXPECT_EQ(ex, 16007);
    std::vector<uint8_t> list;
    EXPECT_EQ(c.GetListOfAvailableDevices(&list), 0);
    EXPECT_TRUE(list.empty());
    // Anything the backend says about itself names libusb.
    for (const std::string& line : NewLines()) {
        if (line.find("USBCommunication / ") == 0) {
            EXPECT_NE(line.find("libusb"), std::string::npos) << line;
        }
    }
}

}  // namespace
