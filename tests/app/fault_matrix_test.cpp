// The fault matrix: every step of the update meets every fault the emulator can inject there
// (device gone, no reply, garbled reply, refused frame, late reply, another serial number, stays
// busy, device error). Each run must end with the system's message for its case and its exit
// status, leave nothing open, end within the sequence's own limits, and say "Firmware successful
// updated." only when every block was read back equal. The table of all runs is printed at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/app/update_fixture.h"

namespace {

using namespace apptest;

enum class FaultKind { Gone, NoReply, Garbled, Refused, Late, Corrupted, OtherSerial, StaysBusy, DeviceError };

const char* Name(FaultKind k) {
    switch (k) {
    case FaultKind::Gone: return "device gone";
    case FaultKind::NoReply: return "no reply";
    case FaultKind::Garbled: return "garbled reply";
    case FaultKind::Refused: return "refused frame";
    case FaultKind::Late: return "late reply";
    case FaultKind::Corrupted: return "page corrupted";
    case FaultKind::OtherSerial: return "another serial";
    case FaultKind::StaysBusy: return "stays busy";
    case FaultKind::DeviceError: return "device error";
    }
    return "";
}

// Where in the update the fault is switched on: the next command of `letter` after that point
// meets it.
enum class At { Start, Heading, LowerPosition, KeepAlive, Stage };

struct Matrix {
    std::string step;
    At at;
    int n;           // bar position, KeepAlive count (stage 1) or stage number
    uint8_t letter;  // command the fault acts on (0: every command)
    FaultKind fault;
    bool everyFrame;  // the fault stays on (else it acts on one frame)
    uint32_t skip;    // frames of the command the fault passes over first
    std::string message;  // the last message of the run
    int exitStatus;
    int maxSeconds;  // virtual time from the start to the end
    uint32_t lateMs;  // how late a late reply comes
};

void PrintTo(const Matrix& m, std::ostream* os) { *os << m.step << " / " << Name(m.fault); }

const std::string kNoDevice = " Firmware update not possible.\n\n No device connected or connection already in use ";
const std::string kBlockRefused = "Firmware updated not successful." + kWorkaroundTail;
const std::string kReconnectFailed = "Can not reconnnet to the 1150";
const std::string kOtherDeviceText =
    "It was not possible to connect with the same Norvik 1150. \nPlease make sure that you have only one Norvik "
    "1150 connected to the PC during the firmware update.";
std::string SdFailed(const char* what) {
    return std::string("Firmware update not possible.\n\n Can not send Firmware to device (") + what + " bootloader.bin)";
}

std::vector<Matrix> Cases() {
    using F = FaultKind;
    std::vector<Matrix> m;
    auto add = [&](std::string step, At at, int n, uint8_t letter, std::vector<F> faults, std::string message,
                   int exit, int seconds, bool every = false, uint32_t skip = 0, uint32_t lateMs = 20000) {
        for (F f : faults) m.push_back({step, at, n, letter, f, every, skip, message, exit, seconds, lateMs});
    };
    // Opening the device and the checks at start.
    // The identity comes in two exchanges: the identity request ('i') and the device information.
    add("open: identity request", At::Start, 0, 'i', {F::NoReply, F::Garbled, F::Late}, kNoDevice + "(1,-1).", 3, 60);
    add("open: device information", At::Start, 0, 0x20, {F::NoReply, F::Garbled, F::Late}, kNoDevice + "(1,-1).", 3, 60);
    add("open: device gone", At::Start, 0, 0, {F::Gone}, kNoDevice + "(1,-1).", 3, 10);
    add("open: status", At::Start, 0, 'S', {F::NoReply, F::Garbled, F::Late}, kNoDevice + "(1,-2).", 3, 60);
    add("open: service-module status", At::Start, 0, 'i', {F::NoReply, F::Garbled, F::Late}, kNoDevice + "(1,-3).", 3,
        60, false, 1);
    add("open: service mode on", At::Start, 0, 'a', {F::NoReply, F::Garbled, F::Refused, F::Late},
        kNoDevice + "(1,-4).", 3, 60);
    // The test function only sharpens the result of the open: the update goes on.
    add("open: test function", At::Start, 0, 'T', {F::NoReply, F::Garbled}, kSuccess, 0, 120);
    // A reply later than its read's time-out arrives while the next command waits: that command
    // fails on the stray reply's header.
    add("open: test function", At::Start, 0, 'T', {F::Late}, kNoDevice + "(2).", 3, 60);
    add("start: sensors", At::Start, 0, 's', {F::NoReply, F::Garbled, F::Late}, kNoDevice + "(2).", 3, 60);
    // A failed status read in the lock check lets the update go on.
    add("checks: lock status", At::Heading, 0, 'S', {F::NoReply, F::Garbled}, kSuccess, 0, 120);
    add("checks: lock status", At::Heading, 0, 'S', {F::Late},
        " Firmware update not possible.\n\n Device can not set into Bootware.", 4, 60);
    add("enter Bootware", At::Heading, 0, 'u', {F::NoReply, F::Garbled, F::Refused, F::Late, F::Gone},
        " Firmware update not possible.\n\n Device can not set into Bootware.", 4, 60);
    // The blocks: the first, the second and the last (short) one.
    for (int block = 1; block <= 3; ++block)
        add("block write " + std::to_string(block), At::LowerPosition, 12 * block, 'u',
            {F::NoReply, F::Garbled, F::Refused, F::Late, F::Gone}, kBlockRefused, 1, 60);
    // Page reads: the first and the last page of the first block (KeepAlive 2 and 17 of stage 1).
    add("page read: first of block 1", At::KeepAlive, 2, 'u', {F::NoReply, F::Garbled, F::Gone, F::Corrupted},
        kWorkaround, 1, 60);
    add("page read: last of block 1", At::KeepAlive, 17, 'u', {F::NoReply, F::Garbled, F::Corrupted}, kWorkaround, 1, 60);
    // A page's read waits through three short pieces: 20 s late still arrives, 70 s does not.
    add("page read: first of block 1", At::KeepAlive, 2, 'u', {F::Late}, kSuccess, 0, 120);
    add("page read: first of block 1", At::KeepAlive, 2, 'u', {F::Late}, kWorkaround, 1, 120, false, 0, 70000);
    // The commit's answer is not what counts: the device that comes back is.
    add("commit", At::LowerPosition, 100, 'u', {F::NoReply, F::Garbled, F::Late}, kSuccess, 0, 120);
    add("commit", At::LowerPosition, 100, 'u', {F::Refused}, kWorkaround, 1, 130);
    add("commit", At::LowerPosition, 100, 0, {F::Gone}, kReconnectFailed, 1, 130);
    add("reconnect", At::LowerPosition, 100, 0, {F::OtherSerial}, kOtherDeviceText, 1, 60);
    add("reconnect: status", At::Stage, 2, 0, {F::StaysBusy}, kReconnectFailed, 1, 130);
    add("reconnect: status (once)", At::Stage, 2, 'S', {F::NoReply, F::Garbled, F::Late}, kSuccess, 0, 150);
    add("reconnect: status (always)", At::Stage, 2, 'S', {F::NoReply, F::Garbled}, kReconnectFailed, 1, 250, true);
    // The ESP32 files (the first one's commands) and the installation.
    add("SD card: create", At::Stage, 3, 'n', {F::NoReply, F::Garbled, F::Refused, F::Late}, SdFailed("Open"), 5, 60);
    add("SD card: create", At::Stage, 3, 0, {F::Gone}, SdFailed("Open"), 5, 60);
    add("SD card: append", At::Stage, 3, 'a', {F::NoReply, F::Garbled, F::Refused, F::Late}, SdFailed("Append"), 5, 60);
    add("SD card: close", At::Stage, 3, 'c', {F::NoReply, F::Garbled, F::Refused, F::Late}, SdFailed("Close"), 5, 60);
    add("install command", At::Stage, 4, 'u', {F::NoReply, F::Garbled, F::Refused, F::Late, F::Gone}, kInstallFailed,
        5, 60);
    add("install polling", At::Stage, 4, 'S', {F::NoReply, F::Garbled, F::Late}, kInstallFailed, 5, 60);
    add("install polling", At::Stage, 4, 0, {F::StaysBusy}, "Firmware update not possible.\n\n Timeout error", 5, 160);
    add("install polling", At::Stage, 4, 0, {F::DeviceError},
        kInstallFailed + "\n\n Occurred device error 20 (returnValue 1 (1))", 5, 60);
    return m;
}

struct Row {
    std::string step, fault, expected, outcome;
    int exit;
    double seconds;
};
std::vector<Row>& Rows() {
    static std::vector<Row> rows;
    return rows;
}

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find_first_of("\r\n", 1));
    if (!line.empty() && line[0] == ' ') line.erase(0, 1);
    const size_t paren = text.rfind('(');
    // Messages that differ only in their last words show them.
    if (text.find("Can not send") != std::string::npos || text.find("in use (") != std::string::npos ||
        text.find("Occurred device error") != std::string::npos)
        line += " ... " + text.substr(paren);
    if (text.find("Device can not set") != std::string::npos) line = "Device can not set into Bootware.";
    if (text.find("Timeout error") != std::string::npos) line = "Timeout error";
    return line;
}

