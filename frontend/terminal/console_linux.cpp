// The terminal on Linux: termios for single keys, TIOCGWINSZ for the size, poll(2) before every
// read, and a signalfd for the signals (blocked, so that none acts at an awkward moment): SIGINT,
// SIGQUIT, SIGTERM and SIGHUP are stop requests, SIGTSTP asks to suspend, SIGCONT says the
// program runs again, SIGWINCH that the size changed. A crash puts the terminal's mode and the
// screen back before the previous handler or the default action runs.
#include "frontend/terminal/console.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace frontend::terminal {
namespace {

// What a fatal signal's handler puts back. It runs at any moment, so it only reads these and
// calls tcsetattr, write, sigaction and raise (all async-signal-safe).
constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
struct FatalRestore {
    volatile sig_atomic_t modeChanged = 0;  // the program's own mode is in effect
    int terminalFd = -1;
    termios mode{};
    int outputFd = -1;
    char text[64] = {};
    volatile sig_atomic_t textLength = 0;
    struct sigaction previous[NSIG] = {};
};
FatalRestore g_fatal;

void OnFatalSignal(int sig, siginfo_t* info, void* context) {
    if (g_fatal.modeChanged) tcsetattr(g_fatal.terminalFd, TCSANOW, &g_fatal.mode);
    if (g_fatal.textLength > 0) {
        const ssize_t ignored = write(g_fatal.outputFd, g_fatal.text, static_cast<size_t>(g_fatal.textLength));
        (void)ignored;
    }
    // The handler that was there before (a sanitizer's report) or the default action.
    const struct sigaction previous = g_fatal.previous[sig];
    sigaction(sig, &previous, nullptr);
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(sig, info, context);
    } else if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL &&
               previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
    } else {
        // Pending until this handler returns (a fault recurs anyway when its instruction runs again).
        raise(sig);
    }
}

