// The whole update in-process: the dialog on its own message loop, the emulated device on a
// real pseudo-terminal found through the port override, device changes from inotify, every
// wait on a virtual clock. Each case checks the messages in order, the exit status, the bars at
// the end and what the device was sent.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/quillon_dlg.h"
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
#include "tests/support/private_bus.h"
#include "tests/support/temp_dir.h"
#include "transport/usbio_driver.h"
#include "transport/usb_communication.h"

namespace {

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
        // No system bus unless a test starts a private one: the real logind is left alone.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
        testsupport::WriteFile(dir / "Kalder/VelmoraLog.cfg", "");
        setenv("VELMORA_COM_PORTS", ("0A1F=" + Link()).c_str(), 1);
        platform::SetEventSink(&sink);
        // The loop's waits pass after 5 ms of real time; a device's reply gets a second.
        clock.SetLongPollSlice(5000, 1000);
        platform::SetClock(&clock);
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
                              "DBUS_SYSTEM_BUS_ADDRESS"})
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
        config.restartDelayMs = 1000;
        if (device) device(config.device);
        if (!withDevice) config.linkPath = dir / "elsewhere";
        emulator = std::make_unique<quillon_sim::NewerDeviceEmulator>(config);
        std::string error;
        EXPECT_TRUE(emulator->Start(&error)) << error;
        firmware::ScopedResourceStore store(images.Store());
        startMs = clock.NowMs();
        app::CQuillonApp application(*host, {program});
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
    bool withDevice = true;
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


// One run of the program: how the device and the program are set up, and what must come out.
struct Case {
    std::string name;
    std::function<void(DeviceState&)> device;
    std::function<void(UpdateFixture&)> prepare;  // images, answers, hooks
    std::vector<Expect> messages;
    int exitStatus;
    std::string upperText;
    int upperPos;
    std::string lowerText;
    int lowerPos;  // -1: not checked
    bool lowerPercent;
    std::function<void(UpdateFixture&)> check;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class UpdateRun : public ::testing::TestWithParam<Case>, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
};

const std::string kStage1 = "Firmware update part 1 of 4";
const std::string kStage2 = "Firmware update part 2 of 4";
const std::string kStage4 = "Firmware update part 4 of 4";
const std::string kReconnect = "Reconnect Norvik 1150";
const std::string kOtherDevice =
    "It was not possible to connect with the same Norvik 1150. \nPlease make sure that you have only one Norvik "
    "1150 connected to the PC during the firmware update.";

void NoEsp32(DeviceState& d) { quillon_sim::SetEsp32Present(d, false); }

// The controller update was complete and the device runs the new firmware.
void Updated(UpdateFixture& f) {
    EXPECT_TRUE(f.FlashHoldsImage());
    EXPECT_EQ(f.Commands("kind 2 address"), 3u);  // three blocks of the test image
    EXPECT_EQ(f.Commands("(commit version 350"), 1u);
    const DeviceState d = f.emulator->State();
    EXPECT_EQ(d.version, 350);
    EXPECT_TRUE(d.runsApplication);
    EXPECT_FALSE(d.serviceMode);  // switched off at the end
}

// Nothing was written: the device was never told to enter Bootware.
void Untouched(UpdateFixture& f) {
    EXPECT_EQ(f.Commands("(enter Bootware)"), 0u);
    EXPECT_EQ(f.Commands("kind 2 address"), 0u);
    EXPECT_FALSE(f.emulator->State().serviceMode);
}

