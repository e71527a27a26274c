// The terminal on Linux: termios for single keys, TIOCGWINSZ for the size, a signalfd for
// SIGINT, SIGTERM and SIGHUP (blocked, so that they become stop requests), poll(2) for answers.
#include "frontend/terminal/console.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace frontend::terminal {
namespace {

class LinuxConsole : public Console {
public:
    LinuxConsole(int inputFd, int outputFd, bool handleStops) : in_(inputFd), out_(outputFd) {
        winsize ws{};
        if (ioctl(out_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
            columns_ = ws.ws_col;
            rows_ = ws.ws_row;
        }
        outputIsTerminal_ = isatty(out_);
        if (handleStops) {
            sigset_t blocked;
            sigemptyset(&blocked);
            for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&blocked, s);
            pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
            signalFd_ = signalfd(-1, &blocked, SFD_NONBLOCK | SFD_CLOEXEC);
        }
        if (isatty(in_) && tcgetattr(in_, &original_) == 0) {
            haveTermios_ = true;
            keys_ = original_;
            keys_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            keys_.c_cc[VMIN] = 0;
            keys_.c_cc[VTIME] = 0;
        }
    }

    ~LinuxConsole() override {
        if (haveTermios_) tcsetattr(in_, TCSANOW, &original_);
        if (signalFd_ >= 0) close(signalFd_);
    }

    bool OutputIsTerminal() const override { return outputIsTerminal_; }
    int Columns() const override { return columns_; }
    int Rows() const override { return rows_; }

    void Write(std::string_view text) override {
        while (!text.empty()) {
            const ssize_t n = write(out_, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // the screen went away; the update goes on
            text.remove_prefix(static_cast<size_t>(n));
        }
    }

    // Keys are watched only on a terminal: a pipe's input is answers, read when asked.
    platform::EventHandle KeyHandle() const override { return haveTermios_ ? in_ : platform::kNoEventHandle; }
    platform::EventHandle StopHandle() const override { return signalFd_; }

    void SingleKeys(bool on) override {
        if (haveTermios_) tcsetattr(in_, TCSANOW, on ? &keys_ : &original_);
    }

    bool TakeEsc() override {
        if (!haveTermios_) return false;
        bool esc = false;
        char buffer[64];
        for (;;) {
            const ssize_t n = read(in_, buffer, sizeof buffer);
            if (n <= 0) return esc;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\x1b') continue;
                // A lone Esc is the key; Esc followed by '[' or 'O' starts a cursor or function key.
                if (i + 1 < n && (buffer[i + 1] == '[' || buffer[i + 1] == 'O')) break;
                esc = true;
            }
        }
    }

    bool TakeStops() override {
        if (signalFd_ < 0) return false;
        bool any = false;
        signalfd_siginfo info{};
        while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
        return any;
    }

    std::optional<std::string> ReadLine() override {
        std::optional<std::string> line;
        std::string text;
        for (;;) {
            pollfd fds[2] = {{in_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
            const int n = poll(fds, signalFd_ >= 0 ? 2 : 1, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            if (signalFd_ >= 0 && (fds[1].revents & POLLIN)) {
                // The stop stays pending for the host, which takes it next.
                break;
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                char c = 0;
                const ssize_t r = read(in_, &c, 1);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;  // end of input
                if (c == '\n') {
                    line = text;
                    break;
                }
                if (text.size() < 256) text.push_back(c);
            }
        }
        return line;
    }

private:
    int in_;
    int out_;
    int columns_ = 0;
    int rows_ = 0;
    bool outputIsTerminal_ = false;
    int signalFd_ = -1;
    bool haveTermios_ = false;
    termios original_{};
    termios keys_{};
};

}  // namespace

std::unique_ptr<Console> OpenConsole(int inputFd, int outputFd, bool handleStops) {
    return std::make_unique<LinuxConsole>(inputFd, outputFd, handleStops);
}

}  // namespace frontend::terminal