class LinuxConsole : public Console {
public:
    LinuxConsole(int inputFd, int outputFd, bool handleStops) : in_(inputFd), out_(outputFd) {
        outputIsTerminal_ = isatty(out_);
        if (handleStops) {
            sigset_t blocked;
            sigemptyset(&blocked);
            for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT, SIGWINCH}) sigaddset(&blocked, s);
            pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
            signalFd_ = signalfd(-1, &blocked, SFD_NONBLOCK | SFD_CLOEXEC);
        }
        // The program changes the terminal's mode only where it has the screen too: with its output
        // in a pager (| less) the pager owns the mode, and both setting it would leave it wrong.
        if (outputIsTerminal_ && isatty(in_) && tcgetattr(in_, &original_) == 0) {
            haveTermios_ = true;
            keys_ = original_;
            keys_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            // Ctrl-S must not hold the output, and with it the update, until Ctrl-Q.
            keys_.c_iflag &= ~static_cast<tcflag_t>(IXON);
            keys_.c_cc[VMIN] = 0;
            keys_.c_cc[VTIME] = 0;
            keyPoll_ = epoll_create1(EPOLL_CLOEXEC);
            WatchKeys(InForeground());
        }
        if (handleStops) {
            g_fatal.terminalFd = in_;
            g_fatal.mode = original_;
            g_fatal.outputFd = out_;
            struct sigaction action {};
            action.sa_sigaction = OnFatalSignal;
            action.sa_flags = SA_SIGINFO;
            sigemptyset(&action.sa_mask);
            for (int s : kFatalSignals) sigaction(s, &action, &g_fatal.previous[s]);
            fatalHandlers_ = true;
        }
    }

    ~LinuxConsole() override {
        if (fatalHandlers_)
            for (int s : kFatalSignals) sigaction(s, &g_fatal.previous[s], nullptr);
        SingleKeys(false);
        g_fatal.textLength = 0;
        if (keyPoll_ >= 0) close(keyPoll_);
        if (signalFd_ >= 0) close(signalFd_);
    }

    bool OutputIsTerminal() const override { return outputIsTerminal_; }
    int Columns() const override { return Size().ws_col; }
    int Rows() const override { return Size().ws_row; }

    void Write(std::string_view text) override {
        while (!text.empty()) {
            const ssize_t n = write(out_, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // the screen or the pipe went away; the update goes on
            text.remove_prefix(static_cast<size_t>(n));
        }
    }

    platform::EventHandle KeyHandle() const override { return haveTermios_ ? keyPoll_ : platform::kNoEventHandle; }
    platform::EventHandle StopHandle() const override { return signalFd_; }

    void SingleKeys(bool on) override {
        singleKeys_ = on;
        ApplyMode();
    }

    bool TakeEsc() override {
        if (!haveTermios_ || !keysWatched_) return false;
        if (!InForeground()) {
            // Reading now would stop the program (SIGTTIN); the keys wait for the program's return.
            WatchKeys(false);
            return false;
        }
        bool esc = false;
        char buffer[64];
        for (;;) {
            pollfd p{in_, POLLIN, 0};
            const int ready = poll(&p, 1, 0);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return esc;
            if (!(p.revents & POLLIN)) {
                InputEnded();  // hung up
                return esc;
            }
            const ssize_t n = read(in_, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                InputEnded();
                return esc;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\x1b') continue;
                // A lone Esc is the key; Esc followed by '[' or 'O' starts a cursor or function key.
                if (i + 1 < n && (buffer[i + 1] == '[' || buffer[i + 1] == 'O')) break;
                esc = true;
            }
        }
    }

    ConsoleSignals TakeSignals() override {
        ReadSignals();
        const ConsoleSignals taken = pending_;
        pending_ = {};
        return taken;
    }

    LineEnd ReadLine(std::string* line) override {
        std::string text;
        for (;;) {
            // A complete line comes first: an answer typed just before a resize still counts.
            char c = 0;
            switch (NextByte(&c)) {
            case Next::End:
                return LineEnd::End;
            case Next::Signal:
                // The signals stay pending for the host. Bytes already taken of a line of a pipe
                // were part of an answer that was not complete.
                return LineEnd::Signal;
            case Next::Byte:
                if (c == '\n') {
                    *line = text;
                    return LineEnd::Line;
                }
                if (text.size() < 256) text.push_back(c);
                break;
            }
        }
    }

    bool AnswersAreKeys() const override { return haveTermios_ && !inputEnded_ && InForeground(); }

    LineEnd ReadKey(char* key) override {
        for (;;) {
            char c = 0;
            switch (NextByte(&c)) {
            case Next::End:
                InputEnded();
                return LineEnd::End;
            case Next::Signal:
                return LineEnd::Signal;
            case Next::Byte:
                if (c == '\r') c = '\n';
                if (c == '\x1b' && SkipKeySequence()) break;
                *key = c;
                return LineEnd::Line;
            }
        }
    }

    void DropTypedLine() override {
        if (haveTermios_ && InForeground()) tcflush(in_, TCIFLUSH);
    }

    bool Suspend() override {
        if (signalFd_ < 0) return false;
        // The shell's own mode, as at any stop; the program's comes back when it runs again.
        if (haveTermios_ && modeApplied_ && InForeground()) {
            tcsetattr(in_, TCSANOW, &original_);
            modeApplied_ = false;
            g_fatal.modeChanged = 0;
        }
        // SIGTSTP's default action, as Ctrl-Z without a handler: the shell sees "Stopped", and
        // in a process group without a shell to continue it (orphaned) the system ignores it.
        sigset_t tstp;
        sigemptyset(&tstp);
        sigaddset(&tstp, SIGTSTP);
        raise(SIGTSTP);
        pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);
        pthread_sigmask(SIG_BLOCK, &tstp, nullptr);
        // Running again: the SIGCONT that woke the program is part of this return.
        ReadSignals();
        pending_.resumed = false;
        Reclaim();
        return true;
    }

    void SetScreenReset(std::string_view text) override {
        g_fatal.textLength = 0;
        const size_t n = std::min(text.size(), sizeof g_fatal.text);
        std::memcpy(g_fatal.text, text.data(), n);
        g_fatal.textLength = static_cast<sig_atomic_t>(n);
    }

