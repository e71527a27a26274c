// What users do to a terminal program during an update, done to quillon in a real terminal (a
// tmux pane) under an interactive shell with job control, against quillon-devsim running as a
// process of its own. Each row acts at one point of the run, found by what the program shows or
// what the emulator logs (never by a bare wait), and checks the exit status, the device's state at
// the end and the terminal's mode afterwards.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/exec.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Exec;
using testsupport::ReadFile;

// Where in the run the action comes.
enum class Point {
    Question,  // the warning, asked without --yes
    Checks,    // opening and checking the device, before the enter-Bootware command
    Bootware,  // waiting for the device to come back in Bootware
    Write,     // writing the controller firmware
};

enum class Action {
    Esc,
    CtrlC,
    CtrlBackslash,
    Term,
    Hup,
    CtrlZ,         // then fg
    StopCont,      // kill -STOP, fg, then Esc: the program's mode is back after a stop it did not ask for
    Enter,
    Resize,        // 100 -> 50 columns
    OutputClosed,  // the reader of the program's output goes away
    TerminalClosed,
    Crash,         // SIGSEGV
};

// What the device runs at the end.
enum class Device {
    Updated,          // the new firmware with its ESP32 part
    Untouched,        // the old firmware, never sent to Bootware
    InBootware,       // sent to Bootware, nothing written: starting again finishes it
    AfterCommit,      // the new controller firmware without the ESP32 part: starting again finishes it
    NotChecked,
};

