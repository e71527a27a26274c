// The dialog's message loop for hosts without a toolkit loop of their own (the terminal, tests):
// timers on the installed clock, handles that bring events (device changes, input, signals),
// and the order in which the dialog sees them: events first, then a due timer, one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/waiter.h"

namespace app {

class MessageLoop {
public:
    // onReady runs when the handle has input; it must take what is there without blocking.
    void AddSource(platform::EventHandle handle, std::function<void()> onReady);

    // Starts or restarts timer id; it is due every intervalMs from now. Returns id.
    unsigned SetTimer(unsigned id, unsigned intervalMs);
    void KillTimer(unsigned id);
    bool TimerRunning(unsigned id) const { return timers_.count(id) != 0; }

    // Runs until done() holds. Events come first; a timer that is due gets its tick after the
    // events of the same round, so events that never stop cannot starve it. A timer that fell
    // behind (its handler or another one took longer than its interval) is due once, not once per
    // missed interval. afterEach runs after every event or tick the loop handed out.
    void Run(const std::function<bool()>& done, const std::function<void(unsigned)>& onTimer,
             const std::function<void()>& afterEach);

private:
    struct Timer {
        unsigned intervalMs;
        uint64_t dueMs;
    };
    struct Source {
        platform::EventHandle handle;
        std::function<void()> onReady;
    };

    platform::Waiter waiter_;
    std::vector<Source> sources_;
    std::map<unsigned, Timer> timers_;
};

}  // namespace app
