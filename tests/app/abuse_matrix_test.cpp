// The abuse matrix, in-process: a stop request (what Esc, Ctrl-C, SIGTERM, SIGHUP, Ctrl-\, a closed
// terminal or a closed window become) at each point of the run, and devices that keep dropping off
// and coming back. Every row must leave the device fully updated, untouched (application running,
// service mode off, no enter-Bootware command sent), or, only when the stop came after the
// enter-Bootware command, resumable with the note that says where it stands; and it must end
// within the sequence's own limits. How each key and signal becomes a stop request is the hosts'
// part: the real-terminal and window tables check that.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "app/update_sequence.h"
#include "tests/app/update_fixture.h"

namespace {

using namespace apptest;

// Where the device stands at the end of a row.
enum class Leaves {
    Untouched,         // nothing written, never told to enter Bootware
    InBootware,        // told to enter Bootware, nothing committed: starting again finishes it
    NewController,     // the controller firmware committed, the ESP32 part not installed
    Updated,           // the whole update done
    FailedInBootware,  // the run failed its limit with the device in Bootware
};

const char* Name(Leaves l) {
    switch (l) {
    case Leaves::Untouched: return "untouched";
    case Leaves::InBootware: return "in Bootware, resumable";
    case Leaves::NewController: return "new controller, no ESP32 part";
    case Leaves::Updated: return "updated";
    case Leaves::FailedInBootware: return "failed in Bootware";
    }
    return "";
}

struct Row {
    std::string point;
    // Sets up the run: device, images, and when the stop comes (hooks of the fixture).
    std::function<void(UpdateFixture&, std::atomic<bool>& stop)> arrange;
    int exitStatus;
    std::vector<std::string> notes;  // in order
    Leaves leaves;
    int maxSeconds;  // virtual time from the start to the end
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.point; }

// The stop comes from outside (a signal, a key) while the device is busy with `line`: it is taken
// at the host's next chance, as a signal is.
void StopWhenDeviceLogs(UpdateFixture& f, std::atomic<bool>& stop, std::string line) {
    f.deviceLog = [&stop, line, done = false](const std::string& l) mutable {
        if (!done && l.find(line) != std::string::npos) {
            done = true;
            stop = true;
        }
    };
}

void StopAtTick(UpdateFixture& f, unsigned id, size_t n) {
    f.host->onTick = [&f, id, n](unsigned tick, size_t count) {
        if (tick == id && count == n) f.host->PressStop();
    };
}

void StopAtStageText(UpdateFixture& f, const std::string& text) {
    f.textHook = [&f, text](int id, const std::string& t) {
        if (id == app::IDC_PROGRESS_UPPER && t == text) f.host->PressStop();
    };
}

void NoEsp32(DeviceState& d) { quillon_sim::SetEsp32Present(d, false); }

const std::string kHeldOff(app::kStopHeldOff);
const std::string kStopped(app::kStopped);

std::vector<Row> Rows() {
    return {
        // The warning: a stop there is the answer Cancel.
        {"warning: cancelled",
         [](UpdateFixture& f, std::atomic<bool>&) { f.host->answers = {app::IDCANCEL}; }, 6, {}, Leaves::Untouched,
         5},
        // A device that answers its first identity request 3 s late; the stop comes meanwhile.
        {"opening: identity answered late",
         [](UpdateFixture& f, std::atomic<bool>& stop) {
             f.lateReplyMs = 3000;
             f.emulatorSetup = [](DeviceState& d) {
                 d.faults.insert(Fault::AnswerLate);
                 d.faultCommand = 'i';
                 d.faultFrames = 1;
             };
             StopWhenDeviceLogs(f, stop, "ms late (fault answer-late)");
         },
         // The identity read's own time-out (10 s) passes on the virtual clock before the answer.
         6, {kStopped}, Leaves::Untouched, 15},
        {"opening: service mode switched on",
         [](UpdateFixture& f, std::atomic<bool>& stop) { StopWhenDeviceLogs(f, stop, "ActivateSFModuleMode activate 1"); },
         6, {kStopped}, Leaves::Untouched, 10},
        {"checks: sensors",
         [](UpdateFixture& f, std::atomic<bool>& stop) { StopWhenDeviceLogs(f, stop, "GetSFDeviceSensors"); }, 6,
         {kStopped}, Leaves::Untouched, 10},
        // The last reads before the enter-Bootware command are the usage report's.
        {"checks: just before the enter-Bootware command",
         [](UpdateFixture& f, std::atomic<bool>& stop) { StopWhenDeviceLogs(f, stop, "GetFileSystemInfo index 2"); },
         6, {kStopped}, Leaves::Untouched, 10},
        // The device takes its time to come back in Bootware.
        {"Bootware wait: device not back yet",
         [](UpdateFixture& f, std::atomic<bool>&) {
             f.restartDelayMs = 5000;
             StopAtTick(f, app::TIMER_DOWNLOAD, 3);
         },
         6, {std::string(app::kStoppedMaybeInBootware)}, Leaves::InBootware, 10},
        // The stop comes while the device, back in Bootware, is opened again.
        {"Bootware wait: device back in Bootware",
         [](UpdateFixture& f, std::atomic<bool>& stop) { StopWhenDeviceLogs(f, stop, "identity 1160-000-BW"); }, 6,
         {std::string(app::kStoppedInBootware)}, Leaves::InBootware, 15},
        {"download: first block",
         [](UpdateFixture& f, std::atomic<bool>&) {
             f.host->onKeepAlive = [&f, once = false]() mutable {
                 if (!once && f.Writing()) {
                     once = true;
                     f.host->PressStop();
                 }
             };
         },
         6, {kHeldOff, std::string(app::kStoppedWithoutEsp32Part)}, Leaves::NewController, 30},
        {"commit",
         [](UpdateFixture& f, std::atomic<bool>&) {
             f.positionHook = [&f](int id, int position) {
                 if (id == app::IDC_PROGRESS_LOWER && position == 100 &&
                     f.host->Text(app::IDC_PROGRESS_UPPER) == app::kStageText[1])
                     f.host->PressStop();
             };
         },
         6, {kHeldOff, std::string(app::kStoppedWithoutEsp32Part)}, Leaves::NewController, 30},
        {"reconnect wait",
         [](UpdateFixture& f, std::atomic<bool>&) { StopAtTick(f, app::TIMER_RECONNECT, 1); }, 6,
         {std::string(app::kStoppedWithoutEsp32Part)}, Leaves::NewController, 30},
        {"reconnect wait: board without ESP32",
         [](UpdateFixture& f, std::atomic<bool>&) {
             f.emulatorSetup = NoEsp32;
             StopAtTick(f, app::TIMER_RECONNECT, 1);
         },
         6, {std::string(app::kStoppedAfterCommit)}, Leaves::NewController, 30},
        // Back with the new firmware, before anything of the ESP32 part went onto the card.
        {"before the ESP32 transfer",
         [](UpdateFixture& f, std::atomic<bool>&) { StopAtStageText(f, std::string(app::kStageText[3])); }, 6,
         {std::string(app::kStoppedBeforeEsp32Part)}, Leaves::NewController, 30},
        // While the ESP32 images go onto the card and install, the stop waits for the end.
        {"ESP32 transfer: first file",
         [](UpdateFixture& f, std::atomic<bool>&) {
             f.host->onKeepAlive = [&f, once = false]() mutable {
                 if (!once && f.Writing() && f.host->Text(app::IDC_PROGRESS_UPPER) == app::kStageText[3]) {
                     once = true;
                     f.host->PressStop();
                 }
             };
         },
         0, {kHeldOff}, Leaves::Updated, 60},
        {"ESP32 install",
         [](UpdateFixture& f, std::atomic<bool>&) { StopAtStageText(f, std::string(app::kStageText[4])); }, 0,
         {kHeldOff}, Leaves::Updated, 60},
        // An ESP32-only program waits for the device before it writes anything.
        {"ESP32-only run: wait for the device",
         [](UpdateFixture& f, std::atomic<bool>&) {
             f.images.controllerHex = hextest::kEof;
             f.program = "/usr/lib/quillon/quillon-0412_ESP";
             StopAtTick(f, app::TIMER_RECONNECT, 1);
         },
         6, {kStopped}, Leaves::Untouched, 10},
    };
}

struct Printed {
    std::string point, leaves;
    int exit;
    double seconds;
};
std::vector<Printed>& Table() {
    static std::vector<Printed> rows;
    return rows;
}

class AbuseMatrix : public ::testing::TestWithParam<Row>, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
    static void TearDownTestSuite() {
        std::printf("\n%-48s %-32s %4s %7s\n", "stop request at", "device left", "exit", "time s");
        for (const Printed& r : Table())
            std::printf("%-48s %-32s %4d %7.1f\n", r.point.c_str(), r.leaves.c_str(), r.exit, r.seconds);
    }

