// Test seams of the Windows sleep and shutdown block (sleep_inhibit_windows.cpp).
#pragma once

#include <functional>

namespace platform {

// Called on the hidden window's thread: beforeWindow before the window is made (a test holds it
// up there), threadEnds as the thread's last act. A block taken later uses the hooks set now.
struct SleepBlockHooks {
    std::function<void()> beforeWindow;
    std::function<void()> threadEnds;
};
void SetSleepBlockHooksForTest(SleepBlockHooks hooks);

}  // namespace platform