struct Row {
    const char* name;
    Action action;
    Point point;
    int status;  // -1: anything but 0 and 6 (a crash)
    Device device;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    const size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string LastLine(const std::string& screen) {
    std::vector<std::string> lines = Lines(screen);
    while (!lines.empty() && Trim(lines.back()).empty()) lines.pop_back();
    return lines.empty() ? std::string() : Trim(lines.back());
}

class TerminalAbuse : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "Kalder");
        testsupport::WriteFile(dir / "Kalder/VelmoraLog.cfg", "");
    }

    void TearDown() override {
        if (shell) Tmux({"kill-server"});
        StopDevice();
    }

    void StartDevice(std::vector<std::string> extra) {
        std::vector<std::string> args = {QUILLON_DEVSIM_PATH, "--link", dir / "port0", "--serial", "N11501",
                                         "--version", "340", "--throttle", "--state-out", dir / "state"};
        args.insert(args.end(), extra.begin(), extra.end());
        devsim = fork();
        if (devsim == 0) {
            const int out = open((dir / "devsim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            Exec(args);
        }
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::is_symlink(dir / "port0"); }, "the emulator's port"));
    }

    // Stops the emulator and returns the device's state at its end.
    std::map<std::string, std::string> StopDevice() {
        std::map<std::string, std::string> state;
        if (devsim <= 0) return state;
        kill(devsim, SIGTERM);
        waitpid(devsim, nullptr, 0);
        devsim = 0;
        std::istringstream in(ReadFile(dir / "state"));
        for (std::string key, value; in >> key >> value;) state[key] = value;
        return state;
    }

    // An interactive shell in a tmux pane of 100 x 30 cells, with the program's environment.
    void StartShell() {
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        setenv("VELMORA_COM_PORTS", ("0A1F=" + dir / "port0").c_str(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
        testsupport::WriteFile(dir / "bashrc", "PS1='$ '\nunset HISTFILE PROMPT_COMMAND\n");
        for (const char* v : {"QUILLON_REPORT_HOST", "DISPLAY", "WAYLAND_DISPLAY", "TMUX", "TMUX_PANE"})
            unsetenv(v);
        shell = true;
        // No core file of the crash row in the build tree.
        Tmux({"new-session", "-d", "-s", "q", "-x", "100", "-y", "30", "-c", dir.path(),
              "ulimit -c 0; exec bash --rcfile " + dir / "bashrc" + " --noprofile -i"});
        ASSERT_TRUE(WaitFor([&] { return LastLine(Screen()) == "$"; }, "the shell's prompt"));
        shellPid = std::stoi(Tmux({"display-message", "-p", "-t", "q", "#{pane_pid}"}));
    }

    // Runs a tmux command and returns what it printed. The output goes through a file: the server
    // that the first command starts would hold a pipe open.
    std::string Tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {"tmux", "-S", dir / "tmux.sock", "-f", "/dev/null"});
        const std::string outPath = dir / "tmux.out";
        const pid_t child = fork();
        if (child == 0) {
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("tmux", argv.data());
            _exit(127);
        }
        waitpid(child, nullptr, 0);
        return ReadFile(outPath);
    }
    std::string Screen() { return Tmux({"capture-pane", "-p", "-t", "q"}); }
    void Keys(const std::string& key) { Tmux({"send-keys", "-t", "q", key}); }
    void Type(const std::string& line) {
        Tmux({"send-keys", "-t", "q", "-l", line});
        Keys("Enter");
    }
    std::string Log() { return ReadFile(dir / "devsim.log"); }

    // Polls until ready holds; a deadline far beyond what any row takes turns a hang into a failure.
    bool WaitFor(const std::function<bool()>& ready, const std::string& what, int seconds = 90) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!ready()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "no " << what << "\nscreen:\n" << (shell ? Screen() : "") << "\nemulator:\n" << Log();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    bool WaitForScreen(const std::string& text) {
        return WaitFor([&] { return Screen().find(text) != std::string::npos; }, "\"" + text + "\" on the screen");
    }
    bool WaitForLog(const std::string& text) {
        return WaitFor([&] { return Log().find(text) != std::string::npos; }, "\"" + text + "\" in the emulator's log");
    }

    // The program, started in the shell's session.
    pid_t FindProgram() {
        pid_t found = 0;
        WaitFor(
            [&] {
                DIR* proc = opendir("/proc");
                for (dirent* e; proc && (e = readdir(proc));) {
                    const std::string pid = e->d_name;
                    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
                    const std::string stat = ReadFile("/proc/" + pid + "/stat");
                    const size_t close = stat.rfind(')');
                    if (close == std::string::npos) continue;
                    std::istringstream fields(stat.substr(close + 2));
                    char state = 0;
                    pid_t ppid = 0, group = 0, session = 0;
                    fields >> state >> ppid >> group >> session;
                    const std::string cmdline = ReadFile("/proc/" + pid + "/cmdline");
                    if (session == shellPid && cmdline.rfind(QUILLON_PATH, 0) == 0) found = std::stoi(pid);
                }
                if (proc) closedir(proc);
                return found > 0;
            },
            "program started by the shell");
        return found;
    }
    static bool Gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

    testsupport::TempDir dir;
    pid_t devsim = 0;
    bool shell = false;
    pid_t shellPid = 0;
};

// The emulator's options for each point: a wait long enough that the action surely lands in it.
std::vector<std::string> DeviceFor(Point point) {
    switch (point) {
    case Point::Checks:
        // The first identity request is answered 3 s late.
        return {"--restart-delay", "300", "--fault", "answer-late", "--fault-on", "i", "--fault-frames", "1",
                "--late-ms", "3000"};
    case Point::Bootware:
        // The device stays away 5 s after the enter-Bootware command.
        return {"--restart-delay", "5000"};
    case Point::Write:
        // The read-back of the first block's second page is answered 3 s late: the program is
        // in the middle of the write then (skipped: the enter-Bootware command, the first block
        // and its first page).
        return {"--restart-delay", "300", "--fault", "answer-late", "--fault-on", "u", "--fault-skip", "3",
                "--fault-frames", "1", "--late-ms", "3000"};
    case Point::Question:
        return {"--restart-delay", "300"};
    }
    return {};
}

// The start of the title line: the program's name until the device is known.
std::string Title(Point point) { return point == Point::Question ? "fwupdate" : "Firmware update to Norvik 1150"; }