    void ExpectLeaves(Leaves leaves) {
        const DeviceState d = emulator->State();
        switch (leaves) {
        case Leaves::Untouched:
            EXPECT_EQ(Commands("(enter Bootware)"), 0u);
            EXPECT_EQ(Commands("kind 2 address"), 0u);
            EXPECT_TRUE(d.runsApplication);
            EXPECT_EQ(d.version, 340);
            EXPECT_FALSE(d.serviceMode);
            EXPECT_TRUE(d.sdFiles.empty());
            break;
        case Leaves::InBootware:
        case Leaves::FailedInBootware:
            EXPECT_EQ(Commands("(enter Bootware)"), 1u);
            EXPECT_EQ(Commands("(commit version"), 0u);
            EXPECT_EQ(d.version, 340);
            break;
        case Leaves::NewController:
            EXPECT_TRUE(FlashHoldsImage());
            EXPECT_EQ(Commands("(commit version 350"), 1u);
            EXPECT_EQ(Commands("(install ESP32 images)"), 0u);
            break;
        case Leaves::Updated:
            EXPECT_TRUE(FlashHoldsImage());
            EXPECT_EQ(d.version, 350);
            EXPECT_TRUE(d.runsApplication);
            EXPECT_FALSE(d.serviceMode);
            EXPECT_EQ(Commands("(install ESP32 images)"), 1u);
            break;
        }
    }
};

