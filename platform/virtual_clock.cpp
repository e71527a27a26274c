// The virtual clock: time moves only when a thread sleeps or a poll times out. Portable; the
// poll itself (PollFd) is in the OS's clock file.
#include <thread>

#include "platform/virtual_clock_state.h"

namespace platform {
namespace {

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

VirtualClock::VirtualClock(LocalTime start, uint32_t pollSliceMs) : state_(std::make_unique<State>()) {
    state_->epochAtZero = ToEpochMs(start);
    state_->pollSliceMs = pollSliceMs;
}

VirtualClock::~VirtualClock() = default;

void VirtualClock::SetLongPollSlice(uint32_t thresholdMs, uint32_t sliceMs) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->longPollThresholdMs = thresholdMs;
    state_->longPollSliceMs = sliceMs;
}

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

void VirtualClock::SetLocalTime(const LocalTime& t) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->epochAtZero = ToEpochMs(t) - static_cast<int64_t>(state_->now);
}

uint64_t VirtualClock::SleptMs() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slept;
}

}  // namespace platform
