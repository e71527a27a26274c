// The port diagnosis: what it finds on a fixture tree shaped like /proc, sysfs, udev's database
// and the rule folders; what it finds on the real /proc about a process holding a file; and the
// sentences each combination of facts leads to.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/linux/port_diagnosis_linux.h"
#include "platform/port_diagnosis.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::port_linux;

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += x + "\n";
    return s;
}

// A fixture system whose port is a link to /dev/null, the character device 1:3 here: a USB
// serial port of the maker with ModemManager and minicom holding it.
class DiagnosisTree : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::stat("/dev/null", &null), 0);
        const std::string devnum = std::to_string(major(null.st_rdev)) + ":" + std::to_string(minor(null.st_rdev));
        fs::create_symlink("/dev/null", dir / "port");
        AddProcess(412, "ModemManager", {{7, "/dev/null"}});
        AddProcess(4242, "minicom", {{0, dir / "elsewhere"}, {5, dir / "port"}});
        AddProcess(77, "bash", {{0, dir / "elsewhere"}});
        // This process holds the port as well, and is never named.
        AddProcess(::getpid(), "self", {{3, "/dev/null"}});
        char locks[160];
        std::snprintf(locks, sizeof locks,
                      "1: POSIX  ADVISORY  WRITE 99 00:05:1 0 EOF\n2: FLOCK  ADVISORY  WRITE 4242 %02x:%02x:%llu 0 EOF\n"
                      "2: -> FLOCK  ADVISORY  WRITE 412 %02x:%02x:%llu 0 EOF\n",
                      major(null.st_dev), minor(null.st_dev), static_cast<unsigned long long>(null.st_ino),
                      major(null.st_dev), minor(null.st_dev), static_cast<unsigned long long>(null.st_ino));
        testsupport::WriteFile(dir / "proc/locks", locks);
        testsupport::WriteFile(dir / "elsewhere", "");

        const std::string usb = dir / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        testsupport::WriteFile(usb + "/idVendor", "2E4C\n");
        testsupport::WriteFile(usb + "/1-2:1.0/tty/ttyACM0/dev", devnum + "\n");
        fs::create_directories(dir / "sys/dev/char");
        fs::create_directory_symlink(usb + "/1-2:1.0/tty/ttyACM0", dir / ("sys/dev/char/" + devnum));
        testsupport::WriteFile(dir / ("udev/c" + devnum), "E:ID_VENDOR_ID=2e4c\nE:ID_MODEL_ID=0a1f\nG:uaccess\n");
        for (const char* d : {"etc", "lib"}) fs::create_directories(dir / ("rules/" + std::string(d)));

        places.proc = dir / "proc";
        places.sys = dir / "sys";
        places.udevData = dir / "udev";
        places.ruleDirs = {dir / "rules/etc", dir / "rules/lib"};
    }

    void AddProcess(int pid, const std::string& comm, const std::vector<std::pair<int, std::string>>& fds) {
        const std::string p = dir / ("proc/" + std::to_string(pid));
        testsupport::WriteFile(p + "/comm", comm + "\n");
        fs::create_directories(p + "/fd");
        for (const auto& [fd, target] : fds) fs::create_symlink(target, p + "/fd/" + std::to_string(fd));
    }

    testsupport::TempDir dir;
    Places places;
    struct stat null {};
};

TEST_F(DiagnosisTree, FindsHoldersModemManagerAndTheMissingRule) {
    const PortFacts f = GatherPortFacts(dir / "port", EBUSY, places);
    EXPECT_EQ(f.node, "/dev/null");
    ASSERT_EQ(f.holders.size(), 2u);
    EXPECT_EQ(f.holders[0].name, "minicom");  // the lock holder first
    EXPECT_EQ(f.holders[0].pid, 4242);
    EXPECT_TRUE(f.holders[0].holdsLock);
    EXPECT_EQ(f.holders[1].name, "ModemManager");
    EXPECT_FALSE(f.holders[1].holdsLock);  // only waits for the lock
    EXPECT_TRUE(f.modemManagerRunning);
    EXPECT_TRUE(f.ourDevice);
    EXPECT_TRUE(f.knownToUdev);
    EXPECT_FALSE(f.modemManagerIgnores);
    EXPECT_FALSE(f.ruleInstalled);

    const auto found = Findings(f);
    ASSERT_EQ(found.size(), 3u) << Join(found);
    EXPECT_EQ(found[0], "it is open in minicom (pid 4242, which holds its lock) and ModemManager (pid 412)");
    EXPECT_NE(found[1].find("ModemManager is running and has not been told to leave this device alone"),
              std::string::npos);
    EXPECT_NE(found[2].find("the udev rule 70-quillon.rules is not installed"), std::string::npos);
}