// The three ESP32 files are on the card as the images hold them; the placeholder is not.
void FilesOnCard(UpdateFixture& f) {
    auto files = f.emulator->SdFiles();
    for (const auto& [id, name] : std::vector<std::pair<int, std::string>>{
             {141, "bootloader.bin"}, {142, "partitions.bin"}, {144, "application.bin"}}) {
        ASSERT_EQ(files.count(name), 1u) << name;
        EXPECT_EQ(files[name].data, f.images.files[id]) << name;
        EXPECT_TRUE(files[name].closed) << name;
    }
    EXPECT_EQ(files.count("spiffs.bin"), 0u);
    EXPECT_EQ(f.Commands("(install ESP32 images)"), 1u);
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"SuccessWithoutEsp32", NoEsp32, {}, {kWarn, kDone}, app::kExitSuccess, kStage2, 4, kReconnect, 100, false,
         [](UpdateFixture& f) {
             Updated(f);
             EXPECT_TRUE(f.host->notes.empty());
             EXPECT_EQ(f.host->title, "Firmware update to Norvik 1150 | SNr.N11501 | FW 3.40 | Var 000 ");
             EXPECT_EQ(f.host->heading, " Firmware update Norvik 1150 to Firmware 03.50 ");
             EXPECT_TRUE(f.host->largeIcon);
         }},
        {"SuccessWithEsp32", {}, {}, {kWarn, kDone}, app::kExitSuccess, kStage4, 4, "", 100, true,
         [](UpdateFixture& f) {
             Updated(f);
             FilesOnCard(f);
             // Three busy reads and the one that says done.
             EXPECT_EQ(f.installPositions, (std::vector<int>{1, 2, 3, 4, 100}));
         }},
        {"AlreadyInBootware", [](DeviceState& d) { d.runsApplication = false; }, {}, {kWarn, kDone},
         app::kExitSuccess, kStage4, 4, "", 100, true,
         [](UpdateFixture& f) {
             Updated(f);
             // The first tick of the download timer wrote the image.
             EXPECT_EQ(std::count(f.host->ticks.begin(), f.host->ticks.end(), 1002u), 1);
             EXPECT_EQ(f.host->title, "Firmware update to Norvik 1150 | SNr.N11501 | FW 1.10 | Var 000 ");
         }},
        {"CancelInWarning", {}, [](UpdateFixture& f) { f.host->answers = {app::IDCANCEL}; }, {kWarn},
         app::kExitCancelled, "", 0, "", 0, true,
         [](UpdateFixture& f) { EXPECT_EQ(f.Commands("device information"), 0u); }},
        {"Locked", [](DeviceState& d) { d.status.stats |= 0xC000; }, {},
         {kWarn,
          {" Firmware update not possible.\n\n The device security is active and the device is locked. To perform a "
           "firmware update, take Tavlo graphic and unlock the device.",
           kCaption, MbIcon::Warning}},
         app::kExitRefused, kStage1, 1, "", 0, true, Untouched},
        {"OneLockBitOnly", [](DeviceState& d) { d.status.stats |= 0x4000; NoEsp32(d); }, {}, {kWarn, kDone},
         app::kExitSuccess, kStage2, 4, kReconnect, 100, false, Updated},
        {"ImageForAnotherModel", {},
         [](UpdateFixture& f) {
             f.images.controllerBytes = apptest::ControllerBytes(660, 350, 0, 5000);
             f.images.controllerHex = apptest::HexOf(f.images.controllerBytes, apptest::TestImages::kBase);
         },
         {kWarn, Error(" Firmware update not possible.\n\n Wrong device connected.")}, app::kExitRefused, kStage1, 1,
         "", 0, true, Untouched},
        {"Esp32OnlyIndicator198", [](DeviceState& d) { d.sensors[13] = 198; },
         [](UpdateFixture& f) {
             f.images.controllerHex = hextest::kEof;
             f.program = "/usr/lib/quillon/quillon-0412_ESP";
         },
         {kWarn, {"You only want to update the ESP32 Firmware", kCaption, MbIcon::Warning}, kDone}, app::kExitSuccess,
         kStage4, 4, "", 100, true,
         [](UpdateFixture& f) {
             FilesOnCard(f);
             EXPECT_EQ(f.Commands("kind 2 address"), 0u);
             EXPECT_EQ(f.host->heading, " ESP32 firmware update to Version 04.12 ");
             EXPECT_EQ(f.host->messages[1].buttons, app::MbButtons::YesNo);
         }},
        {"Esp32OnlyIndicator199", [](DeviceState& d) { d.sensors[13] = 199; },
         [](UpdateFixture& f) { f.images.controllerHex = hextest::kEof; },
         {kWarn, {"You only want to update the ESP32 Firmware", kCaption, MbIcon::Warning},
          {"Update failed, hardware too old.\nThere is no ESP32 on the control board", kCaption, MbIcon::Warning}},
         app::kExitRefused, kStage1, 1, "", 0, true, Untouched},
        {"Esp32OnlyAnsweredNo", {},
         [](UpdateFixture& f) {
             f.images.controllerHex = hextest::kEof;
             f.host->answers = {app::IDOK, app::IDNO};
         },
         {kWarn, {"You only want to update the ESP32 Firmware", kCaption, MbIcon::Warning}}, app::kExitCancelled,
         kStage1, 1, "", 0, true, Untouched},
        {"NeverBackInBootware", [](DeviceState& d) { d.faults.insert(Fault::NeverReturn); }, {}, {kWarn, kWorkaroundBox},
         app::kExitUpdateFailed, kStage1, 1, "", 0, true,
         [](UpdateFixture& f) {
             EXPECT_EQ(std::count(f.host->ticks.begin(), f.host->ticks.end(), 1002u), 50);
             // 50 ticks of 200 ms after the start of the update.
             EXPECT_GE(f.endMs - f.startMs, 10000u);
             EXPECT_LT(f.endMs - f.startMs, 11000u);
         }},
        {"BlockRefused", [](DeviceState& d) { d.faults.insert(Fault::RefuseFrame); }, {},
         {kWarn, Error("Firmware updated not successful." + kWorkaroundTail)}, app::kExitUpdateFailed, kStage1, 1, "",
         12, true, [](UpdateFixture& f) { EXPECT_EQ(f.Commands("refused (fault refuse-frame)"), 1u); }},
        {"ReadBackCorrupted", [](DeviceState& d) { d.faults.insert(Fault::CorruptPage); }, {}, {kWarn, kWorkaroundBox},
         app::kExitUpdateFailed, kStage1, 1, "", 12, true,
         [](UpdateFixture& f) { EXPECT_EQ(f.Commands("(commit version"), 0u); }},
        {"NeverBackAfterCommit", {},
         [](UpdateFixture& f) { f.AtLowerPosition(100, [](DeviceState& d) { d.faults.insert(Fault::NeverReturn); }); },
         {kWarn, Error("Can not reconnnet to the 1150")}, app::kExitUpdateFailed, kStage2, 2, kReconnect, -1, false,
         [](UpdateFixture& f) {
             // Ticks stretched by the reopening attempts still end about 100 s after the commit.
             EXPECT_GE(f.endMs - f.commitMs, 99000u);
             EXPECT_LE(f.endMs - f.commitMs, 108000u);
         }},
        {"OtherSerialAfterCommit", {},
         [](UpdateFixture& f) { f.AtLowerPosition(100, [](DeviceState& d) { d.faults.insert(Fault::OtherSerial); }); },
         {kWarn, Error(kOtherDevice)}, app::kExitUpdateFailed, kStage2, 2, kReconnect, -1, false, {}},
        {"BusyAfterCommit", NoEsp32,
         [](UpdateFixture& f) {
             f.host->onTick = [&f](unsigned id, size_t n) {
                 if (id == 1003 && n == 1) f.emulator->Update([](DeviceState& d) { d.status.busy = true; });
                 if (id == 1003 && n == 6) f.emulator->Update([](DeviceState& d) { d.status.busy = false; });
             };
         },
         {kWarn, kDone}, app::kExitSuccess, kStage2, 4, kReconnect, 100, false,
         [](UpdateFixture& f) {
             Updated(f);
             EXPECT_GE(f.Commands("busy 1"), 1u);
             EXPECT_GE(std::count(f.host->ticks.begin(), f.host->ticks.end(), 1003u), 6);
         }},
        {"InstallDoneIn3s", [](DeviceState& d) { d.installBusyReads = 2; }, {}, {kWarn, kDone}, app::kExitSuccess,
         kStage4, 4, "", 100, true,
         [](UpdateFixture& f) { EXPECT_EQ(f.installPositions, (std::vector<int>{1, 2, 3, 100})); }},
        {"InstallBusyValueTwo",
         [](DeviceState& d) {
             d.installBusyReads = 2;
             d.status.busyValue = 2;
         },
         {}, {kWarn, kDone}, app::kExitSuccess, kStage4, 4, "", 100, true,
         [](UpdateFixture& f) { EXPECT_EQ(f.installPositions, (std::vector<int>{1, 2, 3, 100})); }},
        {"InstallDoneAtTheLastRead", [](DeviceState& d) { d.installBusyReads = 99; }, {}, {kWarn, kDone},
         app::kExitSuccess, kStage4, 4, "", 100, true, {}},
        {"InstallError5Stays", [](DeviceState& d) { d.faults.insert(Fault::InstallError); }, {},
         {kWarn, Error(kInstallFailed + "\n\n Occurred device error 5 (returnValue 1 (4))")}, app::kExitEsp32Failed,
         kStage4, 4, "", 100, true, {}},
        {"InstallError20", [](DeviceState& d) { d.faults.insert(Fault::InstallErrorFatal); }, {},
         {kWarn, Error(kInstallFailed + "\n\n Occurred device error 20 (returnValue 1 (1))")}, app::kExitEsp32Failed,
         kStage4, 4, "", 100, true, [](UpdateFixture& f) { EXPECT_EQ(f.installPositions, (std::vector<int>{1, 100})); }},
        {"InstallAlwaysBusy", [](DeviceState& d) { d.installBusyReads = 1000; }, {},
         {kWarn, Error("Firmware update not possible.\n\n Timeout error")}, app::kExitEsp32Failed, kStage4, 4, "", 100,
         true, [](UpdateFixture& f) { EXPECT_EQ(f.installPositions.size(), 101u); }},
        {"ServiceModeOffBeforeInstall", {},
         [](UpdateFixture& f) {
             f.textHook = [](int id, const std::string& text) {
                 if (id == app::IDC_PROGRESS_UPPER && text == kStage4) velmora::Table().serviceMode = 0;
             };
         },
         {kWarn, Error(kInstallFailed)}, app::kExitEsp32Failed, kStage4, 4, "", 100, true,
         [](UpdateFixture& f) { EXPECT_EQ(f.Commands("(install ESP32 images)"), 0u); }},
        {"BackInBootwareAfterCommit", {},
         [](UpdateFixture& f) { f.AtLowerPosition(100, [](DeviceState& d) { d.faults.insert(Fault::StayInBootware); }); },
         {kWarn, kWorkaroundBox}, app::kExitUpdateFailed, kStage2, 2, kReconnect, -1, false,
         [](UpdateFixture& f) { EXPECT_LE(f.endMs - f.commitMs, 108000u); }},
        {"OldFirmwareAfterCommit", {},
         [](UpdateFixture& f) {
             f.textHook = [&f](int id, const std::string& text) {
                 if (id != app::IDC_PROGRESS_LOWER || text != kReconnect) return;
                 f.emulator->WaitOffline(5000);
                 f.emulator->Update([](DeviceState& d) { d.version = 340; });
             };
         },
         {kWarn, Error("Firmware update not successful.\n\n The Norvik 1150 restarted with firmware 3.40 (Var 000) "
                       "instead of 3.50 (Var 000).\n\n Please start the firmware update again.")},
         app::kExitUpdateFailed, kStage2, 2, kReconnect, -1, false, {}},
        {"ChangesWhileTheReopenedDeviceAnswers", NoEsp32,
         [](UpdateFixture& f) {
             f.host->onTick = [&f, done = false](unsigned id, size_t) mutable {
                 velmora::CDeviceCommunication* channel = velmora::DeviceChannel(app::g_deviceID);
                 if (done || id != 1003 || !channel || channel->IsOpen() != 1) return;
                 done = true;
                 f.hookRan = true;
                 const size_t opens = f.Commands("device information");
                 for (int i = 0; i < 3; ++i) f.host->DialogForTest()->OnDeviceChange(7, 0);
                 // Still the same open channel, and the device was not opened again.
                 EXPECT_EQ(velmora::DeviceChannel(app::g_deviceID), channel);
                 EXPECT_EQ(channel->IsOpen(), 1);
                 EXPECT_EQ(f.Commands("device information"), opens);
             };
         },
         {kWarn, kDone}, app::kExitSuccess, kStage2, 4, kReconnect, 100, false,
         [](UpdateFixture& f) {
             EXPECT_TRUE(f.hookRan);
             Updated(f);
         }},
        {"TestFunctionOne", [](DeviceState& d) { d.testfunction[0] = 1; NoEsp32(d); }, {}, {kWarn, kDone},
         app::kExitSuccess, kStage2, 4, kReconnect, 100, false, Updated},
        {"ImageBelowFlashBase", {},
         [](UpdateFixture& f) {
             // A few bytes below the flash base ahead of the image.
             f.images.controllerHex = hextest::Linear(0x3F) + hextest::Data(0xF000, {1, 2, 3}) +
                                      apptest::HexOf(f.images.controllerBytes, apptest::TestImages::kBase);
         },
         {kWarn, Error(" Firmware update not possible.\n\n Can not read FW file (-3).")}, app::kExitRefused, kStage1, 1,
         "", 0, true, Untouched},
        {"ImageWithBadRecord", {},
         [](UpdateFixture& f) {
             std::string& hex = f.images.controllerHex;
             hex[hex.find(':', hex.size() / 2) + 12] = 'G';  // a non-hex digit inside a data record
         },
         {kWarn, Error(" Firmware update not possible.\n\n Can not read FW file (-1).")}, app::kExitRefused, kStage1, 1,
         "", 0, true, Untouched},
        {"Esp32ImageMissing", {}, [](UpdateFixture& f) { f.images.files.erase(144); },
         {kWarn, Error(" Firmware update not possible.\n\n Communication not possible \n\n No device connected or "
                       "connection already in use (5).\n\n (GetDeviceInfosFromFile)")},
         app::kExitRefused, kStage1, 1, "", 0, true, Untouched},
        {"NoDevice", {}, [](UpdateFixture& f) { f.withDevice = false; },
         {kWarn, Error(" Firmware update not possible.\n\n No device connected or connection already in use (1,-1).")},
         app::kExitNoDevice, "", 0, "", 0, true, {}},
        {"StopWhileWaitingForBootware", [](DeviceState& d) { d.faults.insert(Fault::NeverReturn); },
         [](UpdateFixture& f) {
             f.host->onTick = [&f](unsigned id, size_t n) {
                 if (id == 1002 && n == 3) f.host->PressStop();
             };
         },
         {kWarn}, app::kExitCancelled, kStage1, 1, "", 0, true,
         [](UpdateFixture& f) {
             EXPECT_EQ(f.host->notes, (std::vector<std::string>{"Firmware update stopped. The device may be waiting in "
                                                                 "Bootware: start the firmware update again to finish it."}));
             EXPECT_EQ(std::count(f.host->ticks.begin(), f.host->ticks.end(), 1002u), 3);
         }},
        {"StopDuringDownloadWaitsForTheCommit", {},
         [](UpdateFixture& f) {
             f.host->onKeepAlive = [&f, once = false]() mutable {
                 if (!once) f.host->PressStop();
                 once = true;
             };
         },
         {kWarn}, app::kExitCancelled, kStage2, 2, kReconnect, 100, false,
         [](UpdateFixture& f) {
             ASSERT_EQ(f.host->notes.size(), 2u);
             EXPECT_NE(f.host->notes[0].find("stopping now could leave it without"), std::string::npos) << f.host->notes[0];
             EXPECT_EQ(f.host->notes[1], "Firmware update stopped.");
             EXPECT_TRUE(f.FlashHoldsImage());
             EXPECT_EQ(f.Commands("(commit version 350"), 1u);
         }},
        {"StopDuringInstallWaitsForTheEnd", {},
         [](UpdateFixture& f) {
             f.host->onKeepAlive = [&f]() {
                 if (f.host->Text(app::IDC_PROGRESS_UPPER) == kStage4) f.host->PressStop();
             };
         },
         {kWarn, kDone}, app::kExitSuccess, kStage4, 4, "", 100, true,
         [](UpdateFixture& f) { EXPECT_EQ(f.host->notes.size(), 1u); }},
    };
    return cases;
}

