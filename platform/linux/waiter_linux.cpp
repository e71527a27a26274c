#include "platform/waiter.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {

// One epoll descriptor holds every handle, so the clock's single-descriptor poll waits for all.
Waiter::Waiter() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}

Waiter::~Waiter() {
    if (fd_ >= 0) close(fd_);
}

bool Waiter::Add(EventHandle handle) {
    if (fd_ < 0 || handle < 0) return false;
    const int fd = static_cast<int>(handle);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void Waiter::Remove(EventHandle handle) {
    if (fd_ >= 0 && handle >= 0) epoll_ctl(fd_, EPOLL_CTL_DEL, static_cast<int>(handle), nullptr);
}

int Waiter::Wait(int timeoutMs) {
    if (fd_ < 0) {
        GetClock().SleepMs(timeoutMs < 0 ? 1000u : static_cast<uint32_t>(timeoutMs));
        return 0;
    }
    short revents = 0;
    return GetClock().PollFd(fd_, POLLIN, timeoutMs, &revents);
}

}  // namespace platform
