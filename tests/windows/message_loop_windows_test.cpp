// The dialog's message loop on Windows: the waiter on event handles through the installed clock
// (a virtual one passes long waits at once), and the device watch of the override's paths.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/message_loop.h"
#include "platform/clock.h"
#include "platform/waiter.h"
#include "platform/windows/device_watch_windows.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(WindowsWaiter, EventWakesTheWaitAndTimeOutsPassOnTheVirtualClock) {
    platform::VirtualClock clock{platform::VirtualClock::DefaultStart(), 20};
    platform::ScopedClock installed(clock);
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    platform::Waiter waiter;
    ASSERT_TRUE(waiter.Add(reinterpret_cast<platform::EventHandle>(event)));
    EXPECT_FALSE(waiter.Add(platform::kNoEventHandle));

    // Nothing comes: an hour of virtual time passes in a slice of real time (the limit only
    // tells a jump from a real wait, with room for a busy machine).
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waiter.Wait(3600 * 1000), 0);
    EXPECT_GE(clock.NowMs(), 3600u * 1000u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

    // An event set by another thread ends a wait without a limit.
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::SetEvent(event);
    });
    EXPECT_GT(waiter.Wait(-1), 0);
    setter.join();
    ::CloseHandle(event);
}

TEST(WindowsWaiter, LoopRunsTimersBetweenEvents) {
    platform::VirtualClock clock{platform::VirtualClock::DefaultStart(), 20};
    platform::ScopedClock installed(clock);
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    app::MessageLoop loop;
    int events = 0;
    std::vector<unsigned> ticks;
    loop.AddSource(reinterpret_cast<platform::EventHandle>(event), [&] { ++events; });
    loop.SetTimer(1002, 200);
    loop.SetTimer(1003, 1000);
    ::SetEvent(event);
    loop.Run([&] { return ticks.size() >= 6; }, [&](unsigned id) { ticks.push_back(id); }, nullptr);
    EXPECT_EQ(events, 1);
    // Five download ticks, then the reconnect tick at one second.
    EXPECT_EQ(ticks, (std::vector<unsigned>{1002, 1002, 1002, 1002, 1002, 1003}));
    EXPECT_EQ(clock.NowMs(), 1000u);
    ::CloseHandle(event);
}

TEST(WindowsDeviceWatch, OverridePathComingAndGoingIsAChange) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "\\port0";
    auto watch = platform::StartWindowsDeviceWatch({path}, false);
    platform::Waiter waiter;
    ASSERT_TRUE(waiter.Add(watch->WaitHandle()));
    EXPECT_EQ(watch->TakeChanges(), 0);

    for (bool create : {true, false}) {
        SCOPED_TRACE(create ? "appears" : "goes");
        if (create) {
            std::FILE* f = std::fopen(path.c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fclose(f);
        } else {
            ASSERT_EQ(std::remove(path.c_str()), 0);
        }
        ASSERT_GT(waiter.Wait(3000), 0);
        EXPECT_EQ(watch->TakeChanges(), 1);
        EXPECT_EQ(waiter.Wait(400), 0);  // nothing more until the next change
    }
    // A change the window was told of is taken with the others.
    watch->Notice();
    ASSERT_GT(waiter.Wait(1000), 0);
    EXPECT_EQ(watch->TakeChanges(), 1);
}

}  // namespace