TEST_P(TerminalAbuse, Row) {
    const Row& row = GetParam();
    StartDevice(DeviceFor(row.point));
    StartShell();

    const bool piped = row.action == Action::OutputClosed;
    const std::string command = std::string(QUILLON_PATH) + " --text" + (row.point == Point::Question ? "" : " --yes");
    if (piped && row.point == Point::Write)
        Type(command + " | cat > " + dir / "out");
    else if (piped)
        Type(command + " | head -2");
    else if (row.action == Action::TerminalClosed)
        // The shell goes with its terminal: a shell of the program's own, which waits out the
        // hang-up, keeps its exit status.
        Type("sh -c 'trap : HUP; " + command + "; echo $? > " + dir / "status.tmp; mv " + dir / "status.tmp " +
             dir / "status'");
    else
        Type(command);
    const pid_t program = FindProgram();
    ASSERT_GT(program, 0);

    switch (row.point) {
    case Point::Question:
        ASSERT_TRUE(WaitForScreen("[O]K / [C]ancel (Enter: OK)"));
        break;
    case Point::Checks:
        ASSERT_TRUE(WaitForLog("answering 3000 ms late"));
        break;
    case Point::Bootware:
        ASSERT_TRUE(WaitForLog("restart into Bootware: port removed"));
        break;
    case Point::Write:
        ASSERT_TRUE(WaitForLog("answering 3000 ms late"));
        break;
    }

    bool shellStays = true;
    switch (row.action) {
    case Action::Esc:
        Keys("Escape");
        break;
    case Action::CtrlC:
        Keys("C-c");
        break;
    case Action::CtrlBackslash:
        Keys("C-\\");
        break;
    case Action::Term:
        kill(program, SIGTERM);
        break;
    case Action::Hup:
        kill(program, SIGHUP);
        break;
    case Action::Enter:
        Keys("Enter");
        break;
    case Action::CtrlZ:
    case Action::StopCont:
        if (row.action == Action::CtrlZ)
            Keys("C-z");
        else
            kill(program, SIGSTOP);
        // While the device is written the program says it suspends afterwards, and does.
        if (row.point == Point::Write) {
            ASSERT_TRUE(WaitForScreen("the program suspends once that step is over"));
        }
        ASSERT_TRUE(WaitForScreen("Stopped"));
        ASSERT_TRUE(WaitFor([&] { return LastLine(Screen()) == "$"; }, "the shell's prompt after the stop"));
        Type("fg");
        // The block is drawn again at the top (and a question shown again, waiting).
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::vector<std::string> lines = Lines(Screen());
                return !lines.empty() && lines[0].find(Title(row.point)) == 0 &&
                       Screen().find("$ fg") == std::string::npos;
            },
            "the screen drawn again after fg"));
        if (row.point == Point::Question) {
            ASSERT_TRUE(WaitFor([&] { return LastLine(Screen()) == "[O]K / [C]ancel (Enter: OK)"; }, "the question again"));
        }
        // Esc acts at once again: the program's own terminal mode is back.
        if (row.action == Action::StopCont) Keys("Escape");
        break;
    case Action::Resize: {
        Tmux({"resize-window", "-t", "q", "-x", "50", "-y", "30"});
        // Title, heading, both bars and the rule at the new width, the rule on its row.
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::vector<std::string> lines = Lines(Screen());
                return lines.size() >= 8 && lines[7] == std::string(50, '-');
            },
            "the block redrawn for 50 columns"));
        const std::vector<std::string> lines = Lines(Screen());
        EXPECT_EQ(lines[0].find(Title(row.point)), 0u) << Screen();
        for (int bar : {3, 4}) {
            EXPECT_EQ(lines[bar].size(), 50u) << Screen();
            EXPECT_EQ(lines[bar].front(), '[') << Screen();
            EXPECT_EQ(lines[bar].back(), ']') << Screen();
        }
        if (row.point == Point::Question) {
            EXPECT_EQ(LastLine(Screen()), "[O]K / [C]ancel (Enter: OK)") << Screen();
        }
        break;
    }
    case Action::OutputClosed:
        if (row.point == Point::Write) {
            // The reader of the program's output, the shell's other child, goes.
            ASSERT_EQ(system(("pkill -x -P " + std::to_string(shellPid) + " cat").c_str()), 0);
        }
        break;
    case Action::TerminalClosed:
        Tmux({"kill-server"});
        shell = false;
        shellStays = false;
        break;
    case Action::Crash:
        kill(program, SIGSEGV);
        break;
    }

    // The question still waits after the action: OK, and the last message's OK.
    if (row.point == Point::Question && shellStays && row.status == 0) {
        Keys("o");  // one key answers
        ASSERT_TRUE(WaitForScreen("[OK] press Enter"));
        Keys("Enter");
    }

    int status = -1;
    if (shellStays) {
        ASSERT_TRUE(WaitFor([&] { return Gone(program); }, "end of the program"));
        ASSERT_TRUE(WaitFor([&] { return LastLine(Screen()) == "$"; }, "the shell's prompt after the program"));
        const std::string screen = Screen();
        // A stop says so; at the question the answer is Cancel.
        if (row.status == 6 && row.point != Point::Question) {
            EXPECT_NE(screen.find("Firmware update stopped."), std::string::npos) << screen;
        }
        if (row.status == 6 && row.point == Point::Question) {
            EXPECT_NE(screen.find("-> Cancel"), std::string::npos) << screen;
        }
        Type(std::string("s=") + (piped ? "${PIPESTATUS[0]}" : "$?") + "; stty -a > " + dir / "stty" + "; echo $s > " + dir / "status.tmp" + "; mv " +
             dir / "status.tmp " + dir / "status");
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir / "status"); }, "the status from the shell"));
        status = std::stoi(ReadFile(dir / "status"));
        // The terminal is back in the mode a shell expects.
        const std::string stty = ReadFile(dir / "stty");
        EXPECT_NE(stty.find(" icanon"), std::string::npos) << stty;
        EXPECT_NE(stty.find(" echo "), std::string::npos) << stty;
        EXPECT_NE(stty.find(" ixon"), std::string::npos) << stty;
        if (row.action == Action::Crash) {
            // The scroll region is gone: lines from the shell move the whole screen.
            Type("clear; seq 40");
            ASSERT_TRUE(WaitFor([&] { return LastLine(Screen()) == "$"; }, "the shell's prompt after seq"));
            EXPECT_EQ(Lines(Screen())[0], "12") << Screen();
        }
    } else {
        // The program ends at its safe point on its own.
        ASSERT_TRUE(WaitFor([&] { return Gone(program) && std::filesystem::exists(dir / "status"); },
                            "end of the program"));
        status = std::stoi(ReadFile(dir / "status"));
    }
    if (row.status >= 0) {
        EXPECT_EQ(status, row.status) << Screen();
    } else {
        EXPECT_NE(status, 0);
        EXPECT_NE(status, 6);
    }
    if (row.action != Action::Crash) {
        EXPECT_LT(status, 128) << "the program died by signal " << status - 128;
    }

    std::map<std::string, std::string> device = StopDevice();
    const std::string state = ReadFile(dir / "state");
    switch (row.device) {
    case Device::Updated:
        EXPECT_EQ(device["runs"], "application") << state;
        EXPECT_EQ(device["version"], "350") << state;
        EXPECT_EQ(device["installs"], "1") << state;
        EXPECT_EQ(device["service-mode"], "off") << state;
        break;
    case Device::Untouched:
        EXPECT_EQ(device["runs"], "application") << state;
        EXPECT_EQ(device["version"], "340") << state;
        EXPECT_EQ(device["enter-bootware-sent"], "0") << state;
        EXPECT_EQ(device["service-mode"], "off") << state;
        break;
    case Device::InBootware:
        EXPECT_EQ(device["enter-bootware-sent"], "1") << state;
        EXPECT_EQ(device["blocks-written"], "0") << state;
        EXPECT_EQ(device["commits"], "0") << state;
        break;
    case Device::AfterCommit:
        EXPECT_EQ(device["runs"], "application") << state;
        EXPECT_EQ(device["version"], "350") << state;
        EXPECT_EQ(device["commits"], "1") << state;
        EXPECT_EQ(device["installs"], "0") << state;
        EXPECT_EQ(device["service-mode"], "off") << state;
        break;
    case Device::NotChecked:
        break;
    }
}

