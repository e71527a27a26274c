// Children on Linux: fork and exec with pipes for standard input and output; the output's end is
// read without blocking; SIGTERM asks for a stop.
#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

class LinuxChild : public ChildProcess {
public:
    LinuxChild(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}
    ~LinuxChild() override {
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
        if (!status_) Wait();
    }

    EventHandle OutputHandle() const override { return out_; }

    bool ReadOutput(std::string* appendTo) override {
        if (out_ < 0) return false;
        char buf[8192];
        for (;;) {
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n > 0) {
                appendTo->append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            close(out_);
            out_ = -1;
            return false;
        }
    }

    bool WriteInput(const std::string& text) override {
        if (in_ < 0) return false;
        size_t at = 0;
        while (at < text.size()) {
            const ssize_t n = write(in_, text.data() + at, text.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    void RequestStop() override {
        if (!status_) kill(pid_, SIGTERM);
    }

    std::optional<int> ExitStatus() override {
        if (status_) return status_;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) status_ = Decode(raw);
        return status_;
    }

    int Wait() override {
        if (status_) return *status_;
        int raw = 0;
        while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
        status_ = Decode(raw);
        return *status_;
    }

    long Id() const override { return pid_; }

private:
    static int Decode(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0); }

    pid_t pid_;
    int in_;
    int out_;
    std::optional<int> status_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program, const std::vector<std::string>& args,
                                         const std::string& errorFile, std::string* why) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        if (why) *why = std::strerror(errno);
        return nullptr;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        if (why) *why = std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return nullptr;
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        if (why) *why = std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        return nullptr;
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (!errorFile.empty()) {
            const int err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (err >= 0) dup2(err, 2);
        }
        // The child takes its stop requests itself: what this program blocked is open again.
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    // A child that goes away must not end this program with SIGPIPE on its input.
    return std::make_unique<LinuxChild>(pid, in[1], out[0]);
}

// A stop request of the parent is SIGTERM here.
EventHandle InheritedStopEvent() { return kNoEventHandle; }

}  // namespace platform
