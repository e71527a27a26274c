#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "devlib/library.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace velmora;

namespace {

class CapturingSink : public platform::EventSink {
public:
    bool Report(const platform::Event& e) override {
        events.push_back(e);
        return true;
    }
    std::vector<platform::Event> events;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

platform::LocalTime At(int h, int m, int s, int ms) {
    platform::LocalTime t = platform::VirtualClock::DefaultStart();
    t.year = 2026;
    t.month = 3;
    t.day = 7;
    t.hour = h;
    t.minute = m;
    t.second = s;
    t.millisecond = ms;
    return t;
}

class LibraryLog : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLibraryForTest();
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        platform::SetEventSink(&sink);
        platform::SetClock(&clock);
        library = dir / "Kalder";
        std::filesystem::create_directories(library);
    }
    void TearDown() override {
        ResetLibraryForTest();
        platform::SetClock(nullptr);
        platform::SetEventSink(nullptr);
        unsetenv("VELMORA_COMMON_APPDATA");
        unsetenv("VELMORA_LOCK_DIR");
    }
    void Marker(const std::string& content) { WriteFile(library + "/VelmoraLog.cfg", content); }

    TempDir dir;
    std::string library;
    CapturingSink sink;
    platform::VirtualClock clock{At(14, 5, 9, 7)};
};

TEST_F(LibraryLog, LogCallsBeforeInitLibraryAreNotWritten) {
    EXPECT_EQ(LogWriteLine("x"), -1);
    EXPECT_EQ(LogPrintf(library.c_str(), "%d", 1), -1);
    EXPECT_EQ(LibraryMutex(), nullptr);
}

TEST_F(LibraryLog, WithoutMarkerTheEventIsReportedAndNothingIsLogged) {
    InitLibrary();
    ASSERT_EQ(sink.events.size(), 1u);
    const platform::Event& e = sink.events[0];
    EXPECT_EQ(e.source, "Velmora");
    EXPECT_EQ(e.category, 3);
    EXPECT_EQ(e.eventId, 0x60000100u);
    EXPECT_EQ(e.text, "To switch on Velmora logfile put the file VelmoraLog.cfg to path \"" + library + "\".");
    EXPECT_EQ(LogEntry(), nullptr);
    EXPECT_EQ(LogWriteLine("x"), -1);
    EXPECT_EQ(LogPrintf(library.c_str(), "x"), -1);
    EXPECT_FALSE(std::filesystem::exists(library + "/Velmora.log"));
    ASSERT_NE(LibraryMutex(), nullptr);
    EXPECT_EQ(LibraryMutex()->Name(), std::string("VelmoraMutex") + ModuleTag());
    EXPECT_TRUE(std::regex_match(std::string(ModuleTag()), std::regex("0x[0-9a-f]{8}")));
    for (int id = -1; id <= 12; ++id) EXPECT_EQ(DeviceChannel(id), nullptr);
}

TEST_F(LibraryLog, MarkerFirstLineChoosesTheLogFolder) {
    const std::string other = dir / "Logs";
    std::filesystem::create_directories(other);
    struct Case {
        std::string marker;
        std::string expectedFolder;
    } cases[] = {
        {"LOGFILEPATH = \"" + other + "\"\n", other},
        {"some words LOGFILEPATH = x \"" + other + "\" trailing\n", other},
        {"first line\nLOGFILEPATH = \"" + other + "\"\n", library},
        {"LOGFILEPATH = \"" + other + "\n", library},
        {"", library},
        {"LOGFILEPATH=\"" + other + "\"\n", library},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.marker);
        ResetLibraryForTest();
        std::filesystem::remove(other + "/Velmora.log");
        std::filesystem::remove(library + "/Velmora.log");
        Marker(c.marker);
        InitLibrary();
        ASSERT_NE(LogEntry(), nullptr);
        EXPECT_EQ(std::string(LogEntry()), c.expectedFolder + "/Velmora.log");
        EXPECT_TRUE(std::filesystem::exists(c.expectedFolder + "/Velmora.log"));
        EXPECT_EQ(LogWriteLine("after"), 1);
    }
}