class FaultMatrix : public ::testing::TestWithParam<Matrix>, public UpdateFixture {
protected:
    void SetUp() override { SetUpRun(); }
    void TearDown() override { TearDownRun(); }
    static void TearDownTestSuite() {
        std::printf("\n%-30s %-15s %-45s %-45s %4s %7s\n", "step", "fault", "expected", "outcome", "exit", "time s");
        for (const Row& r : Rows())
            std::printf("%-30s %-15s %-45.45s %-45.45s %4d %7.1f\n", r.step.c_str(), r.fault.c_str(), r.expected.c_str(),
                        r.outcome.c_str(), r.exit, r.seconds);
    }

    void Inject(const Matrix& m) {
        if (m.fault == FaultKind::Gone) {
            emulator->Unplug();
            return;
        }
        emulator->Update([&m](DeviceState& d) {
            d.faultCommand = m.letter ? std::optional<uint8_t>(m.letter) : std::nullopt;
            d.faultFrames = m.everyFrame ? 0 : 1;
            d.faultSkip = m.skip;
            switch (m.fault) {
            case FaultKind::NoReply: d.faults.insert(Fault::DropReply); break;
            case FaultKind::Garbled: d.faults.insert(Fault::GarbleReply); break;
            case FaultKind::Refused: d.faults.insert(Fault::RefuseFrame); break;
            case FaultKind::Late: d.faults.insert(Fault::AnswerLate); break;
            case FaultKind::Corrupted: d.faults.insert(Fault::CorruptPage); break;
            case FaultKind::OtherSerial: d.faults.insert(Fault::OtherSerial); break;
            case FaultKind::StaysBusy: d.faults.insert(Fault::StayBusy); break;
            case FaultKind::DeviceError: d.faults.insert(Fault::InstallErrorFatal); break;
            case FaultKind::Gone: break;
            }
        });
    }

