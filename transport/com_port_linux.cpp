// COM port layer on Linux: sysfs for the lookup, termios for raw mode, TIOCEXCL and flock
// for exclusive use, poll(2) deadlines on the installed clock for every read and write.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/clock.h"
#include "transport/com_port_os.h"

namespace velmora::com_os {
namespace {

namespace fs = std::filesystem;

// The hex number in a sysfs attribute such as idVendor ("2e4c\n"); -1 when unreadable.
long ReadHexAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 16);
    if (end == text.c_str() || value < 0 || value > 0xFFFF) return -1;
    return value;
}

bool IsInside(const fs::path& p, const fs::path& root) {
    auto r = root.begin(), q = p.begin();
    for (; r != root.end(); ++r, ++q)
        if (q == p.end() || *q != *r) return false;
    return q != p.end();  // strictly below root
}

int ToInt(ComHandle h) { return static_cast<int>(h); }

// Raw bytes in both directions: no CR/LF translation, no signal, flow-control or erase
// characters, no echo, 8 data bits without parity. Line speed, stop bits and hardware
// handshake stay as they are.
void MakeRaw(struct termios* t) {
    cfmakeraw(t);
    t->c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY | INPCK | IMAXBEL | IUTF8);
    t->c_lflag &= ~static_cast<tcflag_t>(ECHOE | ECHOK | ECHOCTL | ECHOKE | ECHOPRT);
    t->c_cflag |= CLOCAL | CREAD;
    t->c_cc[VMIN] = 1;  // a non-blocking read without data then says EAGAIN, never 0
    t->c_cc[VTIME] = 0;
}

bool Hangup(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

}  // namespace

bool ListUsbTtys(const std::string& sysfsRoot, uint16_t vendor, uint16_t product, std::vector<UsbTty>* out) {
    std::error_code ec;
    const fs::path root = fs::canonical(sysfsRoot, ec);
    if (ec) return false;
    fs::directory_iterator it(root / "class" / "tty", ec);
    if (ec) return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return false;
        const fs::path entry = it->path();
        std::error_code entryEc;
        // Only ttys with a device behind them; virtual consoles and ptys have none.
        const fs::path device = fs::canonical(entry / "device", entryEc);
        if (entryEc) continue;
        for (fs::path p = device; IsInside(p, root); p = p.parent_path()) {
            if (!fs::exists(p / "idVendor", entryEc)) continue;
            // The nearest USB device above the tty is the one it belongs to.
            if (ReadHexAttribute(p / "idVendor") == vendor && ReadHexAttribute(p / "idProduct") == product) {
                std::string name = entry.filename().string();
                for (char& c : name)
                    if (c == '!') c = '/';  // sysfs spells '/' in device names as '!'
                const fs::path place = fs::canonical(entry, entryEc);
                out->push_back(UsbTty{p.string(), entryEc ? entry.string() : place.string(), "/dev/" + name});
            }
            break;
        }
    }
    return true;
}

int FindSystemComPorts(uint16_t productId, int* ports, int capacity, const std::string& sysfsRoot) {
    return FindComPortsInSysfs(productId, ports, capacity, sysfsRoot);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

ComHandle Open(const std::string& path, int* err) {
    // Non-blocking, so that neither the open nor a read or write can wait without bound;
    // the waits are poll(2) deadlines.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *err = errno;
        return kInvalidComHandle;
    }
    auto fail = [&](int e) {
        ::close(fd);
        *err = e;
        return kInvalidComHandle;
    };
    // flock keeps off every process of ours (root included); TIOCEXCL keeps off other
    // programs that open the port without flock (root excepted).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    struct termios t {};
    if (::tcgetattr(fd, &t) != 0) return fail(errno);
    MakeRaw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno);
    // Bytes that arrived before the port was ours belong to no request of ours.
    ::tcflush(fd, TCIFLUSH);
    return fd;
}

PieceEnd ReadPiece(ComHandle h, uint8_t* data, uint32_t n, uint32_t timeoutMs, uint32_t* moved) {
    platform::Clock& clock = platform::GetClock();
    const uint64_t deadline = clock.NowMs() + timeoutMs;
    const int fd = ToInt(h);
    *moved = 0;
    while (*moved < n) {
        const ssize_t r = ::read(fd, data + *moved, n - *moved);
        if (r > 0) {
            *moved += static_cast<uint32_t>(r);
            continue;
        }
        // 0 is end of file: a tty says so only once the other side has hung up.
        if (r == 0) return PieceEnd::Failed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return PieceEnd::Failed;  // EIO: the device went away
        const uint64_t now = clock.NowMs();
        if (now >= deadline) return PieceEnd::TimedOut;
        short revents = 0;
        const int rc = clock.PollFd(fd, POLLIN, static_cast<int>(deadline - now), &revents);
        if (rc < 0) return PieceEnd::Failed;
        if (rc > 0 && !(revents & POLLIN) && Hangup(revents)) return PieceEnd::Failed;
    }
    return PieceEnd::Complete;
}

PieceEnd WritePiece(ComHandle h, const uint8_t* data, uint32_t n, uint32_t timeoutMs, uint32_t* moved) {
    platform::Clock& clock = platform::GetClock();
    const uint64_t deadline = clock.NowMs() + timeoutMs;
    const int fd = ToInt(h);
    *moved = 0;
    while (*moved < n) {
        const ssize_t r = ::write(fd, data + *moved, n - *moved);
        if (r > 0) {
            *moved += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) return PieceEnd::Failed;  // EIO: the device went away
        const uint64_t now = clock.NowMs();
        if (now >= deadline) return PieceEnd::TimedOut;
        short revents = 0;
        const int rc = clock.PollFd(fd, POLLOUT, static_cast<int>(deadline - now), &revents);
        if (rc < 0) return PieceEnd::Failed;
        if (rc > 0 && Hangup(revents)) return PieceEnd::Failed;
    }
    return PieceEnd::Complete;
}

void Close(ComHandle h) {
    const int fd = ToInt(h);
    // Output still queued (after a write that timed out) would make the close wait until the
    // device took it, up to the port's closing wait of 30 s; every exchange of the channel is
    // answered before the port is closed, so what is left belongs to no request.
    ::tcflush(fd, TCOFLUSH);
    // A pseudo-terminal outlives our descriptor and would keep the exclusive flag, locking
    // out the next open of the same port.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

}  // namespace velmora::com_os
