// What the program says at the end of a run beyond the system's own text, and what it records:
// the cause, where the device stands, the next step and the run log beneath every ending that
// is not a success; the run log and the history line of every run; the questions about the
// firmware version before anything is written.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/history.h"
#include "app/start_and_checks.h"
#include "tests/app/update_fixture.h"

namespace {

using namespace apptest;

struct Row {
    std::string name;
    std::function<void(DeviceState&)> device;
    std::function<void(UpdateFixture&)> arrange;
    int exitStatus;
    std::string outcome;   // in the history
    std::string cause;     // parts the details must hold ("" : none expected)
    std::string state;
    std::string next;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

std::vector<Row> Rows() {
    return {
        {"corrupt page", [](DeviceState& d) { d.faults.insert(Fault::CorruptPage); }, {}, 1, "failed",
         "page 4 of the controller image read back differently at 0x404010",
         "waits in Bootware; its controller firmware is only partly written",
         "finds the device in Bootware and finishes the update; no key combination is needed"},
        {"never back in Bootware", [](DeviceState& d) { d.faults.insert(Fault::NeverReturn); }, {}, 1, "failed",
         "was not back in Bootware within 10 s", "has not been seen since", "put it in Bootware by hand"},
        {"device gone in the download", {},
         [](UpdateFixture& f) {
             f.positionHook = [&f](int id, int position) {
                 if (id == app::IDC_PROGRESS_LOWER && position == 24 &&
                     f.host->Text(app::IDC_PROGRESS_UPPER) == app::kStageText[1])
                     f.emulator->Unplug();
             };
         },
         1, "failed", "block 2 of the controller image (64512 bytes at 0x413C10) was not accepted", "only partly written",
         "finds the device in Bootware"},
        {"another serial after the restart", {},
         [](UpdateFixture& f) {
             // The first restart (into Bootware) keeps the serial; the one after the commit not.
             f.AtLowerPosition(100, [](DeviceState& d) { d.faults.insert(Fault::OtherSerial); });
         },
         1, "failed", "a device with the serial Z99999 answered instead of N11501", "",
         "Disconnect every other Norvik 1150"},
        {"ESP32 install error",
         [](DeviceState& d) { d.faults.insert(Fault::InstallErrorFatal); }, {}, 5, "failed",
         "the device reported error 20 while installing the ESP32 images",
         "runs the new controller firmware 3.50 (Var 000); its ESP32 part is not completely installed",
         "install the ESP32 part"},
        {"locked", [](DeviceState& d) { d.status.stats |= 0xC000; }, {}, 4, "refused",
         "the device security is active and the device is locked", "runs firmware 3.40 (Var 000), unchanged",
         "Unlock the device with Tavlo graphic"},
        // The port the user named (here through VELMORA_COM_PORTS) is not there: it is named back.
        {"named port missing", {}, [](UpdateFixture& f) { f.withDevice = false; }, 3, "failed",
         "/port0 does not exist", "No Norvik 1150 was opened", "Connect the Norvik 1150 by USB"},
        // Only another model answers: refused, and what was found is named.
        {"another model only", [](DeviceState& d) { d.model = 660; }, {}, 4, "refused",
         "no Norvik 1150 answered; found model 660 (serial N11501) on ", "No Norvik 1150 was opened",
         "this program updates no other model"},
    };
}

class Details : public ::testing::TestWithParam<Row>, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }

    std::vector<app::HistoryEntry> History() { return app::ReadHistory(dir / "state/quillon"); }
};

TEST_P(Details, EveryFailureNamesItsCauseTheDeviceStateTheNextStepAndTheLog) {
    const Row& row = GetParam();
    if (row.arrange) row.arrange(*this);
    const int exit = RunProgram(row.device);
    EXPECT_EQ(exit, row.exitStatus) << Messages();
    ASSERT_FALSE(host->messages.empty());
    const app::MessageDetails& d = host->messages.back().details;
    EXPECT_NE(d.cause.find(row.cause), std::string::npos) << d.cause;
    EXPECT_NE(d.deviceState.find(row.state), std::string::npos) << d.deviceState;
    EXPECT_NE(d.nextStep.find(row.next), std::string::npos) << d.nextStep;
    // The log exists and holds the cause; the history names the run and its log.
    ASSERT_FALSE(d.runLog.empty());
    ASSERT_TRUE(std::filesystem::exists(d.runLog)) << d.runLog;
    const std::string log = testsupport::ReadFile(d.runLog);
    EXPECT_NE(log.find("failed: " + d.cause), std::string::npos) << log;
    EXPECT_NE(log.find("exit status " + std::to_string(row.exitStatus)), std::string::npos) << log;
    const auto history = History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].outcome, row.outcome);
    EXPECT_EQ(history[0].exitStatus, std::to_string(row.exitStatus));
    EXPECT_EQ(std::filesystem::path(d.runLog).filename(), history[0].runLog);
}

