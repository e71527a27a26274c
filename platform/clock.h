// Time for the whole product: sleeps, time-outs, local time with milliseconds.
// Product code never sleeps or reads the time except through Clock, so tests can swap in
// VirtualClock and let waits of seconds pass in no time.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// Something the OS can wait for: a file descriptor on Linux, a HANDLE on Windows (its value).
using EventHandle = std::intptr_t;
inline constexpr EventHandle kNoEventHandle = -1;

struct LocalTime {
    int year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 0;  // 0 = Sunday
};

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds since an arbitrary start.
    virtual uint64_t NowMs() = 0;
    // Wall-clock local time.
    virtual LocalTime LocalNow() = 0;
    // The calling thread pauses for ms (the product's Sleep).
    virtual void SleepMs(uint32_t ms) = 0;
    // Blocks until NowMs() >= deadlineMs without pushing time forward itself. Emulated
    // devices use this for their own delays, so that the product's sleeps and time-outs
    // are what moves a virtual clock on.
    virtual void WaitUntilMs(uint64_t deadlineMs) = 0;
    // poll(2) on one descriptor with a time-out in milliseconds (negative: none).
    // Returns the poll result (>0 ready, 0 timed out, <0 error) and the revents.
    virtual int PollFd(int fd, short events, int timeoutMs, short* revents) = 0;
    // Windows' counterpart of PollFd: waits until one of count handles (at most 64) is signalled
    // or timeoutMs passed (negative: no limit). Returns 1 + the index of a signalled handle, 0
    // when the time passed, <0 on error; Linux has no such handles and returns -1.
    virtual int WaitForEvents(const EventHandle* handles, int count, int timeoutMs) = 0;
};

// The clock in use; the real one unless a test installed another.
Clock& GetClock();
// Installs a clock (nullptr: back to the real clock). Not for use while other threads run
// product code.
void SetClock(Clock* clock);

// The steady clock and the local time zone of the machine.
std::unique_ptr<Clock> MakeRealClock();
// The machine's clock, one for the whole process: what GetClock gives when no other is installed.
Clock& SystemClock();

// A clock whose time moves only when a thread sleeps or a poll times out. Threads that wait
// with WaitUntilMs wake once another thread has moved time past their deadline.
// A poll on it waits for real for at most a short slice; if nothing arrives, the slice is
// counted as the whole time-out and virtual time jumps to the end of it.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(LocalTime start = DefaultStart(), uint32_t pollSliceMs = 200);
    ~VirtualClock() override;
    uint64_t NowMs() override;
    LocalTime LocalNow() override;
    void SleepMs(uint32_t ms) override;
    void WaitUntilMs(uint64_t deadlineMs) override;
    int PollFd(int fd, short events, int timeoutMs, short* revents) override;
    int WaitForEvents(const EventHandle* handles, int count, int timeoutMs) override;

    // Polls whose time-out is at least thresholdMs wait up to sliceMs for real instead: a
    // message loop's short waits pass quickly while a device's reply still has time to come.
    void SetLongPollSlice(uint32_t thresholdMs, uint32_t sliceMs);

    // Moves time forward by ms (as if the test itself slept).
    void Advance(uint64_t ms);
    // Sets the local time that corresponds to the current virtual instant.
    void SetLocalTime(const LocalTime& t);
    // Total milliseconds slept through SleepMs (for assertions on pauses).
    uint64_t SleptMs() const;
    static LocalTime DefaultStart();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Installs a clock for the lifetime of the object (tests).
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace platform