TEST_F(LibraryLog, HeaderLinesInOrderWithTimeStamps) {
    Marker("");
    InitLibrary();
    const std::string log = ReadFile(library + "/Velmora.log");
    std::vector<std::string> lines = Lines(log);
    ASSERT_GE(lines.size(), 11u);
    const std::string stamp = "2026.03.07 14:05:09.007 | ";
    const std::string signs(82, '#');
    EXPECT_EQ(lines[0], stamp + signs);
    EXPECT_EQ(lines[1], stamp + "###                         Velmora LOG started                             ###");
    EXPECT_EQ(lines[2], stamp + signs);
    EXPECT_EQ(lines[3], stamp + "Location of Velmora: " + platform::ProgramPath());
    EXPECT_EQ(lines[4], stamp + "Version of Velmora: 10.00");
    EXPECT_EQ(lines[5], stamp + "Operating system infos");
    const std::string stampRe = R"(2026\.03\.07 14:05:09\.007 \| )";
    EXPECT_TRUE(std::regex_match(lines[6], std::regex(stampRe + R"(  OS \((64|32)-Bit\) rev\.:\d+,\d+  Build:\d+, PlatformID:0  Linux .*)")))
        << lines[6];
    EXPECT_TRUE(std::regex_match(lines[7], std::regex(stampRe + "  \xB5Ps= \\d+, \xB5Ptyp=\\d+ \\(\\d+,\\d+\\), OEM Id 0,Mask [0-9A-F]+, Adr:[0-9A-F]{8}-[0-9A-F]{8}")))
        << lines[7];
    EXPECT_EQ(lines[8], stamp + "  Username: " + platform::UserName());
    // The bus report is one log line with one time stamp; its own lines end in CR LF, and
    // the log line's "\n" follows its last CR LF.
    EXPECT_EQ(lines[9], stamp + "   USB bus:\r");
    ASSERT_EQ(lines.back(), "");
    const std::string& last = lines[lines.size() - 2];
    EXPECT_TRUE(std::regex_match(last, std::regex(R"(   \d+ devices connected to USB\r)"))) << last;
    for (size_t i = 10; i < lines.size(); ++i) EXPECT_EQ(lines[i].find(" | "), std::string::npos) << lines[i];
}

TEST_F(LibraryLog, ExistingLogKeepsItsContentAndLinesAppend) {
    WriteFile(library + "/Velmora.log", "old line\n");
    Marker("");
    InitLibrary();
    std::string log = ReadFile(library + "/Velmora.log");
    EXPECT_EQ(log.rfind("old line\n", 0), 0u);
    EXPECT_NE(log.find("Velmora LOG started"), std::string::npos);

    clock.SleepMs(1234);
    EXPECT_EQ(LogWriteLine("a\r\nb"), 1);
    EXPECT_EQ(LogPrintf(LogEntry(), "value %d / %s", 42, "text"), 1);
    EXPECT_EQ(LogWriteLine(nullptr), 1);
    std::string tail = ReadFile(library + "/Velmora.log").substr(log.size());
    EXPECT_EQ(tail,
              "2026.03.07 14:05:10.241 | a\r\nb\n"
              "2026.03.07 14:05:10.241 | value 42 / text\n"
              "2026.03.07 14:05:10.241 | \n");
}

TEST_F(LibraryLog, LongFormattedMessagesAreWrittenWhole) {
    Marker("");
    InitLibrary();
    const std::string big(20000, 'z');
    ASSERT_EQ(LogPrintf(LogEntry(), "<%s>", big.c_str()), 1);
    EXPECT_NE(ReadFile(library + "/Velmora.log").find("<" + big + ">\n"), std::string::npos);
}

TEST_F(LibraryLog, SharedLogFileIsWritableByEveryone) {
    Marker("");
    mode_t old = umask(077);
    InitLibrary();
    umask(old);
    EXPECT_EQ(std::filesystem::status(library + "/Velmora.log").permissions() & std::filesystem::perms::all,
              static_cast<std::filesystem::perms>(0666));
}

TEST_F(LibraryLog, PlantedLinkAtTheLogPathIsRefused) {
    const std::string victim = dir / "victim";
    WriteFile(victim, "precious\n");
    std::filesystem::create_symlink(victim, library + "/Velmora.log");
    Marker("");
    InitLibrary();
    EXPECT_EQ(LogWriteLine("x"), -1);
    EXPECT_EQ(ReadFile(victim), "precious\n");
}

