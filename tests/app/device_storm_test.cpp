// Devices that keep dropping off and coming back (a boot loop, a loose cable), in-process on the
// virtual clock against the emulated device: the runs must end at the limits of their waits.
#include <gtest/gtest.h>

#include "app/update_sequence.h"
#include "tests/app/update_fixture.h"

namespace {

using namespace apptest;

// Devices that keep dropping off and coming back (a boot loop, a loose cable): every change is
// handled before the next tick, and each handling after the commit can take seconds, so the
// limits of the waits must hold where the changes are handled, not only in the ticks.
class DeviceStorm : public ::testing::Test, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
};

TEST_F(DeviceStorm, FlappingInBootwareAfterARefusedCommitEndsAtTheReconnectLimit) {
    emulatorSetup = [](DeviceState& d) {
        d.flapMs = 2000;
        d.flapFromKind = 1;
    };
    // The commit is refused: the device stays in Bootware and from then on drops off every 2 s.
    AtLowerPosition(100, [](DeviceState& d) {
        d.faults.insert(Fault::RefuseFrame);
        d.faultCommand = 'u';
        d.faultFrames = 1;
    });
    const int exit = RunProgram(emulatorSetup);
    EXPECT_EQ(exit, app::kExitUpdateFailed);
    ASSERT_FALSE(host->messages.empty());
    // Seen in Bootware after the commit: the workaround, with the program's name as caption.
    EXPECT_EQ(host->messages.back().text, kWorkaround);
    EXPECT_EQ(host->messages.back().caption, kAppName);
    EXPECT_GE(host->deviceChanges, 3) << "the device did not flap";
    ASSERT_GT(commitMs, 0u);
    // The limit is 100 s; one handling (five attempts of about a second) may be under way.
    EXPECT_LE(endMs - commitMs, 100000u + 8000u) << (endMs - commitMs);
    EXPECT_FALSE(emulator->State().runsApplication);
}

TEST_F(DeviceStorm, FlappingSilentDeviceWhileWaitingForBootwareEndsAtTheBootwareLimit) {
    // After the enter-Bootware command the device comes and goes every 2 s and answers nothing, so
    // each attempt to open it lasts its reply time-outs and the ticks come late.
    emulatorSetup = [](DeviceState& d) {
        d.flapMs = 2000;
        d.flapFromKind = 0;
    };
    host->onTick = [this](unsigned id, size_t n) {
        if (id == app::TIMER_DOWNLOAD && n == 1) emulator->Update([](DeviceState& d) { d.faults.insert(Fault::DropReply); });
    };
    uint64_t enteredMs = 0;
    deviceLog = [this, &enteredMs](const std::string& line) {
        if (line.find("(enter Bootware)") != std::string::npos) enteredMs = clock.NowMs();
    };
    const int exit = RunProgram(emulatorSetup);
    EXPECT_EQ(exit, app::kExitUpdateFailed);
    ASSERT_FALSE(host->messages.empty());
    EXPECT_EQ(host->messages.back().text, kWorkaround);
    EXPECT_EQ(Commands("kind 2 address"), 0u);
    EXPECT_GE(host->deviceChanges, 1);
    ASSERT_GT(enteredMs, 0u);
    // The limit is 10 s; one opening of a device that does not answer may be under way.
    EXPECT_LE(endMs - enteredMs, 10000u + 8000u) << (endMs - enteredMs);
}

}  // namespace
