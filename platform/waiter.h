// Waits for several event handles at once (file descriptors on Linux, HANDLEs on Windows) or a
// time-out, on the installed clock, so that a virtual clock moves through the waits of a message
// loop.
#pragma once

#include <vector>

#include "platform/clock.h"

namespace platform {

class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Watches a handle for input; false when it cannot be watched.
    bool Add(EventHandle handle);
    void Remove(EventHandle handle);
    // >0 when a handle has input, 0 when timeoutMs passed (negative: no limit), <0 on error.
    int Wait(int timeoutMs);

private:
    int fd_ = -1;                       // Linux: the epoll descriptor that holds the handles
    std::vector<EventHandle> handles_;  // Windows: the handles, waited for together
};

}  // namespace platform
