// Named mutexes on Windows: CreateMutexA objects, shared by every process that names them.
// They are recursive for the owning thread by nature; a wait that finds the mutex abandoned (its
// owner ended without releasing it) has obtained it. The wait polls on the installed clock, so
// that its time-out is measured where every other wait of the product is.
#include <windows.h>

#include "platform/clock.h"
#include "platform/named_mutex.h"

namespace platform {
namespace {

// Waits of one real millisecond a wait makes before it polls without waiting. A holder that is
// writing a file or is not scheduled for a moment releases within them, however fast a virtual
// clock runs out; with the real clock they are part of the time-out anyway.
constexpr int kRealGraceSteps = 200;

class WindowsNamedMutex : public NamedMutex {
public:
    WindowsNamedMutex(HANDLE h, std::string name) : h_(h), name_(std::move(name)) {}
    ~WindowsNamedMutex() override { ::CloseHandle(h_); }
    WindowsNamedMutex(const WindowsNamedMutex&) = delete;
    WindowsNamedMutex& operator=(const WindowsNamedMutex&) = delete;

    WaitResult Lock(uint32_t timeoutMs) override {
        Clock& clock = GetClock();
        const uint64_t deadline = clock.NowMs() + timeoutMs;
        for (int step = 0;; ++step) {
            const DWORD rc = ::WaitForSingleObject(h_, step < kRealGraceSteps ? 1 : 0);
            if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) return WaitResult::Acquired;
            if (rc != WAIT_TIMEOUT) return WaitResult::Failed;
            if (clock.NowMs() >= deadline) return WaitResult::TimedOut;
            clock.SleepMs(1);
        }
    }

    bool Unlock() override { return ::ReleaseMutex(h_) != FALSE; }

    const std::string& Name() const override { return name_; }

private:
    HANDLE h_;
    std::string name_;
};

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name, int* errnoOut) {
    HANDLE h = ::CreateMutexA(nullptr, FALSE, name.c_str());
    if (!h) {
        if (errnoOut) *errnoOut = static_cast<int>(::GetLastError());
        return nullptr;
    }
    return std::make_unique<WindowsNamedMutex>(h, name);
}

}  // namespace platform
