// The program as a user runs it: quillon in a terminal (a real pseudo-terminal) or a pipe,
// against quillon-devsim running as a process of its own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "tests/support/exec.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_dir.h"
#include "transport/com_port.h"

namespace {

using testsupport::Exec;
using testsupport::ReadFile;

struct Outcome {
    int exit = -1;
    std::string output;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "Kalder");
        testsupport::WriteFile(dir / "Kalder/VelmoraLog.cfg", "");
    }
    void TearDown() override { StopDevice(); }

    std::string Link() const { return dir / "port0"; }

    void StartDevice(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {QUILLON_DEVSIM_PATH, "--link", Link(), "--serial", "N11501", "--version",
                                         "340", "--restart-delay", "300", "--flash-out", dir / "flash.bin"};
        args.insert(args.end(), extra.begin(), extra.end());
        devsim = fork();
        if (devsim == 0) {
            const int out = open((dir / "devsim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            Exec(args);
        }
        for (int i = 0; i < 200 && !std::filesystem::is_symlink(Link()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(std::filesystem::is_symlink(Link())) << ReadFile(dir / "devsim.log");
    }
    void StopDevice() {
        if (devsim <= 0) return;
        kill(devsim, SIGTERM);
        int status = 0;
        waitpid(devsim, &status, 0);
        devsim = 0;
    }

    // Starts quillon with args and its output in a pipe; returns its pid and the pipe's end.
    std::pair<pid_t, int> Start(const std::vector<std::string>& extra, int input = -1) {
        std::vector<std::string> args = {QUILLON_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        int fds[2];
        if (pipe(fds) != 0) return {-1, -1};
        const pid_t child = fork();
        if (child == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            const int none = input >= 0 ? input : open("/dev/null", O_RDONLY);
            dup2(none, 0);
            Environment();
            Exec(args);
        }
        close(fds[1]);
        return {child, fds[0]};
    }
    void Environment() {
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        setenv("VELMORA_COM_PORTS", ("0A1F=" + Link()).c_str(), 1);
        setenv("TERM", "xterm", 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.c_str(), 1);
        unsetenv("QUILLON_REPORT_HOST");
        // The terminal, also where a desktop would offer a window.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }

    // Runs quillon (or another program) with args; in a pseudo-terminal of 100 x 30 cells, or
    // with its output in a pipe.
    Outcome Run(const std::vector<std::string>& extra, bool terminal, const char* program = QUILLON_PATH) {
        std::vector<std::string> args = {program};
        args.insert(args.end(), extra.begin(), extra.end());
        int out = -1;
        pid_t child = -1;
        if (terminal) {
            winsize ws{};
            ws.ws_col = 100;
            ws.ws_row = 30;
            child = forkpty(&out, nullptr, nullptr, &ws);
        } else {
            int fds[2];
            if (pipe(fds) != 0) return {};
            child = fork();
            if (child == 0) {
                dup2(fds[1], 1);
                dup2(fds[1], 2);
                const int none = open("/dev/null", O_RDONLY);
                dup2(none, 0);
            }
            close(fds[1]);
            out = fds[0];
        }
        if (child == 0) {
            Environment();
            Exec(args);
        }
        Outcome o;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(out, buf, sizeof buf);
            if (n > 0) {
                o.output.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;  // the end of the output (EIO on a pseudo-terminal)
        }
        close(out);
        int status = 0;
        waitpid(child, &status, 0);
        o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return o;
    }

    // Runs quillon in a pseudo-terminal and answers its questions as a user types: each time the
    // output shows a step's text, that step's keys go in.
    Outcome RunTyping(const std::vector<std::string>& extra, const std::vector<std::pair<std::string, std::string>>& steps) {
        std::vector<std::string> args = {QUILLON_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        winsize ws{};
        ws.ws_col = 100;
        ws.ws_row = 30;
        int master = -1;
        const pid_t child = forkpty(&master, nullptr, nullptr, &ws);
        if (child == 0) {
            Environment();
            Exec(args);
        }
        Outcome o;
        size_t step = 0, searched = 0;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                o.output.append(buf, static_cast<size_t>(n));
                while (step < steps.size()) {
                    const size_t at = o.output.find(steps[step].first, searched);
                    if (at == std::string::npos) break;
                    searched = at + steps[step].first.size();
                    const std::string& keys = steps[step++].second;
                    if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) break;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        close(master);
        int status = 0;
        waitpid(child, &status, 0);
        o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return o;
    }

    testsupport::TempDir dir;
    pid_t devsim = 0;
    // The system bus the program sees: none unless a test starts a private one.
    std::string systemBus = "unix:path=" + dir / "no-bus";
};

// The controller image as the device's flash must hold it, from the flash base on.
std::vector<uint8_t> ExpectedFlash() {
    const auto text = firmware::FindFwFile(firmware::kControllerImageId);
    std::vector<uint8_t> flash;
    firmware::HexState() = firmware::HexReaderState{};
    std::vector<uint8_t> block(firmware::kHexBlockBufferSize);
    for (;;) {
        uint32_t start = 0;
        const int n = firmware::ReadHexBlock(*text, &start, block);
        if (n <= 0) break;
        const size_t at = start - 0x400000;
        if (flash.size() < at + static_cast<size_t>(n)) flash.resize(at + static_cast<size_t>(n), 0xFF);
        std::copy_n(block.begin(), n, flash.begin() + static_cast<long>(at));
        if (n < firmware::kHexBlockSize) break;
    }
    return flash;
}

TEST_F(ProgramTest, CompleteUpdateInATerminal) {
    StartDevice();
    const Outcome o = Run({"--text", "--yes"}, true);
    EXPECT_EQ(o.exit, 0) << o.output;
    EXPECT_NE(o.output.find("Firmware successful updated."), std::string::npos) << o.output;
    // Drawn in place: the scroll region beneath the window block is set.
    EXPECT_NE(o.output.find("\x1b[9;30r"), std::string::npos);
    // Without logind the update runs as before, and the library log says so.
    const std::string log = ReadFile(dir / "Kalder/Velmora.log");
    EXPECT_NE(log.find("CQuillonDlg / sleep and shutdown not inhibited: no system bus ("), std::string::npos) << log;
    StopDevice();
    const std::string flash = ReadFile(dir / "flash.bin");
    const std::vector<uint8_t> expected = ExpectedFlash();
    ASSERT_GE(flash.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reinterpret_cast<const uint8_t*>(flash.data())));
}

TEST_F(ProgramTest, FailureEndsWithItsMessageAndStatus) {
    StartDevice({"--fault", "corrupt-page"});
    const Outcome o = Run({"--yes"}, false);
    EXPECT_EQ(o.exit, 1) << o.output;
    EXPECT_NE(o.output.find("[Error] quillon-0350_Norvik1150\nFirmware update not successful.\n"), std::string::npos)
        << o.output;
    EXPECT_NE(o.output.find("Launch the  Firmware update application again"), std::string::npos);
    // Plain lines: no cursor movement in a pipe.
    EXPECT_EQ(o.output.find("\x1b["), std::string::npos);
}

TEST_F(ProgramTest, PortHeldByAnotherProgramIsNamed) {
    StartDevice();
    // Another program holds the port: sleep, handed the port (exclusive, locked) by its parent.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const velmora::ComHandle held = velmora::OpenCOM(static_cast<uint8_t>(velmora::ComPortNumber(Link())));
        if (held == velmora::kInvalidComHandle || dup2(static_cast<int>(held), 3) != 3) _exit(1);
        if (write(ready[1], "x", 1) != 1) _exit(1);
        execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    for (int i = 0; i < 300 && ReadFile("/proc/" + std::to_string(holder) + "/comm") != "sleep\n"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const Outcome o = Run({"--yes", "--port", Link()}, false);
    // The library's own description (velmora-diag, --list) names the holder the same way.
    const Outcome list = Run({"--list"}, false);
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(o.exit, 3) << o.output;
    EXPECT_NE(o.output.find("No device connected or connection already in use (1,-1)."), std::string::npos) << o.output;
    // The system's reason, then who holds the port: the holder with its lock, and the emulator
    // itself, which keeps its end of the pseudo-terminal open.
    const std::string expected = "is in use by another program (Device or resource busy). It is open in sleep (pid " +
                                 std::to_string(holder) + ", which holds its lock) and quillon-devsim (pid " +
                                 std::to_string(devsim) + ").";
    std::string unwrapped = o.output;  // the message is wrapped to the terminal's width
    std::replace(unwrapped.begin(), unwrapped.end(), '\n', ' ');
    EXPECT_NE(unwrapped.find(expected), std::string::npos) << o.output;
    EXPECT_NE(list.output.find("could not be opened: it is in use by another program; it is open in sleep (pid " +
                               std::to_string(holder) + ", which holds its lock)"),
              std::string::npos)
        << list.output;
}

TEST_F(ProgramTest, SleepAndShutdownBlockedWhileUpdating) {
    testsupport::PrivateSystemBus bus(dir.path(), true);
    ASSERT_TRUE(bus.Started()) << bus.Problem();
    systemBus = bus.Address();
    StartDevice({"--locked"});
    const Outcome refused = Run({"--text", "--yes"}, false);
    EXPECT_EQ(refused.exit, 4) << refused.output;
    StopDevice();
    EXPECT_EQ(bus.LogindLog(), std::vector<std::string>{"ready"});  // refused before the update began

    StartDevice();
    const Outcome o = Run({"--text", "--yes"}, false);
    EXPECT_EQ(o.exit, 0) << o.output;
    EXPECT_TRUE(bus.WaitForLogLine("released Quillon", 5000));
    EXPECT_EQ(bus.LogindLog(),
              (std::vector<std::string>{
                  "ready", "inhibit sleep:shutdown|Quillon|Firmware update of the Norvik 1150 in progress|block",
                  "released Quillon"}));
    const std::string log = ReadFile(dir / "Kalder/Velmora.log");
    const size_t taken = log.find("CQuillonDlg / sleep and shutdown inhibited by logind");
    const size_t allowed = log.find("CQuillonDlg / sleep and shutdown allowed again");
    EXPECT_NE(taken, std::string::npos) << log;
    EXPECT_NE(allowed, std::string::npos) << log;
    EXPECT_LT(taken, allowed);
}

TEST_F(ProgramTest, SecondProgramFindsThePortBusyAndTheFirstCompletes) {
    StartDevice({"--throttle"});
    auto [first, out] = Start({"--text", "--yes"});
    ASSERT_GT(first, 0);
    // Once the first program writes blocks, it holds the device's port.
    std::string firstOutput;
    char buf[4096];
    while (firstOutput.find("part 1 of 4 | 12%") == std::string::npos) {
        const ssize_t n = read(out, buf, sizeof buf);
        if (n <= 0) break;
        firstOutput.append(buf, static_cast<size_t>(n));
    }
    ASSERT_NE(firstOutput.find("part 1 of 4 | 12%"), std::string::npos) << firstOutput;
    const Outcome second = Run({"--text", "--yes"}, false);
    for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) firstOutput.append(buf, static_cast<size_t>(n));
    close(out);
    int status = 0;
    waitpid(first, &status, 0);

    EXPECT_EQ(second.exit, 3) << second.output;
    EXPECT_NE(second.output.find("is in use by another program"), std::string::npos) << second.output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << firstOutput;
    EXPECT_NE(firstOutput.find("Firmware successful updated."), std::string::npos) << firstOutput;
}

TEST_F(ProgramTest, CommandLine) {
    struct {
        std::vector<std::string> args;
        int exit;
        std::string output;
    } cases[] = {
        {{"--help"}, 0, "Exit status:"},
        {{"--version"}, 0, "Quillon 2.60 (quillon)\nInstalls the Norvik 1150 controller firmware 3.50 (Var 000) and its ESP32 images."},
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"--port"}, 2, "--port needs the path"},
        {{"--port", "a;b"}, 2, "without ';' or '='"},
        {{"--list"}, 3, "(no Norvik device found)"},
        {{"--history"}, 0, "(no runs recorded yet)"},
        {{"--history", "everything"}, 2, "unknown option 'everything'"},
        {{"--yes"}, 3, "No device connected or connection already in use (1,-1)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const Outcome o = Run(c.args, false);
        EXPECT_EQ(o.exit, c.exit) << o.output;
        EXPECT_NE(o.output.find(c.output), std::string::npos) << o.output;
    }
    StartDevice();
    const Outcome o = Run({"--list"}, false);
    EXPECT_EQ(o.exit, 0) << o.output;
    EXPECT_NE(o.output.find(Link()), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("1160-000  N11501  3.40      application\n"), std::string::npos) << o.output;
    // A port named with --port stands for both product ids and is listed once.
    const Outcome named = Run({"--list", "--port", Link()}, false);
    EXPECT_EQ(named.exit, 0) << named.output;
    size_t lines = 0;
    for (size_t at = named.output.find(Link()); at != std::string::npos; at = named.output.find(Link(), at + 1)) ++lines;
    EXPECT_EQ(lines, 1u) << named.output;
    // Another model is listed as such.
    StopDevice();
    StartDevice({"--model", "660"});
    const Outcome other = Run({"--list"}, false);
    EXPECT_NE(other.output.find("660-000  N11501  3.40      application  not updated by this program\n"),
              std::string::npos)
        << other.output;

    // A run is recorded; --if-newer leaves a device that runs this firmware alone.
    StopDevice();
    StartDevice({"--version", "350", "--state-out", dir / "state.txt"});
    const Outcome same = Run({"--text", "--yes", "--if-newer"}, false);
    EXPECT_EQ(same.exit, 0) << same.output;
    EXPECT_NE(same.output.find("is already up to date: it runs firmware 3.50 (Var 000)."), std::string::npos)
        << same.output;
    StopDevice();
    EXPECT_NE(ReadFile(dir / "state.txt").find("enter-bootware-sent 0\n"), std::string::npos);
    const Outcome history = Run({"--history"}, false);
    EXPECT_EQ(history.exit, 0);
    EXPECT_NE(history.output.find("3.50/000 -> 3.50/000  up-to-date  0"), std::string::npos) << history.output;
}

// What in text a terminal would obey, each as "\xNN" at its offset: C0 controls but line feed
// and tab, DEL, C1 controls in UTF-8, and every byte outside a valid UTF-8 sequence.
std::string ControlBytes(const std::string& text) {
    std::string found;
    const auto note = [&](size_t at, size_t n) {
        char buf[32];
        for (size_t k = 0; k < n; ++k) {
            std::snprintf(buf, sizeof buf, "\\x%02X@%zu ", static_cast<unsigned char>(text[at + k]), at + k);
            found += buf;
        }
    };
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) note(i, 1);
            ++i;
            continue;
        }
        // Lead bytes and the range of the byte after them (no overlong forms, no surrogates).
        size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) n = 2;
        else if (c >= 0xE0 && c <= 0xEF) n = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4) n = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        bool valid = n > 0 && i + n <= text.size();
        for (size_t k = 1; valid && k < n; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            valid = k == 1 ? b >= low && b <= high : (b & 0xC0) == 0x80;
        }
        if (!valid) {
            note(i, 1);
            ++i;
            continue;
        }
        if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) note(i, 2);
        i += n;
    }
    return found;
}

