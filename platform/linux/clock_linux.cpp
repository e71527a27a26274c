// Real and virtual clocks on Linux: steady clock, localtime_r, nanosleep, poll(2).
#include "platform/clock.h"

#include <poll.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
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
};

RealClock& TheRealClock() {
    static RealClock clock;
    return clock;
}

std::atomic<Clock*> g_clock{nullptr};

// Days since 1970-01-01 for a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

int64_t ToEpochMs(const LocalTime& t) {
    return ((DaysFromCivil(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60000LL +
           t.second * 1000LL + t.millisecond;
}

LocalTime FromEpochMs(int64_t ms) {
    LocalTime t;
    int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
    int64_t rest = ms - days * 86400000;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600000);
    t.minute = static_cast<int>(rest / 60000 % 60);
    t.second = static_cast<int>(rest / 1000 % 60);
    t.millisecond = static_cast<int>(rest % 1000);
    t.dayOfWeek = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    return t;
}

}  // namespace

Clock& GetClock() {
    Clock* c = g_clock.load();
    return c ? *c : TheRealClock();
}

void SetClock(Clock* clock) { g_clock.store(clock); }

std::unique_ptr<Clock> MakeRealClock() { return std::make_unique<RealClock>(); }

struct VirtualClock::State {
    std::mutex m;
    std::condition_variable cv;
    uint64_t now = 0;
    uint64_t slept = 0;
    int64_t epochAtZero = 0;  // local time (as ms since 1970) at virtual instant 0
    uint32_t pollSliceMs = 200;
    uint32_t longPollThresholdMs = UINT32_MAX;
    uint32_t longPollSliceMs = 200;
};

VirtualClock::VirtualClock(LocalTime start, uint32_t pollSliceMs) : state_(std::make_unique<State>()) {
    state_->epochAtZero = ToEpochMs(start);
    state_->pollSliceMs = pollSliceMs;
}

VirtualClock::~VirtualClock() = default;

LocalTime VirtualClock::DefaultStart() {
    LocalTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 10;
    t.hour = 9;
    return t;
}

uint64_t VirtualClock::NowMs() {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->now;
}

LocalTime VirtualClock::LocalNow() {
    std::lock_guard<std::mutex> lock(state_->m);
    return FromEpochMs(state_->epochAtZero + static_cast<int64_t>(state_->now));
}

void VirtualClock::SleepMs(uint32_t ms) {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->now += ms;
        state_->slept += ms;
    }
    state_->cv.notify_all();
    // Let threads that were waiting for this instant run before the sleeper goes on.
    std::this_thread::yield();
}

void VirtualClock::Advance(uint64_t ms) {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->now += ms;
    }
    state_->cv.notify_all();
}

void VirtualClock::WaitUntilMs(uint64_t deadlineMs) {
    std::unique_lock<std::mutex> lock(state_->m);
    state_->cv.wait(lock, [&] { return state_->now >= deadlineMs; });
}

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

void VirtualClock::SetLongPollSlice(uint32_t thresholdMs, uint32_t sliceMs) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->longPollThresholdMs = thresholdMs;
    state_->longPollSliceMs = sliceMs;
}

void VirtualClock::SetLocalTime(const LocalTime& t) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->epochAtZero = ToEpochMs(t) - static_cast<int64_t>(state_->now);
}

uint64_t VirtualClock::SleptMs() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slept;
}

}  // namespace platform
