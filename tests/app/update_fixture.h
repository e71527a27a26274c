// The whole program in-process against the emulated device: the fixture both the table of
// endings and the fault matrix run on. The emulator is on a real pseudo-terminal reached through
// the port override, device changes come from inotify, every wait runs on a virtual clock.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "devlib/velmora.h"
#include "firmware/hex_reader.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "sim/newer_emulator.h"
#include "tests/app/scripted_host.h"
#include "tests/app/test_images.h"
#include "sim/usbio/emulated_usb_driver.h"
#include "report/usage_report.h"
#include "tests/report/loopback.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"
#include "transport/usbio_driver.h"
#include "transport/usb_communication.h"

namespace apptest {

using apptest::ScriptedHost;
using apptest::Shown;
using app::MbIcon;
using quillon_sim::DeviceState;
using quillon_sim::Fault;

const std::string kCaption = "Firmware update";
const std::string kProgram = "/usr/lib/quillon/quillon-0350_Norvik1150";
const std::string kAppName = "quillon-0350_Norvik1150";

const std::string kWarningText =
    "Attention\n\n1. Before a firmware update save print images, as they may be damaged (upload print image to "
    "Tavlo graphic, after the firmware update download the print image again) \n\n2. Close Tavlo graphic and "
    "other Software, before continue Firmware update \n\n3. If the device security is enabled, take Tavlo "
    "graphic to unlock the device.";
const std::string kWorkaroundTail =
    "\r\n\r\n\r\nWorkaround:\r\n--------------\r\n\r\n  Leave the Firmware update application\r\n  Put the device "
    "in the Bootware state:\r\n    Move print cartridge out of park\r\n    Press T1 and function key 'print "
    "cartridge' together\r\n    and turn on the device\r\n  Launch the  Firmware update application again";
const std::string kWorkaround = "Firmware update not successful." + kWorkaroundTail;
const std::string kSuccess = "Firmware successful updated.";
const std::string kInstallFailed =
    "The firmware update may have failed due to an encountered error.\nPlease check the firmware version and "
    "restart the firmware update.";

struct Expect {
    std::string text;
    std::string caption;
    MbIcon icon;
};
const Expect kWarn{kWarningText, kCaption, MbIcon::Warning};
const Expect kDone{kSuccess, kCaption, MbIcon::Information};
Expect Error(const std::string& text) { return {text, kCaption, MbIcon::Error}; }
const Expect kWorkaroundBox{kWorkaround, kAppName, MbIcon::Error};

// The fixture's parts are public: the cases of the table reach them from their lambdas.
class UpdateFixture {
public:
    void SetUpRun() {
        velmora::ResetLibraryForTest();
        app::ResetApplicationState();
        firmware::HexState() = firmware::HexReaderState{};
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        setenv("QUILLON_REPORT_HOST", "", 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        // No system bus unless a test starts a private one: the real logind is left alone.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
        testsupport::WriteFile(dir / "Kalder/VelmoraLog.cfg", "");
        setenv("VELMORA_COM_PORTS", ("0A1F=" + Link()).c_str(), 1);
        platform::SetEventSink(&sink);
        // The loop's waits pass after 5 ms of real time; a device's reply gets a second.
        clock.SetLongPollSlice(5000, 1000);
        platform::SetClock(&clock);
        NewHost();
    }
    // A host whose device watch sees the ports VELMORA_COM_PORTS names now.
    void NewHost() {
        host = std::make_unique<ScriptedHost>();
        host->onText = [this](int id, const std::string& text) {
            if (id == app::IDC_PROGRESS_LOWER && text == "Reconnect Norvik 1150") commitMs = clock.NowMs();
            if (textHook) textHook(id, text);
        };
        host->onPosition = [this](int id, int position) {
            if (id == app::IDC_PROGRESS_LOWER && host->Text(app::IDC_PROGRESS_UPPER) == "Firmware update part 4 of 4")
                installPositions.push_back(position);
            if (positionHook) positionHook(id, position);
        };
    }
    void TearDownRun() {
        if (emulator) emulator->Stop();
        usbio::SetDriver(nullptr);
        for (int id = 0; id < velmora::kMaxDevices; ++id) velmora::Close(id);
        velmora::SetChannelFactoryForTest({});
        platform::SetClock(nullptr);
        platform::SetEventSink(nullptr);
        velmora::ResetLibraryForTest();
        for (const char* v : {"VELMORA_COMMON_APPDATA", "VELMORA_LOCK_DIR", "QUILLON_REPORT_HOST", "VELMORA_COM_PORTS",
                              "DBUS_SYSTEM_BUS_ADDRESS", "XDG_STATE_HOME"})
            unsetenv(v);
    }

    std::string Link() const { return dir / "port0"; }

    // Runs the program once against a device set up by `device`. Returns the exit status.
    int RunProgram(const std::function<void(DeviceState&)>& device = {}) {
        quillon_sim::EmulatorConfig config;
        config.linkPath = Link();
        config.device = quillon_sim::MakeDevice(1160);
        config.device.serial = "N11501";
        config.device.version = config.device.pendingVersion = 340;
        config.restartDelayMs = restartDelayMs;
        config.lateReplyMs = lateReplyMs;
        config.logSink = [this](const std::string& line) {
            if (deviceLog) deviceLog(line);
        };
        if (device) device(config.device);
        if (!withDevice) config.linkPath = dir / "elsewhere";
        emulator = std::make_unique<quillon_sim::NewerDeviceEmulator>(config);
        std::string error;
        EXPECT_TRUE(emulator->Start(&error)) << error;
        firmware::ScopedResourceStore store(images.Store());
        startMs = clock.NowMs();
        app::DialogOptions options(program);
        options.ifNewer = ifNewer;
        app::CQuillonApp application(*host, options);
        EXPECT_FALSE(application.InitInstance());
        endMs = clock.NowMs();
        if (getenv("QUILLON_TEST_SHOW_LOG")) std::fprintf(stderr, "%s\n", testsupport::ReadFile(dir / "Kalder/Velmora.log").c_str());
        // Whatever the ending, nothing the run opened stays open.
        for (int id = 0; id < velmora::kMaxDevices; ++id) EXPECT_EQ(velmora::DeviceChannel(id), nullptr) << id;
        return application.ExitStatus();
    }

    void ExpectMessages(const std::vector<Expect>& expected) {
        ASSERT_EQ(host->messages.size(), expected.size()) << Messages();
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(host->messages[i].text, expected[i].text);
            EXPECT_EQ(host->messages[i].caption, expected[i].caption);
            EXPECT_EQ(host->messages[i].icon, expected[i].icon);
        }
    }
    std::string Messages() const {
        std::string all;
        for (const Shown& m : host->messages) all += "[" + m.caption + "] " + m.text + "\n";
        return all;
    }
    // Lines of the device's command log that contain `part`.
    size_t Commands(const std::string& part) const {
        const auto log = emulator->CommandLog();
        return static_cast<size_t>(
            std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    bool FlashHoldsImage() const {
        return emulator->ReadFlash(apptest::TestImages::kBase, images.controllerBytes.size()) == images.controllerBytes;
    }
    // Whether the dialog is writing the device (download, commit, ESP32 part) just now.
    bool Writing() const {
        return host->DialogForTest() && host->DialogForTest()->CurrentActivity() == app::Activity::Writing;
    }
    // Makes a change to the device once the lower bar reaches `position` (100: just before the commit).
    void AtLowerPosition(int position, std::function<void(DeviceState&)> change) {
        positionHook = [this, position, change, done = false](int id, int pos) mutable {
            if (done || id != app::IDC_PROGRESS_LOWER || pos != position || host->Text(app::IDC_PROGRESS_UPPER) !=
                                                                                 "Firmware update part 1 of 4")
                return;
            done = true;
            emulator->Update(change);
        };
    }

    std::string program = kProgram;
    bool ifNewer = false;  // --if-newer
    bool withDevice = true;
    uint32_t lateReplyMs = 20000;  // the emulator's late replies
    uint32_t restartDelayMs = 1000;  // how long the device is away when it restarts
    // Device set-up a test arranges before the run (passed to RunProgram).
    std::function<void(DeviceState&)> emulatorSetup;
    // Each line of the device's command log as the device writes it (on the emulator's thread).
    std::function<void(const std::string&)> deviceLog;
    testsupport::TempDir dir;
    testsupport::NullEventSink sink;
    platform::VirtualClock clock{platform::VirtualClock::DefaultStart(), 5};
    apptest::TestImages images;
    std::unique_ptr<ScriptedHost> host;
    std::unique_ptr<quillon_sim::NewerDeviceEmulator> emulator;
    uint64_t startMs = 0;
    uint64_t endMs = 0;
    uint64_t commitMs = 0;  // when stage 2 began
    std::vector<int> installPositions;  // lower bar positions during stage 4
    bool hookRan = false;
    std::function<void(int, const std::string&)> textHook;
    std::function<void(int, int)> positionHook;
};

}  // namespace apptest