INSTANTIATE_TEST_SUITE_P(Endings, Details, ::testing::ValuesIn(Rows()), [](const ::testing::TestParamInfo<Row>& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

class Records : public ::testing::Test, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
    std::vector<app::HistoryEntry> History() { return app::ReadHistory(dir / "state/quillon"); }
};

TEST_F(Records, SuccessRemindsOfThePrintImagesAndIsRecorded) {
    const int exit = RunProgram([](DeviceState& d) { quillon_sim::SetEsp32Present(d, false); });
    EXPECT_EQ(exit, 0);
    ASSERT_EQ(host->messages.size(), 2u);
    EXPECT_EQ(host->messages[1].text, kSuccess);
    EXPECT_EQ(host->messages[1].details.nextStep, app::kAfterSuccess);
    EXPECT_TRUE(host->messages[1].details.cause.empty());
    const auto history = History();
    ASSERT_EQ(history.size(), 1u);
    const app::HistoryEntry& e = history[0];
    EXPECT_EQ(e.outcome, "updated");
    EXPECT_EQ(e.exitStatus, "0");
    EXPECT_EQ(e.serial, "N11501");
    EXPECT_EQ(e.model, "1160");
    EXPECT_EQ(e.port, Link());
    EXPECT_EQ(e.firmwareBefore + "/" + e.variantBefore, "3.40/000");
    EXPECT_EQ(e.firmwareAfter + "/" + e.variantAfter, "3.50/000");
    EXPECT_EQ(e.programVersion, "2.60");
    EXPECT_EQ(e.start.size(), 20u) << e.start;  // 2026-12-10T13:30:01Z
    const std::string log = testsupport::ReadFile(dir / ("state/quillon/runs/" + e.runLog));
    for (const char* step : {"opened on ", "device: model 1160, serial N11501, firmware 3.40 (Var 000), application",
                             "enter-Bootware command accepted", "device back in Bootware", "block 1: 64512 bytes",
                             "commit sent", "device back: model 1160, serial N11501, firmware 3.50",
                             "outcome updated, exit status 0"})
        EXPECT_NE(log.find(step), std::string::npos) << step << "\n" << log;
}

TEST_F(Records, StopSaysWhereTheDeviceStandsAndIsRecordedAsStopped) {
    emulatorSetup = [](DeviceState& d) { d.faults.insert(Fault::NeverReturn); };
    host->onTick = [this](unsigned id, size_t n) {
        if (id == 1002 && n == 3) host->PressStop();
    };
    EXPECT_EQ(RunProgram(emulatorSetup), 6);
    ASSERT_EQ(host->noteDetails.size(), 1u);
    EXPECT_EQ(host->noteDetails[0].cause, "the update was stopped at your request");
    EXPECT_NE(host->noteDetails[0].deviceState.find("has not been seen since"), std::string::npos);
    EXPECT_EQ(History().at(0).outcome, "stopped");
}

// The questions before anything is written: the same firmware again, an older one, --if-newer.
struct VersionCase {
    std::string name;
    uint16_t deviceVersion;
    int answer;      // to the question (0: no question expected)
    bool ifNewer;
    bool noByDefault;
    int exitStatus;
    std::string outcome;
    bool written;
};

class VersionQuestions : public ::testing::TestWithParam<VersionCase>, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
};