private:
    winsize Size() const {
        winsize ws{};
        if (ioctl(out_, TIOCGWINSZ, &ws) != 0) ws = {};
        return ws;
    }

    // After an Esc: true when a cursor or function key's sequence follows (and was read), false
    // for the Esc key alone. A terminal sends a key's sequence at once.
    bool SkipKeySequence() {
        pollfd p{in_, POLLIN, 0};
        if (poll(&p, 1, 30) <= 0) return false;
        char c = 0;
        if (read(in_, &c, 1) != 1) return false;
        if (c != '[' && c != 'O') return false;
        // Parameters, then one final byte in 0x40..0x7E.
        for (int i = 0; i < 16; ++i) {
            if (poll(&p, 1, 30) <= 0 || read(in_, &c, 1) != 1) break;
            if (c >= 0x40 && c <= 0x7E) break;
        }
        return true;
    }

    // Whether the program's process group has the terminal (not after `bg`, not at all once the
    // terminal is gone).
    bool InForeground() const { return tcgetpgrp(in_) == getpgrp(); }

    void ApplyMode() {
        if (!haveTermios_ || !InForeground()) return;
        if (tcsetattr(in_, TCSANOW, singleKeys_ ? &keys_ : &original_) != 0) return;
        modeApplied_ = singleKeys_;
        g_fatal.modeChanged = singleKeys_ ? 1 : 0;
    }

    void WatchKeys(bool on) {
        if (keyPoll_ < 0 || on == keysWatched_ || (on && inputEnded_)) return;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = in_;
        if (epoll_ctl(keyPoll_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, in_, &ev) == 0 || !on) keysWatched_ = on;
    }

    enum class Next { Byte, End, Signal };
    // Waits for one byte of input or a signal for the host, whichever comes; input first.
    Next NextByte(char* c) {
        for (;;) {
            pollfd fds[2] = {{in_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
            const int n = poll(fds, signalFd_ >= 0 ? 2 : 1, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Next::End;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
                const ssize_t r = read(in_, c, 1);
                if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                return r <= 0 ? Next::End : Next::Byte;
            }
            if (signalFd_ >= 0 && (fds[1].revents & POLLIN)) return Next::Signal;
        }
    }

    void InputEnded() {
        inputEnded_ = true;
        WatchKeys(false);
    }

    // The program runs again (fg, bg, kill -CONT): its mode and its keys where it has the terminal.
    void Reclaim() {
        if (!haveTermios_) return;
        const bool foreground = InForeground();
        if (foreground) ApplyMode();
        WatchKeys(foreground);
    }

    void ReadSignals() {
        if (signalFd_ < 0) return;
        signalfd_siginfo info{};
        bool resumed = false;
        while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            switch (info.ssi_signo) {
            case SIGTSTP:
                pending_.suspend = true;
                break;
            case SIGCONT:
                resumed = true;
                break;
            case SIGWINCH:
                pending_.resized = true;
                break;
            default:
                pending_.stop = true;
            }
        }
        if (resumed) {
            pending_.resumed = true;
            Reclaim();
        }
    }

    int in_;
    int out_;
    bool outputIsTerminal_ = false;
    int signalFd_ = -1;
    bool fatalHandlers_ = false;
    bool haveTermios_ = false;
    bool singleKeys_ = false;
    bool modeApplied_ = false;
    termios original_{};
    termios keys_{};
    int keyPoll_ = -1;  // holds the input while its keys are watched
    bool keysWatched_ = false;
    bool inputEnded_ = false;
    ConsoleSignals pending_;
};

}  // namespace

std::unique_ptr<Console> OpenConsole(int inputFd, int outputFd, bool handleStops) {
    return std::make_unique<LinuxConsole>(inputFd, outputFd, handleStops);
}

}  // namespace frontend::terminal
