// Named mutexes on Linux: flock(2) on a lock file per name. flock locks belong to the open
// file and vanish with the process, so a holder that dies releases the mutex. Within the
// process, one shared state per name gives the recursion per thread that callers rely on.
#include "platform/named_mutex.h"

#include "platform/clock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace platform {
namespace {

bool WritableDir(const std::string& dir) {
    struct stat st {};
    return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(dir.c_str(), W_OK | X_OK) == 0;
}

struct SharedState {
    std::mutex m;
    std::thread::id owner;
    int count = 0;
    int fd = -1;
    std::string name;
};

std::mutex g_registryLock;
std::map<std::string, std::shared_ptr<SharedState>>& Registry() {
    static auto* registry = new std::map<std::string, std::shared_ptr<SharedState>>();
    return *registry;
}

class LinuxNamedMutex : public NamedMutex {
public:
    explicit LinuxNamedMutex(std::shared_ptr<SharedState> s) : s_(std::move(s)) {}

    WaitResult Lock(uint32_t timeoutMs) override {
        Clock& clock = GetClock();
        const uint64_t deadline = clock.NowMs() + timeoutMs;
        const auto self = std::this_thread::get_id();
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(s_->m);
                if (s_->count > 0 && s_->owner == self) {
                    ++s_->count;
                    return WaitResult::Acquired;
                }
                if (s_->count == 0) {
                    int rc;
                    do {
                        rc = ::flock(s_->fd, LOCK_EX | LOCK_NB);
                    } while (rc != 0 && errno == EINTR);
                    if (rc == 0) {
                        s_->owner = self;
                        s_->count = 1;
                        return WaitResult::Acquired;
                    }
                    if (errno != EWOULDBLOCK) return WaitResult::Failed;
                }
            }
            if (clock.NowMs() >= deadline) return WaitResult::TimedOut;
            clock.SleepMs(1);
        }
    }

    bool Unlock() override {
        std::lock_guard<std::mutex> lock(s_->m);
        if (s_->count == 0 || s_->owner != std::this_thread::get_id()) return false;
        if (--s_->count == 0) {
            s_->owner = std::thread::id();
            ::flock(s_->fd, LOCK_UN);
        }
        return true;
    }

    const std::string& Name() const override { return s_->name; }

private:
    std::shared_ptr<SharedState> s_;
};

}  // namespace

std::string LockDirectory() {
    if (const char* env = std::getenv("VELMORA_LOCK_DIR"); env && *env) return env;
    if (WritableDir("/run/lock")) return "/run/lock";
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && WritableDir(xdg)) return xdg;
    return "/tmp";
}

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name, int* errnoOut) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    auto& reg = Registry();
    auto it = reg.find(name);
    if (it != reg.end()) return std::make_unique<LinuxNamedMutex>(it->second);

    std::string file = name;
    for (char& c : file)
        if (c == '/' || c == '\0') c = '_';
    const std::string path = LockDirectory() + "/" + file + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return nullptr;
    }
    // Any user's process must be able to open the same lock file.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) ::fchmod(fd, 0666);
    auto state = std::make_shared<SharedState>();
    state->fd = fd;
    state->name = name;
    reg.emplace(name, state);
    return std::make_unique<LinuxNamedMutex>(state);
}

}  // namespace platform
