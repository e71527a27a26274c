#include "app/message_loop.h"

#include <algorithm>
#include <limits>

#include "platform/clock.h"

namespace app {

void MessageLoop::AddSource(platform::EventHandle handle, std::function<void()> onReady) {
    if (handle == platform::kNoEventHandle || !waiter_.Add(handle)) return;
    sources_.push_back({handle, std::move(onReady)});
}

unsigned MessageLoop::SetTimer(unsigned id, unsigned intervalMs) {
    timers_[id] = {intervalMs, platform::GetClock().NowMs() + intervalMs};
    return id;
}

void MessageLoop::KillTimer(unsigned id) { timers_.erase(id); }

void MessageLoop::Run(const std::function<bool()>& done, const std::function<void(unsigned)>& onTimer,
                      const std::function<void()>& afterEach) {
    platform::Clock& clock = platform::GetClock();
    while (!done()) {
        uint64_t now = clock.NowMs();
        // The earliest due timer; ties go to the lower id.
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (next == timers_.end() || it->second.dueMs < next->second.dueMs) next = it;
        int timeout = -1;
        if (next != timers_.end())
            timeout = next->second.dueMs <= now
                          ? 0
                          : static_cast<int>(std::min<uint64_t>(next->second.dueMs - now, std::numeric_limits<int>::max()));

        if (waiter_.Wait(timeout) > 0) {
            // Events come before timers, as a timer tick is the lowest of all messages.
            for (size_t i = 0; i < sources_.size() && !done(); ++i) {
                sources_[i].onReady();
                if (afterEach) afterEach();
            }
            if (done()) break;
            // A timer that came due meanwhile still gets its tick before the next events: a stream
            // of events (a device that keeps coming and going) never holds the ticks back for good.
        }
        now = clock.NowMs();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (it->second.dueMs > now) continue;
            const unsigned id = it->first;
            Timer& t = it->second;
            // The next tick stays on the timer's grid; missed ticks fold into this one.
            while (t.dueMs <= now) t.dueMs += std::max(1u, t.intervalMs);
            onTimer(id);
            if (afterEach) afterEach();
            break;  // the handler may have changed the timers: look again
        }
    }
}

}  // namespace app