TEST_F(DiagnosisTree, InstalledRuleQuietsModemManagerAndRuleFindings) {
    testsupport::WriteFile(dir / "rules/lib/70-quillon.rules", "# rule\n");
    testsupport::WriteFile(dir / ("udev/c" + std::to_string(major(null.st_rdev)) + ":" +
                                  std::to_string(minor(null.st_rdev))),
                           "E:ID_MM_DEVICE_IGNORE=1\n");
    const PortFacts f = GatherPortFacts(dir / "port", EBUSY, places);
    EXPECT_TRUE(f.ruleInstalled);
    EXPECT_TRUE(f.modemManagerIgnores);
    const auto found = Findings(f);
    ASSERT_EQ(found.size(), 1u) << Join(found);
    EXPECT_EQ(found[0].rfind("it is open in minicom", 0), 0u);

    // A link to /dev/null in an earlier folder masks the rule, as udev does.
    fs::create_symlink("/dev/null", dir / "rules/etc/70-quillon.rules");
    EXPECT_FALSE(GatherPortFacts(dir / "port", EBUSY, places).ruleInstalled);
}

TEST_F(DiagnosisTree, DeviceOfAnotherVendorOrWithoutUdevGetsNoRuleOrModemManagerFinding) {
    testsupport::WriteFile(dir / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/idVendor", "1d6b\n");
    fs::remove_all(dir / "udev");
    const PortFacts f = GatherPortFacts(dir / "port", EBUSY, places);
    EXPECT_FALSE(f.ourDevice);
    EXPECT_FALSE(f.knownToUdev);
    const auto found = Findings(f);
    ASSERT_EQ(found.size(), 1u) << Join(found);
}

// The real /proc: another process that holds a file through exec, with a flock on it.
TEST(PortDiagnosis, NamesTheProcessHoldingThePortOnThisSystem) {
    testsupport::TempDir dir;
    const std::string port = dir / "port";
    testsupport::WriteFile(port, "");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(port.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::dup2(fd, 3) != 3) ::_exit(1);
        if (::write(ready[1], "x", 1) != 1) ::_exit(1);
        ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    // Until the exec is done the child's name is still this program's.
    std::string found;
    for (int i = 0; i < 200; ++i) {
        found = platform::AsSentences(platform::DiagnosePortFailure(port, EBUSY));
        if (found.find("sleep") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(found, "It is open in sleep (pid " + std::to_string(child) + ", which holds its lock).");
    // Other errors have nothing to find.
    EXPECT_TRUE(platform::DiagnosePortFailure(port, ENOENT).empty());
}

// What each combination of facts leads to.
TEST(PortDiagnosis, FindingsForEachCause) {
    PortFacts busy;
    busy.error = EBUSY;
    busy.node = "/dev/ttyACM0";
    PortFacts denied = busy;
    denied.error = EACCES;
    denied.accessible = false;
    denied.user = "tech";
    denied.group = "dialout";
    struct Case {
        const char* name;
        PortFacts facts;
        std::vector<std::string> expected;
    };
    auto with = [](PortFacts f, auto change) {
        change(f);
        return f;
    };
    const std::string notInGroup =
        " and is not in the group dialout that owns /dev/ttyACM0 (sudo adduser tech dialout, then log in again)";
    const Case cases[] = {
        {"nothing seen", busy, {}},
        {"three holders",
         with(busy, [](PortFacts& f) { f.holders = {{5, "cat", false}, {6, "screen", false}, {7, "cu", false}}; }),
         {"it is open in cat (pid 5), screen (pid 6) and cu (pid 7)"}},
        {"holders of other users",
         with(busy, [](PortFacts& f) { f.hiddenProcesses = 3; }),
         {"no process of this user has it open; processes of other users are seen by root only"}},
        {"modem manager without the device in udev (a pseudo-terminal)",
         with(busy, [](PortFacts& f) { f.modemManagerRunning = true; }), {}},
        {"not in the group, away from the seat",
         with(denied, [](PortFacts& f) { f.seat = Seat::Away; }),
         {"the user tech is not at the local seat" + notInGroup}},
        {"not in the group, no seats on this system", denied,
         {"the user tech has no session at a local seat" + notInGroup}},
        {"in the group since a later login",
         with(denied, [](PortFacts& f) { f.listedInGroup = true; }),
         {"the user tech was added to the group dialout that owns /dev/ttyACM0 after this session began: log out "
          "and in again"}},
        {"at the seat, rule installed, access not given",
         with(denied,
              [](PortFacts& f) {
                  f.seat = Seat::Present;
                  f.ourDevice = f.ruleInstalled = true;
              }),
         {"the user tech is at the local seat, but the device has not been given to the seat yet: unplug it and plug "
          "it in again"}},
        {"in the group, at the seat, no rule: only the rule is named",
         with(denied,
              [](PortFacts& f) {
                  f.seat = Seat::Present;
                  f.ourDevice = true;
                  f.inGroup = true;
              }),
         {"the udev rule 70-quillon.rules is not installed (it gives the user at the seat access to the device and "
          "tells ModemManager to leave it alone)"}},
        {"owned by root", with(denied, [](PortFacts& f) { f.groupIsRoot = true; }), {"/dev/ttyACM0 is open to root only"}},
        {"permission denied although accessible now", with(denied, [](PortFacts& f) { f.accessible = true; }), {}},
        {"port gone", with(busy, [](PortFacts& f) {
             f.error = ENOENT;
             f.holders = {{5, "cat", false}};
         }),
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Findings(c.facts), c.expected);
    }
    EXPECT_EQ(platform::AsSentences({"it is open in cat (pid 5)", "ModemManager is running"}),
              "It is open in cat (pid 5). ModemManager is running.");
}

}  // namespace
