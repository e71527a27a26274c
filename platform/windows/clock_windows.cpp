// The real clock on Windows: the performance counter for steady time, GetLocalTime for the
// local time with milliseconds, Sleep. There are no poll(2) descriptors on Windows (the serial
// port waits through its COMMTIMEOUTS), so PollFd is refused on both clocks.
#include <windows.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/virtual_clock_state.h"

namespace platform {
namespace {

class RealClock : public Clock {
public:
    RealClock() {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);  // never fails since Windows XP
        frequency_ = static_cast<uint64_t>(f.QuadPart);
    }

    uint64_t NowMs() override {
        LARGE_INTEGER c;
        QueryPerformanceCounter(&c);
        const uint64_t ticks = static_cast<uint64_t>(c.QuadPart);
        // Whole seconds and the rest apart, so that the product cannot overflow.
        return ticks / frequency_ * 1000 + ticks % frequency_ * 1000 / frequency_;
    }

    LocalTime LocalNow() override {
        SYSTEMTIME st;
        GetLocalTime(&st);
        LocalTime t;
        t.year = st.wYear;
        t.month = st.wMonth;
        t.day = st.wDay;
        t.hour = st.wHour;
        t.minute = st.wMinute;
        t.second = st.wSecond;
        t.millisecond = st.wMilliseconds;
        t.dayOfWeek = st.wDayOfWeek;
        return t;
    }

    void SleepMs(uint32_t ms) override { ::Sleep(ms); }

    void WaitUntilMs(uint64_t deadlineMs) override {
        const uint64_t now = NowMs();
        if (deadlineMs > now) ::Sleep(static_cast<DWORD>(deadlineMs - now));
    }

    int PollFd(int, short, int, short* revents) override {
        if (revents) *revents = 0;
        return -1;
    }

private:
    uint64_t frequency_ = 1;
};

RealClock& TheRealClock() {
    static RealClock clock;
    return clock;
}

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

Clock& GetClock() {
    Clock* c = g_clock.load();
    return c ? *c : TheRealClock();
}

void SetClock(Clock* clock) { g_clock.store(clock); }

std::unique_ptr<Clock> MakeRealClock() { return std::make_unique<RealClock>(); }

int VirtualClock::PollFd(int, short, int, short* revents) {
    if (revents) *revents = 0;
    return -1;
}

}  // namespace platform
