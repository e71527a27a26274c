// Waits for several event handles at once (file descriptors on Linux) or a time-out, on the
// installed clock, so that a virtual clock moves through the waits of a message loop.
#pragma once

namespace platform {

class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Watches a handle for input; false when it cannot be watched.
    bool Add(int handle);
    void Remove(int handle);
    // >0 when a handle has input, 0 when timeoutMs passed (negative: no limit), <0 on error.
    int Wait(int timeoutMs);

private:
    int fd_ = -1;
};

}  // namespace platform
