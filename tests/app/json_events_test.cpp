// quillon --json as a script runs it, against quillon-devsim as a process of its own: JSON Lines
// on the standard output and nothing else, every event valid against docs/events.schema.json,
// questions answered on the standard input, stops by signal, device texts kept as sent.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/json.h"
#include "tests/support/exec.h"
#include "tests/support/temp_dir.h"

namespace {

using app::json::Value;
using testsupport::Exec;
using testsupport::ReadFile;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
    std::vector<Value> events;
};

class JsonEvents : public ::testing::Test {
protected:
    void TearDown() override { StopDevice(); }

    std::string Link() const { return dir / "port0"; }

    void StartDevice(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {QUILLON_DEVSIM_PATH, "--link", Link(), "--serial", "N11501",
                                         "--version", "340", "--restart-delay", "300", "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        devsim = fork();
        if (devsim == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            Exec(args);
        }
        for (int i = 0; i < 300 && !std::filesystem::is_symlink(Link()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(std::filesystem::is_symlink(Link()));
    }
    void StopDevice() {
        if (devsim <= 0) return;
        kill(devsim, SIGTERM);
        waitpid(devsim, nullptr, 0);
        devsim = 0;
    }

    // Runs quillon --json with args; onEvent sees each event as it comes and may answer on the
    // program's standard input (the returned text) or act on the program (its pid).
    Outcome RunJson(const std::vector<std::string>& extra,
                const std::function<std::string(const Value&, pid_t)>& onEvent = {}) {
        std::vector<std::string> args = {QUILLON_PATH, "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return {};
        const pid_t child = fork();
        if (child == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            const int err = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            close(in[1]);
            close(out[0]);
            setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
            setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
            setenv("VELMORA_COM_PORTS", ("0A1F=" + Link()).c_str(), 1);
            setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
            setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
            setenv("DISPLAY", ":99", 1);  // --json never opens a window
            Exec(args);
        }
        close(in[0]);
        close(out[1]);
        Outcome r;
        std::string pending;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            r.out.append(buf, static_cast<size_t>(n));
            pending.append(buf, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                const auto event = app::json::Parse(line);
                EXPECT_TRUE(event) << "not JSON: " << line;
                if (!event) continue;
                r.events.push_back(*event);
                if (onEvent) {
                    const std::string answer = onEvent(*event, child);
                    if (!answer.empty() && write(in[1], answer.data(), answer.size()) < 0) ADD_FAILURE();
                }
            }
        }
        close(in[1]);
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.err = ReadFile(dir / "stderr");
        // Every event as the schema describes it.
        testsupport::WriteFile(dir / "events.jsonl", r.out);
        const std::string check = std::string("/usr/bin/python3 ") + QUILLON_SOURCE_DIR + "/tests/app/validate_events.py " +
                                  QUILLON_SOURCE_DIR + "/docs/events.schema.json " + dir / "events.jsonl > " +
                                  dir / "schema.txt 2>&1";
        EXPECT_EQ(system(check.c_str()), 0) << ReadFile(dir / "schema.txt");
        return r;
    }

    static std::vector<Value> Of(const Outcome& r, const std::string& kind) {
        std::vector<Value> found;
        for (const Value& e : r.events)
            if (e["event"].AsString() == kind) found.push_back(e);
        return found;
    }

    testsupport::TempDir dir;
    pid_t devsim = 0;
};

TEST_F(JsonEvents, UpdateAsEventsAndNothingElse) {
    StartDevice();
    const Outcome r = RunJson({"--yes"});
    EXPECT_EQ(r.exit, 0) << r.err;
    ASSERT_GE(r.events.size(), 10u);
    // Only events on the standard output: every line one object.
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')), r.events.size());
    EXPECT_EQ(r.events.front()["event"].AsString(), "start");
    EXPECT_EQ(r.events.front()["firmware"].AsString(), "3.50");
    const Value& end = r.events.back();
    EXPECT_EQ(end["event"].AsString(), "end");
    EXPECT_EQ(end["outcome"].AsString(), "updated");
    EXPECT_EQ(end["exit_status"].AsInt(), 0);
    EXPECT_EQ(end["firmware_before"].AsString(), "3.40");
    EXPECT_EQ(end["firmware_after"].AsString(), "3.50");
    EXPECT_TRUE(std::filesystem::exists(end["run_log"].AsString()));
    // The device at the start, in Bootware, and back with the new firmware.
    const auto devices = Of(r, "device");
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0]["serial"].AsString(), "N11501");
    EXPECT_EQ(devices[1]["running"].AsString(), "bootware");
    EXPECT_EQ(devices[2]["firmware"].AsString(), "3.50");
    const auto stages = Of(r, "stage");
    ASSERT_EQ(stages.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(stages[i]["stage"].AsInt(), i + 1);
    // Every message, answered by --yes; the success with the reminder.
    const auto messages = Of(r, "message");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["answered_by"].AsString(), "yes-option");
    EXPECT_EQ(messages[1]["text"].AsString(), "Firmware successful updated.");
    EXPECT_NE(messages[1]["details"]["next_step"].AsString().find("print images"), std::string::npos);
    EXPECT_FALSE(Of(r, "status").empty());
    EXPECT_FALSE(Of(r, "progress").empty());
}

TEST_F(JsonEvents, FailureCarriesItsDetails) {
    StartDevice({"--fault", "corrupt-page"});
    const Outcome r = RunJson({"--yes"});
    EXPECT_EQ(r.exit, 1);
    const auto messages = Of(r, "message");
    ASSERT_FALSE(messages.empty());
    const Value& last = messages.back();
    EXPECT_EQ(last["icon"].AsString(), "error");
    EXPECT_EQ(last["text"].AsString().rfind("Firmware update not successful.", 0), 0u);
    EXPECT_NE(last["details"]["cause"].AsString().find("read back differently"), std::string::npos);
    EXPECT_NE(last["details"]["device_state"].AsString().find("waits in Bootware"), std::string::npos);
    EXPECT_EQ(r.events.back()["outcome"].AsString(), "failed");
}

TEST_F(JsonEvents, QuestionsAreAnsweredOnTheStandardInput) {
    StartDevice();
    const Outcome r = RunJson({}, [](const Value& e, pid_t) {
        return e["event"].AsString() == "question" ? std::string("c\n") : std::string();
    });
    EXPECT_EQ(r.exit, 6);
    const auto questions = Of(r, "question");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0]["buttons"].AsString(), "ok-cancel");
    const auto messages = Of(r, "message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["answer"].AsString(), "cancel");
    EXPECT_EQ(messages[0]["answered_by"].AsString(), "given");
    EXPECT_EQ(r.events.back()["outcome"].AsString(), "stopped");
}