    void Arm(const Matrix& m) {
        auto once = std::make_shared<bool>(false);
        auto fire = [this, m, once] {
            if (*once) return;
            *once = true;
            Inject(m);
        };
        const auto inStage1 = [this] { return host->Text(app::IDC_PROGRESS_UPPER) == "Firmware update part 1 of 4"; };
        switch (m.at) {
        case At::Start:
            break;  // before the run, below
        case At::Heading:
            textHook = [fire](int id, const std::string&) {
                if (id == app::IDC_HEADING) fire();
            };
            break;
        case At::LowerPosition:
            positionHook = [fire, m, inStage1](int id, int position) {
                if (id == app::IDC_PROGRESS_LOWER && position == m.n && inStage1()) fire();
            };
            break;
        case At::KeepAlive:
            // Counted from the start of the download: the pieces of the write, block by block.
            host->onKeepAlive = [this, fire, m, inStage1, count = 0]() mutable {
                if (inStage1() && Writing() && ++count == m.n) fire();
            };
            break;
        case At::Stage: {
            const std::string stage = "Firmware update part " + std::to_string(m.n) + " of 4";
            textHook = [fire, stage](int id, const std::string& text) {
                if (id == app::IDC_PROGRESS_UPPER && text == stage) fire();
            };
            break;
        }
        }
    }
};

TEST_P(FaultMatrix, EndsWithItsMessageWithinItsLimits) {
    const Matrix& m = GetParam();
    lateReplyMs = m.lateMs;
    Arm(m);
    bool armedAtStart = false;
    host->onMessage = [this, &m, &armedAtStart](const Shown&) {
        // The warning is the first thing the program shows, before it opens the device.
        if (m.at == At::Start && !armedAtStart) {
            armedAtStart = true;
            Inject(m);
        }
    };
    const int exit = RunProgram();
    ASSERT_FALSE(host->messages.empty());
    const std::string last = host->messages.back().text;
    EXPECT_EQ(last, m.message);
    EXPECT_EQ(exit, m.exitStatus);
    const double seconds = (endMs - startMs) / 1000.0;
    EXPECT_LE(seconds, m.maxSeconds);
    // Success only with every block read back equal and the new firmware running.
    const bool success = std::any_of(host->messages.begin(), host->messages.end(),
                                     [](const Shown& s) { return s.text == kSuccess; });
    if (success) {
        EXPECT_EQ(exit, 0);
        EXPECT_TRUE(FlashHoldsImage());
        EXPECT_EQ(emulator->State().version, 350);
    } else {
        EXPECT_NE(exit, 0);
    }
    Rows().push_back({m.step, Name(m.fault), FirstLine(m.message), FirstLine(last), exit, seconds});
}

INSTANTIATE_TEST_SUITE_P(Steps, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Matrix>& info) {
                             std::string name = info.param.step + "_" + Name(info.param.fault);
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name + "_" + std::to_string(info.index);
                         });

}  // namespace
