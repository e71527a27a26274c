// Several devices at once: quillon --all and --watch against several quillon-devsim processes,
// each device updated by a program of its own; the table's model from the programs' events.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/history.h"
#include "app/json.h"
#include "frontend/supervisor/supervisor.h"
#include "tests/support/exec.h"
#include "tests/support/temp_dir.h"

namespace {

using frontend::supervisor::DeviceRun;
using testsupport::Exec;
using testsupport::ReadFile;

app::json::Value Event(const std::string& line) { return *app::json::Parse(line); }

TEST(SupervisorModel, EventsMakeTheRowAndTheOutcome) {
    std::vector<std::unique_ptr<DeviceRun>> runs;
    runs.push_back(std::make_unique<DeviceRun>());
    runs.push_back(std::make_unique<DeviceRun>());
    DeviceRun& a = *runs[0];
    DeviceRun& b = *runs[1];
    a.port = "/dev/serial/by-path/a";
    b.port = "/dev/serial/by-path/b";
    for (const char* line : {
             R"({"event":"device","port":"p","usb_location":"1-1.4","model":1160,"serial":"N1\u001b[2J","firmware":"3.40","variant":"000","running":"application","after_restart":false})",
             R"({"event":"stage","stage":2,"text":"Firmware update part 2 of 4"})",
             R"({"event":"progress","bar":"lower","position":37,"maximum":100,"text":"Reconnect Norvik 1150"})",
             R"({"event":"status","text":"Do not disconnect or switch off the Norvik 1150. Waiting for it to restart with the new firmware: 5 s, at most 100 s."})"})
        EXPECT_EQ(frontend::supervisor::ApplyEvent(a, Event(line)), nullptr);
    const app::json::Value question = Event(R"({"event":"question","caption":"Firmware update","icon":"warning","buttons":"ok-cancel","text":"Attention"})");
    EXPECT_NE(frontend::supervisor::ApplyEvent(b, question), nullptr);
    frontend::supervisor::ApplyEvent(b, Event(R"({"event":"message","caption":"c","icon":"error","buttons":"ok","text":"t","details":{"cause":"page 4 differs","device_state":"","next_step":"","run_log":""},"answer":"ok","answered_by":"ok-box"})"));
    frontend::supervisor::ApplyEvent(b, Event(R"({"event":"end","outcome":"failed","exit_status":1,"firmware_before":"3.40","variant_before":"000","firmware_after":"Bootware","variant_after":null,"duration_s":4,"run_log":"/x.log"})"));
    b.ended = true;

    EXPECT_EQ(a.usbLocation, "1-1.4");
    EXPECT_EQ(a.stage, 2);
    const std::string table = frontend::supervisor::Table(runs, 120);
    // A device's text reaches no terminal raw; the warning is not repeated on every row.
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
    const size_t row = table.find("\nUSB 1-1.4 ");
    ASSERT_NE(row, std::string::npos) << table;
    const std::string first = table.substr(row + 1, table.find('\n', row + 1) - row - 1);
    for (const char* part : {"N1?[2J", "3.40 ->", "2/4", "37%", "Waiting for it to restart with the new firmware: 5 s"})
        EXPECT_NE(first.find(part), std::string::npos) << part << "\n" << table;
    EXPECT_EQ(first.find("Do not disconnect"), std::string::npos) << table;
    EXPECT_NE(table.find("3.40 -> Bootware"), std::string::npos) << table;
    EXPECT_NE(table.find("failed (exit 1): page 4 differs"), std::string::npos) << table;
    EXPECT_EQ(frontend::supervisor::OverallStatus(runs), 1);
    frontend::supervisor::ApplyEvent(a, Event(R"({"event":"end","outcome":"updated","exit_status":0,"firmware_before":"3.40","variant_before":"000","firmware_after":"3.50","variant_after":"000","duration_s":9,"run_log":null})"));
    b.outcome = "up-to-date";
    EXPECT_EQ(frontend::supervisor::OverallStatus(runs), 0);
}

class Supervisor : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& [link, pid] : devices) Stop(pid);
    }

    std::string Link(int n) const { return dir / ("port" + std::to_string(n)); }

    void StartDevice(int n, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {QUILLON_DEVSIM_PATH, "--link", Link(n), "--serial", "N1150" + std::to_string(n),
                                         "--version", "340", "--restart-delay", "500", "--quiet",
                                         "--state-out", dir / ("state" + std::to_string(n))};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            Exec(args);
        }
        for (int i = 0; i < 300 && !std::filesystem::is_symlink(Link(n)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(std::filesystem::is_symlink(Link(n)));
        devices[n] = pid;
    }
    void StopDevice(int n) {
        Stop(devices[n]);
        devices.erase(n);
    }
    static void Stop(pid_t pid) {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::string DeviceState(int n) const { return ReadFile(dir / ("state" + std::to_string(n))); }

    // Starts quillon with args, its output into a file; the ports of devices 1 to 4 are named.
    pid_t Start(const std::vector<std::string>& extra, const std::string& outName = "out") {
        std::vector<std::string> args = {QUILLON_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open((dir / outName).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            const int none = open("/dev/null", O_RDONLY);
            dup2(none, 0);
            setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
            setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
            std::string ports;
            for (int n = 1; n <= 4; ++n) ports += "0A1F=" + Link(n) + ";";
            setenv("VELMORA_COM_PORTS", ports.c_str(), 1);
            setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
            setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
            unsetenv("DISPLAY");
            Exec(args);
        }
        return pid;
    }
    static int Wait(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string Output() const { return ReadFile(dir / "out"); }
    bool WaitForOutput(const std::string& text, int seconds = 60) const {
        for (int i = 0; i < seconds * 20; ++i) {
            if (Output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::map<std::string, std::string> Outcomes() const {
        std::map<std::string, std::string> out;
        for (const app::HistoryEntry& e : app::ReadHistory(dir / "state/quillon")) out[e.serial] = e.outcome;
        return out;
    }

    testsupport::TempDir dir;
    std::map<int, pid_t> devices;
};

// Three devices at once, one of which fails: the others are updated all the same, the exit
// status says not all were, and every device has its run log and its line in the history.
TEST_F(Supervisor, AllUpdatesEveryDeviceAndOneFailureStopsNoOther) {
    StartDevice(1);
    StartDevice(2, {"--fault", "corrupt-page"});
    StartDevice(3, {"--version", "350"});  // already up to date: not written without --yes
    const int status = Wait(Start({"--all"}));
    // Without a terminal for the warning, it takes the line it is given: none, so Cancel.
    EXPECT_EQ(status, 6) << Output();
    EXPECT_TRUE(Outcomes().empty());

    const int all = Wait(Start({"--all", "--yes", "--if-newer"}));
    for (int n : {1, 2, 3}) StopDevice(n);
    EXPECT_EQ(all, 1) << Output();
    const auto outcomes = Outcomes();
    EXPECT_EQ(outcomes.at("N11501"), "updated");
    EXPECT_EQ(outcomes.at("N11502"), "failed");
    EXPECT_EQ(outcomes.at("N11503"), "up-to-date");
    EXPECT_NE(DeviceState(1).find("version 350\n"), std::string::npos);
    EXPECT_NE(DeviceState(3).find("enter-bootware-sent 0\n"), std::string::npos);
    const std::string out = Output();
    EXPECT_NE(out.find(Link(2) + " (serial N11502): failed, exit status 1 - page 4 of the controller image read back"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(Link(1) + " (serial N11501): updated, exit status 0"), std::string::npos) << out;
}

// A stop request reaches every device's program; each stops at its own safe point.
TEST_F(Supervisor, StopReachesEveryDevice) {
    StartDevice(1, {"--restart-delay", "6000"});
    StartDevice(2, {"--restart-delay", "6000"});
    const pid_t program = Start({"--all", "--yes"});
    ASSERT_TRUE(WaitForOutput("[N11501] Firmware update part 1 of 4")) << Output();
    ASSERT_TRUE(WaitForOutput("[N11502] Firmware update part 1 of 4")) << Output();
    kill(program, SIGTERM);
    EXPECT_EQ(Wait(program), 1) << Output();
    const auto outcomes = Outcomes();
    EXPECT_EQ(outcomes.at("N11501"), "stopped");
    EXPECT_EQ(outcomes.at("N11502"), "stopped");
}

// A production line: each device as it is plugged in; one already up to date is not written; a
// device plugged in again after its success is not written again; Ctrl-C ends with the tally.
TEST_F(Supervisor, WatchUpdatesEachDeviceAsItComes) {
    StartDevice(1);
    const pid_t program = Start({"--watch", "--yes"});
    ASSERT_TRUE(WaitForOutput("serial N11501: updated")) << Output();
    StartDevice(2, {"--version", "350"});
    ASSERT_TRUE(WaitForOutput("serial N11502: up-to-date")) << Output();
    // Device 1 unplugged and plugged in again.
    StopDevice(1);
    StartDevice(1, {"--version", "350"});
    ASSERT_TRUE(WaitForOutput("serial N11501 on " + Link(1) + " was done in this run already")) << Output();
    kill(program, SIGINT);
    EXPECT_EQ(Wait(program), 0) << Output();
    EXPECT_NE(Output().find("updated 1, up to date 1, failed 0"), std::string::npos) << Output();
    StopDevice(1);
    EXPECT_NE(DeviceState(1).find("enter-bootware-sent 0\n"), std::string::npos);
    EXPECT_EQ(app::ReadHistory(dir / "state/quillon").size(), 2u);
}

// A second supervisor while the first updates the same devices finds their ports busy and
// leaves them alone: the first run ends as if it were the only one.
TEST_F(Supervisor, SecondSupervisorFindsThePortsBusy) {
    // The ESP32 images' installation keeps both ports open for a good while.
    StartDevice(1, {"--install-polls", "12"});
    StartDevice(2, {"--install-polls", "12"});
    const pid_t first = Start({"--all", "--yes"});
    ASSERT_TRUE(WaitForOutput("[N11501] Firmware update part 4 of 4")) << Output();
    ASSERT_TRUE(WaitForOutput("[N11502] Firmware update part 4 of 4")) << Output();
    const int second = Wait(Start({"--all", "--yes"}, "out2"));
    const std::string secondOut = ReadFile(dir / "out2");
    EXPECT_EQ(second, 3) << secondOut;  // no device it could use
    for (int n : {1, 2})
        EXPECT_NE(secondOut.find(Link(n) + ": no answer (no device answered; port " + Link(n) +
                                 " could not be opened: it is in use by another program"),
                  std::string::npos)
            << secondOut;
    EXPECT_EQ(Wait(first), 0) << Output();
    for (int n : {1, 2}) {
        StopDevice(n);
        EXPECT_NE(DeviceState(n).find("version 350\n"), std::string::npos) << n;
    }
    std::map<std::string, int> updated;
    for (const app::HistoryEntry& e : app::ReadHistory(dir / "state/quillon"))
        if (e.outcome == "updated") ++updated[e.serial];
    EXPECT_EQ(updated["N11501"], 1);
    EXPECT_EQ(updated["N11502"], 1);
}

}  // namespace
