// The library started with its log on in a temporary folder, the virtual clock, and the
// emulated USB driver in place of the system's.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include <string>
#include <vector>

#include "devlib/library.h"
#include "platform/clock.h"
#include "sim/usbio/emulated_usb_driver.h"
#include "tests/support/library_fixture.h"
#include "transport/device_communication.h"
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

// Polls a channel's download progress (real time at most 10 s) until done(progress) holds and
// returns the last value. A -1 counts only when it holds over several polls: a poll that
// misses the download mutex (held by the thread at that moment) also answers -1, and on the
// virtual clock its 500 ms wait can pass while the thread is merely descheduled.
template <typename Done>
int PollDownloadProgress(velmora::CDeviceCommunication* c, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int p = c->GetDownloadProgress();
    int minusOnes = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        minusOnes = p == -1 ? minusOnes + 1 : 0;
        if (done(p) && (p != -1 || minusOnes >= 20)) break;
        std::this_thread::sleep_for(std::chrono::microseconds(p == -1 ? 2000 : 200));
        p = c->GetDownloadProgress();
    }
    return p;
}

}  // namespace usbiotest