TEST_P(UpdateRun, EndsAsExpected) {
    const Case& c = GetParam();
    if (c.prepare) c.prepare(*this);
    const int exit = RunProgram(c.device);
    ExpectMessages(c.messages);
    EXPECT_EQ(exit, c.exitStatus);
    EXPECT_EQ(host->Text(app::IDC_PROGRESS_UPPER), c.upperText);
    EXPECT_EQ(host->Position(app::IDC_PROGRESS_UPPER), c.upperPos);
    EXPECT_EQ(host->Text(app::IDC_PROGRESS_LOWER), c.lowerText);
    if (c.lowerPos >= 0) {
        EXPECT_EQ(host->Position(app::IDC_PROGRESS_LOWER), c.lowerPos);
    }
    EXPECT_EQ(host->lowerPercent, c.lowerPercent);
    if (c.check) c.check(*this);
}

// The usage report goes out while the update runs and changes nothing of it: its server here
// reads the report and holds its answer until the update is over.
class ReportBesideTheUpdate : public ::testing::Test, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override {
        report::WaitForReportThread();
        TearDownRun();
        for (const char* v : {"QUILLON_REPORT_CA_FILE", "XDG_CONFIG_HOME", "no_proxy", "NO_PROXY"}) unsetenv(v);
    }
};

