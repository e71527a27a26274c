// The library's start and log in the Windows build: backslash paths, the log folder that the
// marker names, CR LF line ends, the header's Windows lines, and the library mutex named after
// the module handle.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "devlib/library.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace velmora;

class CapturingSink : public platform::EventSink {
public:
    bool Report(const platform::Event& e) override {
        events.push_back(e);
        return true;
    }
    std::vector<platform::Event> events;
};

class WindowsLibraryLog : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLibraryForTest();
        platform::SetEnv("VELMORA_COMMON_APPDATA", dir.path());
        platform::SetEventSink(&sink);
        platform::SetClock(&clock);
        library = dir.path() + "\\Kalder";
        std::filesystem::create_directories(library);
    }
    void TearDown() override {
        ResetLibraryForTest();
        platform::SetClock(nullptr);
        platform::SetEventSink(nullptr);
        platform::UnsetEnv("VELMORA_COMMON_APPDATA");
    }

    testsupport::TempDir dir;
    std::string library;
    CapturingSink sink;
    platform::VirtualClock clock;
};

TEST_F(WindowsLibraryLog, HintNamesTheLibraryFolderAndTheMutexTheModuleHandle) {
    InitLibrary();
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(sink.events[0].text,
              "To switch on Velmora logfile put the file VelmoraLog.cfg to path \"" + library + "\".");
    char tag[16];
    std::snprintf(tag, sizeof tag, "0x%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr))));
    EXPECT_STREQ(ModuleTag(), tag);
    ASSERT_NE(LibraryMutex(), nullptr);
    EXPECT_EQ(LibraryMutex()->Name(), std::string("VelmoraMutex") + tag);
    EXPECT_EQ(LogEntry(), nullptr);
}

TEST_F(WindowsLibraryLog, MarkerNamesTheLogFolderAndLinesEndWithCrLf) {
    const std::string other = dir.path() + "\\Logs";
    std::filesystem::create_directories(other);
    testsupport::WriteFile(library + "\\VelmoraLog.cfg", "LOGFILEPATH = \"" + other + "\"\r\n");
    InitLibrary();
    ASSERT_NE(LogEntry(), nullptr);
    EXPECT_EQ(std::string(LogEntry()), other + "\\Velmora.log");
    EXPECT_EQ(LogWriteLine("after the header"), 1);
    const std::string log = testsupport::ReadFile(other + "\\Velmora.log");
    EXPECT_NE(log.find("| Location of Velmora: " + platform::ProgramPath() + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("|   OS (64-Bit) rev.:"), std::string::npos);
    EXPECT_NE(log.find("|   Username: " + platform::UserName() + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("|    USB bus:\r\n"), std::string::npos);
    const std::string last = " | after the header\r\n";
    ASSERT_GT(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    // Every line feed belongs to a CR LF.
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] == '\n') {
            ASSERT_TRUE(i > 0 && log[i - 1] == '\r') << "at " << i;
        }
    }
}

TEST_F(WindowsLibraryLog, LogFolderOnAHostOrADeviceIsRefused) {
    // The marker may be written by any user: a folder named past the plain paths' checks (here
    // the device forms of a local folder; a host's share \\host\share likewise) leaves the
    // log off, and nothing is made there.
    const std::string other = dir.path() + "\\Logs";
    std::filesystem::create_directories(other);
    for (const std::string& named : {"\\\\?\\" + other, "\\\\.\\" + other}) {
        SCOPED_TRACE(named);
        ResetLibraryForTest();
        testsupport::WriteFile(library + "\\VelmoraLog.cfg", "LOGFILEPATH = \"" + named + "\"\r\n");
        InitLibrary();
        EXPECT_EQ(LogEntry(), nullptr);
        EXPECT_FALSE(std::filesystem::exists(other + "\\Velmora.log"));
    }
}

}  // namespace
