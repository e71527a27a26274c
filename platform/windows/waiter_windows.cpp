// The message loop's wait on Windows: WaitForMultipleObjects on the watched handles (events,
// the console's input), through the installed clock so that a virtual clock's time moves on.
#include "platform/waiter.h"

#include <windows.h>

#include <algorithm>

namespace platform {

Waiter::Waiter() = default;

Waiter::~Waiter() = default;

bool Waiter::Add(EventHandle handle) {
    if (handle == kNoEventHandle || handle == 0 || handles_.size() >= MAXIMUM_WAIT_OBJECTS) return false;
    if (std::find(handles_.begin(), handles_.end(), handle) == handles_.end()) handles_.push_back(handle);
    return true;
}

void Waiter::Remove(EventHandle handle) { std::erase(handles_, handle); }

int Waiter::Wait(int timeoutMs) {
    if (handles_.empty()) {
        GetClock().SleepMs(timeoutMs < 0 ? 1000u : static_cast<uint32_t>(timeoutMs));
        return 0;
    }
    return GetClock().WaitForEvents(handles_.data(), static_cast<int>(handles_.size()), timeoutMs);
}

}  // namespace platform
