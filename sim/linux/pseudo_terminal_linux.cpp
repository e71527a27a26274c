// Pseudo-terminal and link publication on Linux: posix_openpt, a raw slave, poll(2).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim/pseudo_terminal.h"

namespace quillon_sim {
namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class LinuxPseudoTerminal : public PseudoTerminal {
public:
    LinuxPseudoTerminal(int master, int slave, std::string path)
        : master_(master), slave_(slave), path_(std::move(path)) {}

    ~LinuxPseudoTerminal() override {
        // The slave first, then the master: closing the master hangs up every slave the
        // host still holds open.
        ::close(slave_);
        ::close(master_);
    }

    const std::string& SlavePath() const override { return path_; }

    long Read(std::span<uint8_t> buf, int waitMs) override {
        struct pollfd p {master_, POLLIN, 0};
        int rc = ::poll(&p, 1, waitMs);
        if (rc < 0) return errno == EINTR ? 0 : -1;
        if (rc == 0 || !(p.revents & POLLIN)) return 0;
        ssize_t n = ::read(master_, buf.data(), buf.size());
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        return static_cast<long>(n);
    }

    bool Write(std::span<const uint8_t> bytes, int timeoutMs, const std::atomic<bool>& stop) override {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (stop.load() || steady_clock::now() >= deadline) return false;
            struct pollfd p {master_, POLLOUT, 0};
            ::poll(&p, 1, 20);
        }
        return true;
    }

    size_t UnreadByHost() override {
        int n = 0;
        if (::ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
        return static_cast<size_t>(n);
    }

private:
    int master_;
    int slave_;  // kept open so that the master never sees a hang-up between host sessions
    std::string path_;
};

}  // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::Open(std::string* error) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        if (error) *error = Errno("posix_openpt");
        return nullptr;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        if (error) *error = Errno("pseudo-terminal set-up");
        ::close(master);
        return nullptr;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        if (error) *error = Errno("open slave");
        ::close(master);
        return nullptr;
    }
    // Raw both ways, so that no byte is translated, echoed or taken as a control character
    // before the host sets its own mode.
    struct termios t {};
    if (::tcgetattr(slave, &t) != 0) {
        if (error) *error = Errno("tcgetattr");
        ::close(slave);
        ::close(master);
        return nullptr;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(slave, TCSANOW, &t) != 0) {
        if (error) *error = Errno("tcsetattr");
        ::close(slave);
        ::close(master);
        return nullptr;
    }
    int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        if (error) *error = Errno("fcntl");
        ::close(slave);
        ::close(master);
        return nullptr;
    }
    return std::make_unique<LinuxPseudoTerminal>(master, slave, name);
}

bool PublishLink(const std::string& link, const std::string& target, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(link);
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (error) *error = link + " exists and is not a symbolic link";
        return false;
    }
    static std::atomic<unsigned> counter{0};
    const std::string temp = link + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        if (error) *error = Errno(("symlink " + temp).c_str());
        return false;
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        if (error) *error = Errno(("rename to " + link).c_str());
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void UnpublishLink(const std::string& link, const std::string& target) {
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    buf[n] = '\0';
    if (target == buf) ::unlink(link.c_str());
}

}  // namespace quillon_sim