TEST_P(AbuseMatrix, LeavesTheDeviceWholeOrResumable) {
    const Row& row = GetParam();
    std::atomic<bool> stop{false};
    row.arrange(*this, stop);
    // A stop from outside is taken where the host looks for one: between the pieces of a step
    // and between the loop's events.
    const auto previousKeepAlive = host->onKeepAlive;
    host->onKeepAlive = [this, &stop, previousKeepAlive] {
        if (stop.exchange(false)) host->PressStop();
        if (previousKeepAlive) previousKeepAlive();
    };
    const auto previousTick = host->onTick;
    host->onTick = [this, &stop, previousTick](unsigned id, size_t n) {
        if (stop.exchange(false)) host->PressStop();
        if (previousTick) previousTick(id, n);
    };
    const int exit = RunProgram(emulatorSetup);
    EXPECT_EQ(exit, row.exitStatus) << Messages();
    EXPECT_EQ(host->notes, row.notes) << Messages();
    // A stop ends without a message box of its own; the update that completes says so.
    if (row.exitStatus == app::kExitSuccess) {
        ASSERT_FALSE(host->messages.empty());
        EXPECT_EQ(host->messages.back().text, kSuccess);
    } else if (row.leaves != Leaves::FailedInBootware) {
        EXPECT_LE(host->messages.size(), 2u) << Messages();  // the warning (and the ESP32-only question)
    }
    ExpectLeaves(row.leaves);
    const double seconds = (endMs - startMs) / 1000.0;
    EXPECT_LE(seconds, row.maxSeconds);
    Table().push_back({row.point, Name(row.leaves), exit, seconds});
}

INSTANTIATE_TEST_SUITE_P(Points, AbuseMatrix, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name = info.param.point;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
