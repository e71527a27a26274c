// The program's own records in a real temporary folder: the run logs (private, never through a
// planted link, the last 50 kept) and the history (RFC 4180 quoting, several programs appending
// at once, a damaged file read as far as it goes).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/history.h"
#include "app/run_log.h"
#include "platform/state_store.h"
#include "platform/usb_location.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;

app::HistoryEntry Entry(const std::string& serial, const std::string& outcome = "updated") {
    app::HistoryEntry e;
    e.start = "2026-12-10T13:30:01Z";
    e.durationSeconds = "95";
    e.host = "bench-3";
    e.user = "tech";
    e.port = "/dev/ttyACM0";
    e.usbLocation = "1-1.4";
    e.model = "1160";
    e.serial = serial;
    e.firmwareBefore = "3.40";
    e.variantBefore = "000";
    e.firmwareAfter = "3.50";
    e.variantAfter = "000";
    e.outcome = outcome;
    e.exitStatus = "0";
    e.programVersion = "2.60";
    e.runLog = "2026-12-10T13-30-01Z-77.log";
    return e;
}

std::string Identity(std::string_view s) { return std::string(s); }

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(History, FieldsThatAnyDeviceMaySendSurviveTheRoundTrip) {
    const std::vector<std::string> serials = {"N11501", "a,b", "say \"hi\"", "two\r\nlines", " padded ", "", "Müller"};
    std::string text;
    for (const std::string& s : serials) text += app::HistoryLine(Entry(s));
    const std::vector<app::HistoryEntry> back = app::ParseHistory(text);
    ASSERT_EQ(back.size(), serials.size());
    for (size_t i = 0; i < serials.size(); ++i) {
        EXPECT_EQ(back[i].serial, serials[i]) << i;
        EXPECT_EQ(back[i].runLog, "2026-12-10T13-30-01Z-77.log");
    }
    EXPECT_EQ(app::CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(app::CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(app::CsvField("plain"), "plain");
    // Empty fields keep their places, the first ones too.
    app::HistoryEntry sparse;
    sparse.serial = "S1";
    const auto parsed = app::ParseHistory(app::HistoryLine(sparse));
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].serial, "S1");
}

TEST(History, DamagedFileIsReadAsFarAsItGoes) {
    const std::string good = app::HistoryLine(Entry("GOOD01"));
    const std::vector<std::string> damaged = {
        "",                                                   // empty
        "\xff\xfe\x00garbage\n",                              // binary
        "only,three,fields\n" + good,                         // a short line before a good one
        good + "1,2,3\n",                                     // a short line after
        good + "\"an open quote that never ends, " + good,   // the rest swallowed
        good + std::string(100000, ',') + "\n",               // one enormous line
        good.substr(0, good.size() / 2),                      // cut in the middle
    };
    const size_t expected[] = {0, 0, 1, 1, 1, 2, 0};
    for (size_t i = 0; i < damaged.size(); ++i) {
        const auto entries = app::ParseHistory(damaged[i]);
        EXPECT_EQ(entries.size(), expected[i]) << i;
        if (!entries.empty()) {
            EXPECT_EQ(entries[0].serial, "GOOD01") << i;
        }
        // The table of whatever was read never fails either.
        EXPECT_FALSE(app::HistoryTable(entries, 20, Identity).empty());
    }
}

TEST(History, AppendedWithItsHeaderPrivatelyAndShownAsAnAlignedTable) {
    testsupport::TempDir dir;
    const std::string folder = dir / "state/quillon";
    std::string why;
    ASSERT_TRUE(app::AppendHistory(folder, Entry("N11501"), &why)) << why;
    ASSERT_TRUE(app::AppendHistory(folder, Entry("N11502", "failed"), &why)) << why;
    const std::string text = ReadFile(folder + "/history.csv");
    EXPECT_EQ(text.rfind("start,duration_s,host,user,port,usb_location,model,serial,", 0), 0u) << text;
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(folder + "/history.csv"), 0600u);
    const auto entries = app::ReadHistory(folder);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].outcome, "failed");

    const std::string table = app::HistoryTable(entries, 20, Identity);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = table.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(table.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u) << table;
    // Aligned: the serial column starts at the same place on every line.
    const size_t column = lines[0].find("serial");
    EXPECT_EQ(lines[1].find("N11501"), column) << table;
    EXPECT_EQ(lines[2].find("N11502"), column) << table;
    EXPECT_NE(lines[1].find("3.40/000 -> 3.50/000"), std::string::npos) << table;
    // The last one only.
    EXPECT_EQ(app::HistoryTable(entries, 1, Identity).find("N11501"), std::string::npos);
}

