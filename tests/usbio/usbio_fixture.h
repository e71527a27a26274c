// The library started with its log on in a temporary folder, the virtual clock, and the
// emulated USB driver in place of the system's.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "devlib/library.h"
#include "platform/clock.h"
#include "sim/usbio/emulated_usb_driver.h"
#include "tests/support/library_fixture.h"
#include "transport/usbio_driver.h"

namespace usbiotest {

class UsbioTest : public testsupport::LibraryWithLog {
protected:
    void SetUp() override {
        platform::SetClock(&clock);
        usbio::SetDriver(&driver);
        LibraryWithLog::SetUp();
    }
    void TearDown() override {
        LibraryWithLog::TearDown();
        usbio::SetDriver(nullptr);
        platform::SetClock(nullptr);
    }

    // Lines of NewLines() that contain part.
    std::vector<std::string> NewLinesWith(const std::string& part) {
        std::vector<std::string> out;
        for (const std::string& l : NewLines())
            if (l.find(part) != std::string::npos) out.push_back(l);
        return out;
    }

    platform::VirtualClock clock;
    quillon_sim::EmulatedUsbDriver driver;
};

// Older-family settings in one line.
inline quillon_sim::OlderUsbDeviceSettings Older(uint16_t model, const std::string& serial = "A12345",
                                                 bool bootLoader = false) {
    quillon_sim::OlderUsbDeviceSettings s;
    s.model = model;
    s.serial = serial;
    s.productId = model == 610 ? 0x0610 : 0x0640;
    s.bootLoader = bootLoader;
    return s;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}

}  // namespace usbiotest
