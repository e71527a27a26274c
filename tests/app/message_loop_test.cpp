// The dialog's message loop on Linux: events before ticks, and ticks that still come when events
// never stop (a device that keeps coming and going).
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

#include "app/message_loop.h"
#include "platform/clock.h"

namespace {

TEST(MessageLoop, TicksComeBetweenEventsThatNeverStop) {
    platform::VirtualClock clock{platform::VirtualClock::DefaultStart(), 20};
    platform::ScopedClock installed(clock);
    // Always readable: every wait finds an event, and each takes 150 ms to handle.
    const int storm = eventfd(1, EFD_CLOEXEC);
    ASSERT_GE(storm, 0);
    app::MessageLoop loop;
    int events = 0;
    std::vector<unsigned> ticks;
    loop.AddSource(storm, [&] {
        ++events;
        clock.Advance(150);
    });
    loop.SetTimer(1002, 200);
    loop.Run([&] { return ticks.size() >= 5 || events > 1000; }, [&](unsigned id) { ticks.push_back(id); }, nullptr);
    close(storm);
    ASSERT_EQ(ticks.size(), 5u) << "the ticks were held back by " << events << " events";
    // Each round hands out the event first, then the tick that came due meanwhile.
    EXPECT_LE(events, 10);
}

}  // namespace