TEST(ControlBytesOfTheTests, FindsWhatATerminalObeys) {
    EXPECT_EQ(ControlBytes("Müller 日本\tok\n"), "");
    EXPECT_EQ(ControlBytes("a\x1b[m\r"), "\\x1B@1 \\x0D@4 ");
    EXPECT_EQ(ControlBytes("\xc2\x9b\x9b\x7f\xe6\x97"), "\\xC2@0 \\x9B@1 \\x9B@2 \\x7F@3 \\xE6@4 \\x97@5 ");
}

// A device that sends control characters in its serial number: every program that shows it
// prints it harmless, and so does the library log, one line per entry.
TEST_F(ProgramTest, HostileSerialReachesNoTerminal) {
    struct {
        const char* hex;    // the serial's six bytes
        const char* shown;  // as every program prints it
    } serials[] = {
        {"1b5b386d4142", "?[8mAB"},    // ESC [ 8 m: hides all that follows
        {"c29b386d4142", "?8mAB"},     // U+009B: the same as one C1 character
        {"9b386d410a42", "?8mA?B"},    // a raw C1 byte and a line feed
    };
    for (const auto& s : serials) {
        SCOPED_TRACE(s.hex);
        StartDevice({"--serial-hex", s.hex, "--locked"});
        const Outcome diag = Run({"--port", Link()}, false, QUILLON_DIAG_PATH);
        const Outcome list = Run({"--list"}, false);
        const Outcome text = Run({"--text", "--yes"}, false);
        StopDevice();
        EXPECT_EQ(diag.exit, 0) << diag.output;
        EXPECT_EQ(ControlBytes(diag.output), "") << diag.output;
        EXPECT_NE(diag.output.find(std::string("serial                       ") + s.shown + "\n"), std::string::npos)
            << diag.output;
        EXPECT_EQ(list.exit, 0) << list.output;
        EXPECT_EQ(ControlBytes(list.output), "") << list.output;
        EXPECT_NE(list.output.find(std::string("1160-000  ") + s.shown), std::string::npos) << list.output;
        EXPECT_EQ(text.exit, 4) << text.output;  // refused: the device is locked
        EXPECT_EQ(ControlBytes(text.output), "") << text.output;
        EXPECT_NE(text.output.find(std::string("SNr.") + s.shown + " | FW 3.40"), std::string::npos) << text.output;
    }
    // Each GetDeviceInfo of the library log is one line that starts with its time stamp.
    const std::string log = ReadFile(dir / "Kalder/Velmora.log");
    size_t lines = 0;
    for (size_t at = log.find("GetDeviceInfo"); at != std::string::npos; at = log.find("GetDeviceInfo", at + 1)) {
        ++lines;
        EXPECT_EQ(log.rfind('\n', at) + 27, at) << log.substr(log.rfind('\n', at) + 1, 120);
    }
    EXPECT_GE(lines, 6u);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find("\n8mA"), std::string::npos);  // the line feed started no line
}