TEST_P(VersionQuestions, AskedBeforeAnythingIsWritten) {
    const VersionCase& c = GetParam();
    host->answers = {app::IDOK};
    if (c.answer) host->answers.push_back(c.answer);
    ifNewer = c.ifNewer;
    const int exit = RunProgram([&c](DeviceState& d) {
        d.version = d.pendingVersion = c.deviceVersion;
        quillon_sim::SetEsp32Present(d, false);
    });
    EXPECT_EQ(exit, c.exitStatus) << Messages();
    const std::string running = c.deviceVersion == 400 ? "4.00 (Var 000)" : "3.50 (Var 000)";
    if (c.answer) {
        ASSERT_GE(host->messages.size(), 2u);
        const Shown& q = host->messages[1];
        EXPECT_EQ(q.buttons, app::MbButtons::YesNo);
        EXPECT_EQ(q.noByDefault, c.noByDefault);
        EXPECT_EQ(q.text, c.deviceVersion == 400
                              ? "The Norvik 1150 runs firmware 4.00 (Var 000), newer than 3.50 (Var 000) that this "
                                "program installs. Install the older firmware?"
                              : "The Norvik 1150 already runs firmware 3.50 (Var 000). Install it again?");
    }
    if (c.ifNewer) {
        ASSERT_EQ(host->messages.size(), 2u);
        EXPECT_EQ(host->messages[1].text, "The Norvik 1150 is already up to date: it runs firmware " + running + ".");
    }
    EXPECT_EQ(Commands("(enter Bootware)"), c.written ? 1u : 0u);
    EXPECT_FALSE(emulator->State().serviceMode);
    const auto history = app::ReadHistory(dir / "state/quillon");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionQuestions,
                         ::testing::Values(VersionCase{"SameAnsweredNo", 350, app::IDNO, false, false, 6, "up-to-date", false},
                                           VersionCase{"SameAnsweredYes", 350, app::IDYES, false, false, 0, "updated", true},
                                           VersionCase{"NewerAnsweredNo", 400, app::IDNO, false, true, 6, "up-to-date", false},
                                           VersionCase{"NewerAnsweredYes", 400, app::IDYES, false, true, 0, "updated", true},
                                           VersionCase{"IfNewerSame", 350, 0, true, false, 0, "up-to-date", false},
                                           VersionCase{"IfNewerNewer", 400, 0, true, false, 0, "up-to-date", false}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

// An older device is updated without a question, also with --if-newer.
TEST_F(Records, OlderFirmwareIsUpdatedWithoutAQuestion) {
    ifNewer = true;
    EXPECT_EQ(RunProgram([](DeviceState& d) { quillon_sim::SetEsp32Present(d, false); }), 0);
    EXPECT_EQ(host->messages.size(), 2u) << Messages();  // the warning and the success
}

}  // namespace

namespace {

// The status line: what is done before anything is written, then "do not disconnect" with what
// is awaited and its limit, counting on the virtual clock, and the time left.
TEST_F(Records, StatusLineCountsDownEveryWaitAndWarnsWhileTheDeviceIsChanged) {
    restartDelayMs = 3000;
    EXPECT_EQ(RunProgram(), 0);
    const std::vector<std::string>& lines = host->statusLines;
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[0], "Opening the Norvik 1150 (it has 10 s to answer)...");
    EXPECT_EQ(lines[1], "Checking the Norvik 1150 on " + Link() + "...");
    const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Do not disconnect", 0) == 0;
    });
    ASSERT_NE(first, lines.end());
    // From the enter-Bootware command to the end every line warns, but the last says it is done.
    for (auto it = first; it + 1 != lines.end(); ++it)
        EXPECT_EQ(it->rfind("Do not disconnect or switch off the Norvik 1150. ", 0), 0u) << *it;
    EXPECT_EQ(lines.back(), "The update is complete.");
    const auto has = [&lines](const std::string& part) {
        return std::count_if(lines.begin(), lines.end(),
                             [&part](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    // The 3 s restart into Bootware, counted at its ticks against the 10 s limit.
    EXPECT_GE(has("Waiting for it to restart in Bootware: 2 s, at most 10 s; about "), 1);
    EXPECT_EQ(has("Waiting for it to restart in Bootware: 4 s"), 0);
    EXPECT_EQ(has("Writing the controller firmware: block 1 of 3; about "), 1);
    EXPECT_EQ(has("Writing the controller firmware: block 3 of 3; about "), 1);
    EXPECT_GE(has("Waiting for it to restart with the new firmware: 1 s, at most 100 s; about "), 1);
    EXPECT_EQ(has("Copying bootloader.bin to its SD card; about "), 1);
    EXPECT_GE(has("It installs the ESP32 images: 0 s, at most 100 s."), 1);
}

}  // namespace

namespace {

// A device in Bootware at the start tells no serial; a second Norvik 1150 plugged in beside it
// while it restarts must not be taken for it: the run stays with the port it found first.
TEST_F(Records, RunStaysWithItsDeviceWhenAnotherIsConnectedBeside) {
    quillon_sim::EmulatorConfig other;
    other.linkPath = dir / "port1";
    other.device = quillon_sim::MakeDevice(1160);
    other.device.serial = "B22222";
    other.device.version = other.device.pendingVersion = 340;
    quillon_sim::NewerDeviceEmulator second(other);
    setenv("VELMORA_COM_PORTS", ("0A1F=" + Link() + ";0A1F=" + dir / "port1").c_str(), 1);
    restartDelayMs = 4000;  // away long enough for the reopening to meet the other device
    NewHost();              // that sees the second port come
    textHook = [&second](int id, const std::string& text) {
        if (id == app::IDC_PROGRESS_LOWER && text == "Reconnect Norvik 1150") {
            std::string error;
            EXPECT_TRUE(second.Start(&error)) << error;
        }
    };
    const int exit = RunProgram([](DeviceState& d) {
        d.runsApplication = false;
        quillon_sim::SetEsp32Present(d, false);
    });
    second.Stop();
    EXPECT_EQ(exit, 0) << Messages();
    EXPECT_EQ(emulator->State().version, 350);
    EXPECT_EQ(second.State().version, 340);
    const auto log = second.CommandLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("ActivateSFModuleMode") != std::string::npos; }),
              0);
    EXPECT_EQ(app::ReadHistory(dir / "state/quillon").at(0).port, Link());
}

}  // namespace
