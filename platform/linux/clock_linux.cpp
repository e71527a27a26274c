// The real clock on Linux (steady clock, localtime_r, nanosleep) and poll(2) for both
// clocks; the rest of the virtual clock is portable (virtual_clock.cpp).
#include "platform/clock.h"
#include "platform/virtual_clock_state.h"

#include <poll.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class RealClock : public Clock {
public:
    uint64_t NowMs() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }

    LocalTime LocalNow() override {
        struct timeval tv {};
        gettimeofday(&tv, nullptr);
        struct tm tm {};
        time_t secs = tv.tv_sec;
        localtime_r(&secs, &tm);
        LocalTime t;
        t.year = tm.tm_year + 1900;
        t.month = tm.tm_mon + 1;
        t.day = tm.tm_mday;
        t.hour = tm.tm_hour;
        t.minute = tm.tm_min;
        t.second = tm.tm_sec;
        t.millisecond = static_cast<int>(tv.tv_usec / 1000);
        t.dayOfWeek = tm.tm_wday;
        return t;
    }

    void SleepMs(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    void WaitUntilMs(uint64_t deadlineMs) override {
        uint64_t now = NowMs();
        if (deadlineMs > now) std::this_thread::sleep_for(std::chrono::milliseconds(deadlineMs - now));
    }

    int PollFd(int fd, short events, int timeoutMs, short* revents) override {
        struct pollfd p {fd, events, 0};
        // Restart after signals with the time that is left.
        uint64_t deadline = timeoutMs < 0 ? 0 : NowMs() + static_cast<uint64_t>(timeoutMs);
        for (;;) {
            int wait = timeoutMs;
            if (timeoutMs >= 0) {
                uint64_t now = NowMs();
                wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
            }
            int rc = ::poll(&p, 1, wait);
            if (rc < 0 && errno == EINTR) continue;
            if (revents) *revents = rc > 0 ? p.revents : 0;
            return rc;
        }
    }

    int WaitForEvents(const EventHandle*, int, int) override { return -1; }
};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

std::unique_ptr<Clock> MakeRealClock() { return std::make_unique<RealClock>(); }

int VirtualClock::PollFd(int fd, short events, int timeoutMs, short* revents) {
    uint32_t slice = state_->pollSliceMs;
    if (timeoutMs >= 0 && static_cast<uint32_t>(timeoutMs) >= state_->longPollThresholdMs) slice = state_->longPollSliceMs;
    int realWait = timeoutMs < 0 ? static_cast<int>(slice)
                                 : static_cast<int>(std::min<uint32_t>(slice, static_cast<uint32_t>(timeoutMs)));
    for (;;) {
        struct pollfd p {fd, events, 0};
        int rc = ::poll(&p, 1, realWait);
        if (rc < 0 && errno == EINTR) continue;
        if (rc != 0) {
            if (revents) *revents = rc > 0 ? p.revents : 0;
            return rc;
        }
        if (revents) *revents = 0;
        if (timeoutMs >= 0) {
            Advance(static_cast<uint64_t>(timeoutMs));
            return 0;
        }
        Advance(slice);
    }
}

int VirtualClock::WaitForEvents(const EventHandle*, int, int) { return -1; }

}  // namespace platform