TEST_F(ReportBesideTheUpdate, NeitherWaitsForTheOther) {
    const testsupport::TestCertificate certificate = testsupport::MakeTestCertificate(dir.path(), "report");
    ASSERT_FALSE(certificate.certFile.empty());
    testsupport::TlsServer server(certificate);
    ASSERT_TRUE(server.Ready());
    server.HoldAnswers(true);
    setenv("QUILLON_REPORT_HOST", ("127.0.0.1:" + std::to_string(server.Port())).c_str(), 1);
    setenv("QUILLON_REPORT_CA_FILE", certificate.certFile.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("no_proxy", "127.0.0.1", 1);
    setenv("NO_PROXY", "127.0.0.1", 1);
    testsupport::WriteFile(dir / "config/Kalder/Tavlo GRAPHIC.conf", "[General]\nDataToDatabase=0\n");

    EXPECT_EQ(RunProgram(NoEsp32), app::kExitSuccess);
    ExpectMessages({kWarn, kDone});
    Updated(*this);
    // The report was read while the update ran; its answer is still held.
    ASSERT_TRUE(server.WaitForRequests(1, 10000));
    EXPECT_NE(server.Requests()[0].body.find("N11501"), std::string::npos) << server.Requests()[0].body;
    EXPECT_TRUE(report::ReportThreadRunning());
    server.HoldAnswers(false);
    EXPECT_EQ(report::WaitForReportThread(), 1);
}

// The older family's model 610 through the emulated USB driver. Its firmware below 2.00 cannot
// be updated; 2.00 passes that check (and then meets the image for model 1160).
class OlderModelRun : public ::testing::Test, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void UseOlderDevices() {
        usbio::SetDriver(&driver);
        // The program asks for a 1160; this channel takes the 610 that is there.
        velmora::SetChannelFactoryForTest([]() -> velmora::CDeviceCommunication* {
            struct Takes610 : velmora::CUSBCommunication {
                int Open(const char*, int ignored, int* exErrorValue) override {
                    return CUSBCommunication::Open("610", ignored, exErrorValue);
                }
            };
            return new Takes610;
        });
    }
    void TearDown() override { TearDownRun(); }
    quillon_sim::EmulatedUsbDriver driver;
};

