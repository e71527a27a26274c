// The whole update in-process: the dialog on its own message loop, the emulated device on a
// real pseudo-terminal found through the port override, device changes from inotify, every
// wait on a virtual clock. Each case checks the messages in order, the exit status, the bars at
// the end and what the device was sent.
#include <gtest/gtest.h>

#include "tests/app/update_fixture.h"
#include "tests/support/private_bus.h"

namespace {

using namespace apptest;

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
             // The device went and was not seen again: it may be waiting in Bootware.
             EXPECT_EQ(f.host->notes, (std::vector<std::string>{std::string(app::kStoppedMaybeInBootware)}));
             EXPECT_EQ(std::count(f.host->ticks.begin(), f.host->ticks.end(), 1002u), 3);
         }},
        {"StopDuringDownloadWaitsForTheCommit", {},
         [](UpdateFixture& f) {
             f.host->onKeepAlive = [&f, once = false]() mutable {
                 if (!once && f.Writing()) {
                     f.host->PressStop();
                     once = true;
                 }
             };
         },
         {kWarn}, app::kExitCancelled, kStage2, 2, kReconnect, 100, false,
         [](UpdateFixture& f) {
             ASSERT_EQ(f.host->notes.size(), 2u);
             EXPECT_NE(f.host->notes[0].find("stopping now could leave it without"), std::string::npos) << f.host->notes[0];
             EXPECT_EQ(f.host->notes[1], app::kStoppedWithoutEsp32Part);
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
