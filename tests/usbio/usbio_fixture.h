// The library started with its log on in a temporary folder, the virtual clock, and the
// emulated USB driver in place of the system's.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "devlib/library.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "sim/usbio/emulated_usb_driver.h"
#include "tests/support/temp_dir.h"
#include "transport/usbio_driver.h"

namespace usbiotest {

class NullSink : public platform::EventSink {
public:
    bool Report(const platform::Event&) override { return true; }
};

class UsbioTest : public ::testing::Test {
protected:
    void SetUp() override {
        velmora::ResetLibraryForTest();
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        platform::SetEventSink(&sink);
        platform::SetClock(&clock);
        usbio::SetDriver(&driver);
        testsupport::WriteFile(dir / "Kalder/VelmoraLog.cfg", "");
        velmora::InitLibrary();
        logStart = testsupport::ReadFile(LogPath()).size();
    }
    void TearDown() override {
        usbio::SetDriver(nullptr);
        velmora::ResetLibraryForTest();
        platform::SetClock(nullptr);
        platform::SetEventSink(nullptr);
        unsetenv("VELMORA_COMMON_APPDATA");
        unsetenv("VELMORA_LOCK_DIR");
    }

    std::string LogPath() const { return dir / "Kalder/Velmora.log"; }

    // The log lines written since the last call, without their time stamps.
    std::vector<std::string> NewLines() {
        const std::string all = testsupport::ReadFile(LogPath());
        const std::string text = all.substr(logStart);
        logStart = all.size();
        std::vector<std::string> out;
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) nl = text.size();
            const std::string line = text.substr(start, nl - start);
            const size_t bar = line.find(" | ");
            out.push_back(bar == std::string::npos ? line : line.substr(bar + 3));
            start = nl + 1;
        }
        return out;
    }

    // Lines of NewLines() that contain part.
    std::vector<std::string> NewLinesWith(const std::string& part) {
        std::vector<std::string> out;
        for (const std::string& l : NewLines())
            if (l.find(part) != std::string::npos) out.push_back(l);
        return out;
    }

    testsupport::TempDir dir;
    NullSink sink;
    platform::VirtualClock clock;
    quillon_sim::EmulatedUsbDriver driver;
    size_t logStart = 0;
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