TEST_F(OlderModelRun, FirmwareBelow200IsRefusedAnd200IsNot) {
    struct {
        uint16_t bcd;
        Expect refusal;
    } cases[] = {
        {0x0199, {" Firmware update not possible.\n\n Firmware update: smaller than 2.00 FW versions can not be updated",
                  kCaption, MbIcon::Warning}},
        {0x0200, Error(" Firmware update not possible.\n\n Wrong device connected.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bcd);
        TearDownRun();
        SetUpRun();
        UseOlderDevices();
        quillon_sim::OlderUsbDeviceSettings settings;
        settings.model = 610;
        settings.productId = 0x0610;
        settings.bcdDevice = c.bcd;
        const int device = driver.AddDevice(settings);
        withDevice = false;
        EXPECT_EQ(RunProgram(), app::kExitRefused);
        ExpectMessages({kWarn, c.refusal});
        EXPECT_TRUE(host->title.find("Firmware update to 610 | SNr.") == 0) << host->title;
        EXPECT_FALSE(driver.ServiceModeActive(device));
        driver.Unplug(device);
    }
}

class SleepBlock : public ::testing::Test, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
};

// Sleep and shutdown are blocked through logind while the device is being changed, and allowed
// again when the dialog ends, while the program still runs; a refused update blocks nothing.
TEST_F(SleepBlock, HeldWhileTheDeviceIsChangedAndReleasedAtTheEnd) {
    struct {
        const char* name;
        std::function<void(DeviceState&)> device;
        std::function<void(UpdateFixture&)> prepare;
        int exitStatus;
        size_t held;
    } cases[] = {
        {"locked device", [](DeviceState& d) { d.status.stats |= 0xC000; }, {}, app::kExitRefused, 0},
        {"controller and ESP32", {}, {}, app::kExitSuccess, 1},
        // Last: the images stay without a controller image.
        {"ESP32 only", {}, [](UpdateFixture& f) { f.images.controllerHex = hextest::kEof; }, app::kExitSuccess, 1},
    };
    const std::string expected = "sleep:shutdown|Quillon|Firmware update of the Norvik 1150 in progress|block";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDownRun();
        SetUpRun();
        testsupport::TempDir busDir;
        testsupport::PrivateSystemBus bus(busDir.path(), true);
        ASSERT_TRUE(bus.Started()) << bus.Problem();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str(), 1);
        if (c.prepare) c.prepare(*this);
        std::vector<std::string> seen;  // the inhibitors at each stage of the upper bar
        textHook = [&](int id, const std::string&) {
            if (id != app::IDC_PROGRESS_UPPER) return;
            for (const std::string& i : bus.Inhibitors()) seen.push_back(i);
        };
        EXPECT_EQ(RunProgram(c.device), c.exitStatus) << Messages();
        textHook = {};
        if (c.held == 0) {
            EXPECT_TRUE(seen.empty());
            EXPECT_EQ(bus.LogindLog(), std::vector<std::string>{"ready"});
            continue;
        }
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), expected), static_cast<long>(seen.size()));
        EXPECT_TRUE(bus.WaitForLogLine("released Quillon", 5000));
        EXPECT_TRUE(bus.Inhibitors().empty());
        const std::vector<std::string> log = bus.LogindLog();
        EXPECT_EQ(std::count(log.begin(), log.end(), "inhibit " + expected), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateRun, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
