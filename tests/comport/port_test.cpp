// Opening ports: the log line, exclusive use against this and other processes, and the
// reason a failed open keeps.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "com_test_support.h"
#include "devlib/library.h"
#include "transport/com_port.h"

using comtest::Pty;
using comtest::TempDir;
using velmora::kInvalidComHandle;

namespace {

constexpr uid_t kNobody = 65534;

// Runs fn in a child process and returns its exit code (-1 if it did not exit normally).
int InChild(const std::function<int()>& fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs fn in a child that is not root (root passes TIOCEXCL and permissions).
int InChildWithoutPrivileges(const std::function<int()>& fn) {
    return InChild([&] {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 200;
        return fn();
    });
}

// A pipe for one byte at a time between parent and child.
struct Signal {
    Signal() {
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
    }
    ~Signal() {
        close(fds[0]);
        close(fds[1]);
    }
    void Send() const {
        const char c = 1;
        if (write(fds[1], &c, 1) != 1) throw std::runtime_error("signal");
    }
    void Wait() const {
        char c;
        if (read(fds[0], &c, 1) != 1) throw std::runtime_error("signal");
    }
    int fds[2];
};

std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ComPortOpen, WritesTheFixedLogLineForEveryOpen) {
    TempDir d;
    Pty pty(d.path + "/port");
    const std::string log = d.path + "/Velmora.log";
    velmora::Table().logPath = new char[velmora::kLogPathSize];
    std::snprintf(velmora::Table().logPath, velmora::kLogPathSize, "%s", log.c_str());
    ASSERT_EQ(velmora::OpenLogFile(velmora::LogEntry()), 1);

    const int port = comtest::PortOf(pty);
    const velmora::ComHandle h = velmora::OpenCOM(static_cast<uint8_t>(port));
    EXPECT_NE(h, kInvalidComHandle);
    EXPECT_EQ(velmora::OpenCOM(0), kInvalidComHandle);  // logged as well, though nothing opens
    velmora::CloseCOM(h);
    velmora::ResetLibraryForTest();

    const std::string text = Slurp(log);
    EXPECT_EQ(CountOf(text, " | CSerialComPortOperations / OpenCOM: 128000\n"), 2) << text;
}

TEST(ComPortOpen, HeldPortIsRefusedInThisAndAnotherProcess) {
    TempDir d;
    Pty pty(d.path + "/port");
    const uint8_t port = static_cast<uint8_t>(comtest::PortOf(pty));

    const velmora::ComHandle h = velmora::OpenCOM(port);
    ASSERT_NE(h, kInvalidComHandle);
    EXPECT_EQ(velmora::LastComOpenError(), 0);
    EXPECT_EQ(velmora::OpenCOM(port), kInvalidComHandle);
    EXPECT_EQ(velmora::LastComOpenError(), EBUSY);
    EXPECT_EQ(InChild([&] {
                  return velmora::OpenCOM(port) == kInvalidComHandle && velmora::LastComOpenError() == EBUSY ? 0 : 1;
              }),
              0);
    velmora::CloseCOM(h);

    // Now the other process holds it.
    Signal opened, release;
    const pid_t child = fork();
    if (child == 0) {
        const velmora::ComHandle held = velmora::OpenCOM(port);
        opened.Send();
        release.Wait();
        velmora::CloseCOM(held);
        _exit(held == kInvalidComHandle ? 1 : 0);
    }
    ASSERT_GT(child, 0);
    opened.Wait();
    EXPECT_EQ(velmora::OpenCOM(port), kInvalidComHandle);
    EXPECT_EQ(velmora::LastComOpenError(), EBUSY);
    release.Send();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const velmora::ComHandle again = velmora::OpenCOM(port);
    EXPECT_NE(again, kInvalidComHandle);
    EXPECT_EQ(velmora::LastComOpenError(), 0);
    velmora::CloseCOM(again);
}

TEST(ComPortOpen, ProgramsThatDoNotLockAreKeptOffUntilClose) {
    TempDir d;
    Pty pty(d.path + "/port");
    // Let an unprivileged child reach the port.
    ASSERT_EQ(chmod(d.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(pty.slave.c_str(), 0666), 0);
    const uint8_t port = static_cast<uint8_t>(comtest::PortOf(pty));
    auto plainOpen = [&] {
        const int fd = ::open(pty.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
            return 0;
        }
        return errno;
    };

    const velmora::ComHandle h = velmora::OpenCOM(port);
    ASSERT_NE(h, kInvalidComHandle);
    EXPECT_EQ(InChildWithoutPrivileges(plainOpen), EBUSY);
    velmora::CloseCOM(h);
    // The pty outlives the descriptor; closing must not leave it locked.
    EXPECT_EQ(InChildWithoutPrivileges(plainOpen), 0);
}

TEST(ComPortOpen, BytesFromBeforeTheOpenAreDropped) {
    TempDir d;
    Pty pty(d.path + "/port");
    ASSERT_TRUE(pty.Write({'o', 'l', 'd', 0x00, 0xFF}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them reach the port
    const velmora::ComHandle h = velmora::OpenCOM(static_cast<uint8_t>(comtest::PortOf(pty)));
    ASSERT_NE(h, kInvalidComHandle);
    ASSERT_TRUE(pty.Write({'n', 'e', 'w'}));
    uint8_t buffer[3] = {};
    EXPECT_EQ(velmora::ReadCOM(h, buffer, 3), 1);
    EXPECT_EQ(std::string(buffer, buffer + 3), "new");
    velmora::CloseCOM(h);
}

TEST(ComPortOpen, FailedOpensKeepTheReason) {
    TempDir d;
    const std::string file = d.path + "/plain-file";
    std::ofstream(file) << "not a port";
    const std::string locked = d.path + "/no-access";
    std::ofstream(locked) << "";
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(d.path.c_str(), 0755), 0);

    struct Case {
        const char* what;
        int port;
        int error;
    } cases[] = {
        {"never given out", 0, ENOENT},
        {"path gone", velmora::ComPortNumber(d.path + "/missing"), ENOENT},
        {"not a serial port", velmora::ComPortNumber(file), ENOTTY},
        {"a folder", velmora::ComPortNumber(d.path), EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(velmora::OpenCOM(static_cast<uint8_t>(c.port)), kInvalidComHandle);
        EXPECT_EQ(velmora::LastComOpenError(), c.error) << std::strerror(velmora::LastComOpenError());
    }

    const uint8_t lockedPort = static_cast<uint8_t>(velmora::ComPortNumber(locked));
    EXPECT_EQ(InChildWithoutPrivileges([&] {
                  return velmora::OpenCOM(lockedPort) == kInvalidComHandle ? velmora::LastComOpenError() : 0;
              }),
              EACCES);
}

}  // namespace
