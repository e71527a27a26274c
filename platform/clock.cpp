#include "platform/clock.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

Clock& GetClock() {
    Clock* c = g_clock.load();
    return c ? *c : SystemClock();
}

void SetClock(Clock* clock) { g_clock.store(clock); }

}  // namespace platform