TEST_F(LibraryLog, LogDeletedWhileRunningIsMadeAgainButALinkStillRefused) {
    Marker("");
    InitLibrary();
    const std::string log = library + "/Velmora.log";
    std::filesystem::remove(log);
    ASSERT_EQ(LogWriteLine("after the deletion"), 1);
    EXPECT_NE(ReadFile(log).find(" | after the deletion\n"), std::string::npos);
    EXPECT_EQ(std::filesystem::status(log).permissions() & std::filesystem::perms::all,
              static_cast<std::filesystem::perms>(0666));

    const std::string victim = dir / "victim";
    WriteFile(victim, "precious\n");
    std::filesystem::remove(log);
    std::filesystem::create_symlink(victim, log);
    EXPECT_EQ(LogWriteLine("through the link"), -1);
    EXPECT_EQ(ReadFile(victim), "precious\n");
}

TEST_F(LibraryLog, FifoAtTheLogPathIsRefusedWithoutWaiting) {
    // Any user who may create files in the log folder could plant a FIFO there: opening it
    // would wait for a reader or writer at its other end, for ever.
    const std::string fifo = library + "/Velmora.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    Marker("");
    auto start = std::async(std::launch::async, [] {
        InitLibrary();
        return LogWriteLine("x");
    });
    if (start.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Open both ends, so that the waiting open returns and the test ends.
        const int both = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        start.wait();
        close(both);
        FAIL() << "the library waited at the FIFO";
    }
    EXPECT_EQ(start.get(), -1);
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(LibraryLog, UncreatableLogLeavesLoggingSilent) {
    Marker("LOGFILEPATH = \"" + dir / "missing-folder" + "\"\n");
    InitLibrary();
    ASSERT_NE(LogEntry(), nullptr);  // the path is kept, but there is no log mutex
    EXPECT_EQ(LogWriteLine("x"), -1);
}

TEST_F(LibraryLog, PathsBeyondTheirBuffersLeaveTheLogOff) {
    const std::string longFolder = "/" + std::string(300, 'd');
    Marker("LOGFILEPATH = \"" + longFolder + "\"\n");
    InitLibrary();
    EXPECT_EQ(LogEntry(), nullptr);
    EXPECT_EQ(LogWriteLine("x"), -1);

    // A data folder the 255-byte value cannot hold: the library folder becomes "/Kalder".
    ResetLibraryForTest();
    sink.events.clear();
    const std::string deep = dir / std::string(250, 'e');
    std::filesystem::create_directories(deep);
    setenv("VELMORA_COMMON_APPDATA", deep.c_str(), 1);
    char buffer[kLogPathSize];
    EXPECT_EQ(ReadCommonAppDataFolder(buffer), -2);
    InitLibrary();
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_NE(sink.events[0].text.find("to path \"/Kalder\"."), std::string::npos);
}

TEST_F(LibraryLog, ReadCommonAppDataFolderResults) {
    char buffer[kLogPathSize] = {};
    EXPECT_EQ(ReadCommonAppDataFolder(buffer), 1);
    EXPECT_EQ(std::string(buffer), dir.path());
    setenv("VELMORA_COMMON_APPDATA", (dir / "absent").c_str(), 1);
    EXPECT_EQ(ReadCommonAppDataFolder(buffer), -1);
}

TEST_F(LibraryLog, LinesFromSeveralThreadsNeverMix) {
    Marker("");
    InitLibrary();
    platform::SetClock(nullptr);  // real threads, real time
    const size_t before = ReadFile(library + "/Velmora.log").size();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) LogPrintf(LogEntry(), "thread %d line %03d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    std::vector<std::string> lines = Lines(ReadFile(library + "/Velmora.log").substr(before));
    ASSERT_EQ(lines.size(), 800u);
    std::regex shape(R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} \| thread (\d) line \d{3} ([a-d])\2{99})");
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, shape)) << l;
}

TEST(LibraryVersion, PackedFromTheProjectVersion) {
    EXPECT_EQ(GetLibraryVersion(), 0x1000);
}

}  // namespace
