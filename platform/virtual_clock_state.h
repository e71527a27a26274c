// The inner state of VirtualClock, shared by the portable part (virtual_clock.cpp) and the
// OS file that implements its PollFd.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace platform {

struct VirtualClock::State {
    std::mutex m;
    std::condition_variable cv;
    uint64_t now = 0;
    uint64_t slept = 0;
    int64_t epochAtZero = 0;  // local time (as ms since 1970) at virtual instant 0
    uint32_t pollSliceMs = 200;
    uint32_t longPollThresholdMs = UINT32_MAX;
    uint32_t longPollSliceMs = 200;
};

}  // namespace platform