// Stops while the device is written are held off: the write reaches its commit, and the program
// stops at the next safe point. Ctrl-Z is held off the same way and then suspends; Enter, a resize
// and a closed output change nothing.
const Row kRows[] = {
    {"EscDuringWrite", Action::Esc, Point::Write, 6, Device::AfterCommit},
    {"CtrlCDuringWrite", Action::CtrlC, Point::Write, 6, Device::AfterCommit},
    {"CtrlBackslashDuringWrite", Action::CtrlBackslash, Point::Write, 6, Device::AfterCommit},
    {"SigtermDuringWrite", Action::Term, Point::Write, 6, Device::AfterCommit},
    {"SighupDuringWrite", Action::Hup, Point::Write, 6, Device::AfterCommit},
    {"TerminalClosedDuringWrite", Action::TerminalClosed, Point::Write, 6, Device::AfterCommit},
    {"CtrlZDuringWrite", Action::CtrlZ, Point::Write, 0, Device::Updated},
    {"EnterDuringWrite", Action::Enter, Point::Write, 0, Device::Updated},
    {"ResizeDuringWrite", Action::Resize, Point::Write, 0, Device::Updated},
    {"OutputClosedDuringWrite", Action::OutputClosed, Point::Write, 0, Device::Updated},

    {"EscWaitingForBootware", Action::Esc, Point::Bootware, 6, Device::InBootware},
    {"CtrlCWaitingForBootware", Action::CtrlC, Point::Bootware, 6, Device::InBootware},
    {"CtrlBackslashWaitingForBootware", Action::CtrlBackslash, Point::Bootware, 6, Device::InBootware},
    {"SigtermWaitingForBootware", Action::Term, Point::Bootware, 6, Device::InBootware},
    {"SighupWaitingForBootware", Action::Hup, Point::Bootware, 6, Device::InBootware},
    {"TerminalClosedWaitingForBootware", Action::TerminalClosed, Point::Bootware, 6, Device::InBootware},
    {"CtrlZWaitingForBootware", Action::CtrlZ, Point::Bootware, 0, Device::Updated},
    {"StopContWaitingForBootwareThenEsc", Action::StopCont, Point::Bootware, 6, Device::InBootware},
    {"EnterWaitingForBootware", Action::Enter, Point::Bootware, 0, Device::Updated},
    {"ResizeWaitingForBootware", Action::Resize, Point::Bootware, 0, Device::Updated},
    {"OutputClosedFromTheStart", Action::OutputClosed, Point::Bootware, 0, Device::Updated},
    {"CrashWaitingForBootware", Action::Crash, Point::Bootware, -1, Device::NotChecked},

    {"CtrlCWhileChecking", Action::CtrlC, Point::Checks, 6, Device::Untouched},

    {"CtrlZAtTheQuestion", Action::CtrlZ, Point::Question, 0, Device::Updated},
    {"ResizeAtTheQuestion", Action::Resize, Point::Question, 0, Device::Updated},
    {"CtrlCAtTheQuestion", Action::CtrlC, Point::Question, 6, Device::Untouched},
    {"TerminalClosedAtTheQuestion", Action::TerminalClosed, Point::Question, 6, Device::Untouched},
};

INSTANTIATE_TEST_SUITE_P(, TerminalAbuse, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