TEST_F(JsonEvents, StopBySignalSaysWhereTheDeviceStands) {
    // The device takes 5 s to come back in Bootware; SIGTERM comes meanwhile.
    StartDevice({"--restart-delay", "5000"});
    bool sent = false;
    const Outcome r = RunJson({"--yes"}, [&sent](const Value& e, pid_t program) {
        if (!sent && e["event"].AsString() == "status" &&
            e["text"].AsString().find("Waiting for it to restart in Bootware") != std::string::npos) {
            sent = true;
            kill(program, SIGTERM);
        }
        return std::string();
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(r.exit, 6);
    const auto notes = Of(r, "note");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0]["text"].AsString().rfind("Firmware update stopped.", 0), 0u);
    EXPECT_EQ(notes[0]["details"]["cause"].AsString(), "the update was stopped at your request");
    EXPECT_EQ(r.events.back()["outcome"].AsString(), "stopped");
}

TEST_F(JsonEvents, DeviceTextsAreKeptAsSentAndEscaped) {
    StartDevice({"--serial-hex", "1b5b386d4142", "--fault", "refuse-bootware"});
    const Outcome r = RunJson({"--yes"});
    for (char c : r.out) ASSERT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << r.out;
    const auto devices = Of(r, "device");
    ASSERT_FALSE(devices.empty());
    EXPECT_EQ(devices[0]["serial"].AsString(), "\x1b[8mAB");
    EXPECT_EQ(r.exit, 4);
}

}  // namespace