// A process that named itself with control characters holds the port: the programs that name
// the port's holders print its name harmless.
TEST_F(ProgramTest, HostileHolderNameReachesNoTerminal) {
    StartDevice();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        // Any process may call itself this; /proc/PID/comm shows it to every user.
        prctl(PR_SET_NAME, "\x1b[8m\xc2\x9bX\x7f\x9b", 0, 0, 0);
        const velmora::ComHandle held = velmora::OpenCOM(static_cast<uint8_t>(velmora::ComPortNumber(Link())));
        if (held == velmora::kInvalidComHandle || write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    const Outcome diag = Run({"--port", Link()}, false, QUILLON_DIAG_PATH);
    const Outcome list = Run({"--list"}, false);
    const Outcome text = Run({"--text", "--yes", "--port", Link()}, false);
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    const std::string shown = "?[8m?X?? (pid " + std::to_string(holder) + ", which holds its lock)";
    for (const Outcome* o : {&diag, &list, &text}) {
        EXPECT_EQ(ControlBytes(o->output), "") << o->output;
        std::string unwrapped = o->output;  // messages are wrapped to the terminal's width
        std::replace(unwrapped.begin(), unwrapped.end(), '\n', ' ');
        EXPECT_NE(unwrapped.find("open in " + shown), std::string::npos) << o->output;
    }
    EXPECT_EQ(diag.exit, 1);
    EXPECT_EQ(text.exit, 3);
}

// In a terminal one key answers a question, with no Enter after it; Esc is Cancel or No and
// leaves no "^[" on the screen; Enter takes the preselected answer, which is No before an older
// firmware is installed.
TEST_F(ProgramTest, OneKeyAnswersAQuestion) {
    StartDevice({"--version", "400", "--state-out", dir / "state.txt"});
    const std::string warning = "[O]K / [C]ancel (Enter: OK) ";
    const Outcome cancelled = RunTyping({"--text"}, {{warning, "c"}});
    EXPECT_EQ(cancelled.exit, 6) << cancelled.output;
    EXPECT_NE(cancelled.output.find(warning + "Cancel"), std::string::npos) << cancelled.output;

    const Outcome escaped = RunTyping({"--text"}, {{warning, "\x1b"}});
    EXPECT_EQ(escaped.exit, 6) << escaped.output;
    EXPECT_NE(escaped.output.find(warning + "Cancel"), std::string::npos) << escaped.output;
    EXPECT_EQ(escaped.output.find("^["), std::string::npos) << escaped.output;

    // OK with Enter; the device runs a newer firmware: Enter there is No, nothing is written.
    const Outcome older = RunTyping({"--text"}, {{warning, "\r"}, {"[Y]es / [N]o (Enter: No) ", "\r"}});
    EXPECT_EQ(older.exit, 6) << older.output;
    EXPECT_NE(older.output.find("runs firmware 4.00 (Var 000), newer than 3.50 (Var 000)"), std::string::npos)
        << older.output;
    EXPECT_NE(older.output.find("(Enter: No) No"), std::string::npos) << older.output;
    StopDevice();
    EXPECT_NE(ReadFile(dir / "state.txt").find("enter-bootware-sent 0\n"), std::string::npos);
}

// A run in the terminal, as JSON or per device maps no library of the window's toolkit: the window
// is a module loaded only when a window opens.
// The window's libraries load only with a window, and the HTTPS ones only when a report is posted.
TEST_F(ProgramTest, RunsWithoutAWindowMapNoQtAndNoLibcurl) {
    StartDevice();
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--text"}, std::vector<std::string>{"--json"}}) {
        SCOPED_TRACE(args[0]);
        // The program waits at the warning: its input is a pipe that stays open.
        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);  // the program holds only its own end
        auto [pid, out] = Start(args, in[0]);
        close(in[0]);
        std::string seen;
        char buf[4096];
        while (seen.find("Attention") == std::string::npos) {
            const ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) break;
            seen.append(buf, static_cast<size_t>(n));
        }
        ASSERT_NE(seen.find("Attention"), std::string::npos) << seen;
        const std::string maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
        EXPECT_NE(maps.find("libc.so"), std::string::npos);
        EXPECT_EQ(maps.find("libQt6"), std::string::npos) << args[0];
        EXPECT_EQ(maps.find("quillon-window"), std::string::npos) << args[0];
        EXPECT_EQ(maps.find("libcurl"), std::string::npos) << args[0];
        EXPECT_EQ(maps.find("libssl"), std::string::npos) << args[0];
        close(in[1]);  // the end of its input: Cancel
        close(out);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 6);
    }
}

}  // namespace
