// The real clock on Windows: the performance counter for steady time, GetLocalTime for the
// local time with milliseconds, Sleep, WaitForMultipleObjects for the message loop's handles.
// There are no poll(2) descriptors on Windows (the serial port waits through its COMMTIMEOUTS),
// so PollFd is refused on both clocks.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "platform/clock.h"
#include "platform/virtual_clock_state.h"

namespace platform {
namespace {

// WaitForMultipleObjects in real time: 1 + index, 0 time-out, -1 error.
int WaitReal(const EventHandle* handles, int count, DWORD ms) {
    if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return -1;
    HANDLE list[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) list[i] = reinterpret_cast<HANDLE>(handles[i]);
    const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(count), list, FALSE, ms);
    if (r < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(r - WAIT_OBJECT_0) + 1;
    // An abandoned mutex among the handles is signalled all the same.
    if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + static_cast<DWORD>(count))
        return static_cast<int>(r - WAIT_ABANDONED_0) + 1;
    return r == WAIT_TIMEOUT ? 0 : -1;
}

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

    int WaitForEvents(const EventHandle* handles, int count, int timeoutMs) override {
        return WaitReal(handles, count, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    }

private:
    uint64_t frequency_ = 1;
};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

std::unique_ptr<Clock> MakeRealClock() { return std::make_unique<RealClock>(); }

int VirtualClock::PollFd(int, short, int, short* revents) {
    if (revents) *revents = 0;
    return -1;
}

// As PollFd on Linux: a real wait of at most a short slice; when nothing came, the slice counts
// as the whole time-out and virtual time jumps to its end.
int VirtualClock::WaitForEvents(const EventHandle* handles, int count, int timeoutMs) {
    uint32_t slice = state_->pollSliceMs;
    if (timeoutMs >= 0 && static_cast<uint32_t>(timeoutMs) >= state_->longPollThresholdMs) slice = state_->longPollSliceMs;
    const DWORD realWait = timeoutMs < 0 ? slice : std::min<uint32_t>(slice, static_cast<uint32_t>(timeoutMs));
    for (;;) {
        const int rc = WaitReal(handles, count, realWait);
        if (rc != 0) return rc;
        if (timeoutMs >= 0) {
            Advance(static_cast<uint64_t>(timeoutMs));
            return 0;
        }
        Advance(slice);
    }
}

}  // namespace platform