TEST(History, ProgramsAppendingAtOnceNeverMixTheirLines) {
    testsupport::TempDir dir;
    const std::string folder = dir / "quillon";
    constexpr int kPrograms = 4, kLines = 150;
    std::vector<pid_t> children;
    for (int p = 0; p < kPrograms; ++p) {
        const pid_t child = fork();
        if (child == 0) {
            // A long field makes each line larger than a pipe's atomic write would be.
            app::HistoryEntry e = Entry("P" + std::to_string(p));
            e.host = std::string(8000, static_cast<char>('a' + p));
            bool ok = true;
            for (int i = 0; i < kLines; ++i) ok = app::AppendHistory(folder, e, nullptr) && ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t c : children) {
        int status = 0;
        waitpid(c, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto entries = app::ReadHistory(folder);
    ASSERT_EQ(entries.size(), static_cast<size_t>(kPrograms * kLines));
    for (const auto& e : entries) {
        ASSERT_EQ(e.host.size(), 8000u);
        EXPECT_EQ(e.host.find_first_not_of(e.host[0]), std::string::npos) << "a line was mixed with another";
        EXPECT_EQ(e.serial, std::string("P") + static_cast<char>(e.host[0] - 'a' + '0'));
    }
    // One header only, however many started the file.
    const std::string text = ReadFile(folder + "/history.csv");
    EXPECT_EQ(text.find("start,duration_s", 1), std::string::npos);
}

TEST(RunLog, PrivateFileInItsFolderAndTheLast50Kept) {
    testsupport::TempDir dir;
    const std::string state = dir / "state";
    const std::string runs = state + "/runs";
    fs::create_directories(runs);
    ::chmod(runs.c_str(), 0700);
    // 55 older runs, named as the program names them (by their start).
    for (int i = 0; i < 55; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/2026-11-%02dT10-00-00Z-1.log", i % 28 + 1);
        testsupport::WriteFile(runs + name + std::to_string(i), "x");  // not .log: never removed
        testsupport::WriteFile(runs + "/2026-11-01T10-00-" + (i < 10 ? "0" : "") + std::to_string(i) + "Z-1.log", "old");
    }
    app::RunLog log;
    log.Open(state, "2026-12-10T13:30:01Z");
    ASSERT_TRUE(log.Kept()) << log.Problem();
    log.Line("device: serial N1\x1b[2J\nforged line");
    EXPECT_EQ(ModeOf(log.Path()), 0600u);
    EXPECT_EQ(log.FileName().rfind("2026-12-10T13-30-01Z-", 0), 0u) << log.FileName();
    size_t logs = 0;
    for (const auto& e : fs::directory_iterator(runs)) logs += e.path().extension() == ".log";
    EXPECT_EQ(logs, app::kRunLogsKept);
    EXPECT_FALSE(fs::exists(runs + "/2026-11-01T10-00-00Z-1.log"));  // the oldest went
    EXPECT_TRUE(fs::exists(runs + "/2026-11-01T10-00-54Z-1.log"));
    // A device's text stays on its line and sends no control character.
    const std::string text = ReadFile(log.Path());
    EXPECT_NE(text.find("device: serial N1?[2J?forged line\n"), std::string::npos) << text;
}

TEST(RunLog, PlantedLinksAndUnusableFoldersKeepNoLogButSayWhy) {
    testsupport::TempDir dir;
    // The runs folder is a link to somewhere else.
    fs::create_directories(dir / "a/elsewhere");
    fs::create_symlink(dir / "a/elsewhere", dir / "a/runs");
    // A folder others may write to.
    fs::create_directories(dir / "b/runs");
    ::chmod((dir / "b/runs").c_str(), 0777);
    // A file where the folder should be.
    fs::create_directories(dir / "c");
    testsupport::WriteFile(dir / "c/runs", "");
    for (const char* state : {"a", "b", "c"}) {
        SCOPED_TRACE(state);
        app::RunLog log;
        log.Open(dir / state, "2026-12-10T13:30:01Z");
        EXPECT_FALSE(log.Kept());
        EXPECT_FALSE(log.Problem().empty());
        log.Line("nothing happens");
    }
    EXPECT_TRUE(fs::is_empty(dir / "a/elsewhere"));
    // The history refuses a link in its place as well.
    fs::create_directories(dir / "d");
    ::chmod((dir / "d").c_str(), 0700);
    testsupport::WriteFile(dir / "target.csv", "");
    fs::create_symlink(dir / "target.csv", dir / "d/history.csv");
    std::string why;
    EXPECT_FALSE(app::AppendHistory(dir / "d", Entry("N1"), &why));
    EXPECT_EQ(ReadFile(dir / "target.csv"), "");
}

TEST(StateFolder, FollowsXdgStateHomeOrTheHome) {
    const char* savedState = getenv("XDG_STATE_HOME");
    const std::string keepState = savedState ? savedState : "";
    const std::string keepHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(platform::ProgramStateFolder(), "/x/state/quillon");
    setenv("XDG_STATE_HOME", "relative/ignored", 1);
    setenv("HOME", "/home/tech", 1);
    EXPECT_EQ(platform::ProgramStateFolder(), "/home/tech/.local/state/quillon");
    if (savedState) setenv("XDG_STATE_HOME", keepState.c_str(), 1); else unsetenv("XDG_STATE_HOME");
    setenv("HOME", keepHome.c_str(), 1);
}

}  // namespace

namespace {

// The name of a port that outlasts its device's restarts: its link in /dev/serial/by-path.
TEST(StablePort, TheByPathLinkOfThePort) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "ttyACM3", "");
    testsupport::WriteFile(dir / "ttyACM4", "");
    fs::create_directories(dir / "by-path");
    fs::create_symlink(dir / "ttyACM4", dir / "by-path/pci-0000:00:14.0-usb-0:1.2:1.0");
    fs::create_symlink(dir / "ttyACM3", dir / "by-path/pci-0000:00:14.0-usb-0:1.4:1.0");
    EXPECT_EQ(platform::StablePortPath(dir / "ttyACM3", dir / "by-path"), dir / "by-path/pci-0000:00:14.0-usb-0:1.4:1.0");
    EXPECT_EQ(platform::StablePortPath(dir / "ttyACM9", dir / "by-path"), "");
    EXPECT_EQ(platform::StablePortPath(dir / "ttyACM3", dir / "none"), "");
}

}  // namespace
