// Host side of the tests on Linux: termios raw mode, poll(2), fork/exec.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "host_side.h"

namespace simtest {
namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool HostPort::Open(const std::string& path) {
    Close();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct termios t {};
    if (::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcflush(fd, TCIFLUSH);
    fd_ = fd;
    return true;
}

void HostPort::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool HostPort::Write(std::span<const uint8_t> bytes) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        struct pollfd p {fd_, POLLOUT, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
    }
    return true;
}

std::vector<uint8_t> HostPort::Read(size_t n, int realTimeoutMs) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    while (out.size() < n) {
        struct pollfd p {fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, RemainingMs(deadline));
        if (rc <= 0) break;
        uint8_t buf[4096];
        ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0)
            out.insert(out.end(), buf, buf + got);
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;  // hung up
    }
    return out;
}

std::vector<uint8_t> HostPort::Exchange(std::span<const uint8_t> request, size_t n, int realTimeoutMs) {
    if (!Write(request)) return {};
    return Read(n, realTimeoutMs);
}

size_t HostPort::Drain(int quietMs) {
    size_t total = 0;
    for (;;) {
        std::vector<uint8_t> got = Read(65536, quietMs);
        if (got.empty()) return total;
        total += got.size();
    }
}

bool HostPort::WaitHangUp(int realTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    for (;;) {
        struct pollfd p {fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, RemainingMs(deadline));
        if (rc <= 0) return false;
        if (p.revents & (POLLHUP | POLLERR)) return true;
        uint8_t buf[256];
        ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got == 0 || (got < 0 && errno == EIO)) return true;
    }
}

std::string MakeTempDir() {
    char tmpl[] = "/tmp/quillon-sim-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    return dir ? dir : "";
}

Child Spawn(const std::vector<std::string>& argv) {
    Child c;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return c;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    c.pid = pid;
    c.out = fds[0];
    return c;
}

std::string ReadLine(Child& child, int realTimeoutMs) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    for (;;) {
        struct pollfd p {child.out, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return "";
        char ch;
        if (::read(child.out, &ch, 1) != 1) return "";
        if (ch == '\n') return line;
        line += ch;
    }
}

std::string ReadAll(Child& child, int realTimeoutMs) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    for (;;) {
        struct pollfd p {child.out, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return text;
        char buf[1024];
        ssize_t n = ::read(child.out, buf, sizeof buf);
        if (n <= 0) return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

void Terminate(const Child& child) {
    if (child.pid > 0) ::kill(child.pid, SIGTERM);
}

int WaitExit(Child& child, int realTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid) break;
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &status, 0);
            if (child.out >= 0) ::close(child.out);
            child.out = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (child.out >= 0) ::close(child.out);
    child.out = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace simtest
