#include "platform/clock.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

using platform::VirtualClock;

TEST(VirtualClock, SleepsMoveTimeAndLocalTimeRollsOver) {
    platform::LocalTime start = VirtualClock::DefaultStart();
    start.hour = 23;
    start.minute = 59;
    start.second = 59;
    start.millisecond = 900;
    VirtualClock clock(start);
    EXPECT_EQ(clock.NowMs(), 0u);
    clock.SleepMs(150);
    EXPECT_EQ(clock.NowMs(), 150u);
    platform::LocalTime t = clock.LocalNow();
    EXPECT_EQ(t.year, 2026);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 11);
    EXPECT_EQ(t.hour, 0);
    EXPECT_EQ(t.minute, 0);
    EXPECT_EQ(t.second, 0);
    EXPECT_EQ(t.millisecond, 50);
    EXPECT_EQ(t.dayOfWeek, 5);  // 2026-12-11 is a Friday
    EXPECT_EQ(clock.SleptMs(), 150u);
}

TEST(VirtualClock, WaiterWakesWhenAnotherThreadSleepsPastItsDeadline) {
    VirtualClock clock;
    bool woke = false;
    std::thread waiter([&] {
        clock.WaitUntilMs(10000);
        woke = true;
    });
    clock.SleepMs(4000);
    clock.SleepMs(6000);
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(VirtualClock, PollTimeoutJumpsWholeTimeoutAndDataEndsItEarly) {
    VirtualClock clock(VirtualClock::DefaultStart(), 20);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    short rev = 0;
    EXPECT_EQ(clock.PollFd(fds[0], POLLIN, 10000, &rev), 0);
    EXPECT_EQ(clock.NowMs(), 10000u);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(clock.PollFd(fds[0], POLLIN, 10000, &rev), 1);
    EXPECT_TRUE(rev & POLLIN);
    EXPECT_EQ(clock.NowMs(), 10000u);
    close(fds[0]);
    close(fds[1]);
}

TEST(RealClock, LocalTimeIsPlausible) {
    auto clock = platform::MakeRealClock();
    platform::LocalTime t = clock->LocalNow();
    EXPECT_GE(t.year, 2024);
    EXPECT_GE(t.millisecond, 0);
    EXPECT_LT(t.millisecond, 1000);
    uint64_t a = clock->NowMs();
    clock->SleepMs(20);
    EXPECT_GE(clock->NowMs() - a, 20u);
}
