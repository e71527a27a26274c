// The block of sleep and of the session's end on Windows, taken while an update runs. On the
// virtual display: Wine makes windows only where it has one.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "platform/clock.h"
#include "platform/sleep_inhibit.h"
#include "platform/windows/sleep_inhibit_windows.h"

namespace {

// The hidden window of this process that holds off the end of the session, if there is one.
HWND ShutdownBlockWindow() {
    struct Search {
        HWND found = nullptr;
    } search;
    ::EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            wchar_t name[64] = {};
            ::GetClassNameW(window, name, 64);
            if (process != ::GetCurrentProcessId() || std::wstring(name) != L"QuillonShutdownBlock") return TRUE;
            reinterpret_cast<Search*>(param)->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

TEST(WindowsSleepInhibit, EndOfTheSessionIsHeldOffWhileTheBlockLasts) {
    EXPECT_EQ(ShutdownBlockWindow(), nullptr);
    auto block = platform::InhibitSleepAndShutdown("Quillon", "Firmware update of the Norvik 1150 in progress");
    EXPECT_TRUE(block->Held());
    EXPECT_NE(block->Note().find("shutdown held off"), std::string::npos) << block->Note();
    HWND window = ShutdownBlockWindow();
    ASSERT_NE(window, nullptr);
    // Asked whether the session may end (sign-out or shutdown), the window says no.
    EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, 0), FALSE);
    block.reset();
    EXPECT_EQ(ShutdownBlockWindow(), nullptr);
    EXPECT_FALSE(::IsWindow(window));
}

TEST(WindowsSleepInhibit, WindowTooLateLeavesTheBlockWithoutItAndNothingWaitsForIt) {
    // The window's thread is held up past the 5 s the block waits (on a virtual clock): the
    // update goes on without the window, its log note says so, the end of the block does not
    // wait for the thread, and the thread, let go later, takes its window down by itself.
    platform::VirtualClock clock;
    platform::SetClock(&clock);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(release && ended);
    platform::SetSleepBlockHooksForTest({[release] { ::WaitForSingleObject(release, INFINITE); },
                                         [ended] { ::SetEvent(ended); }});
    auto block = platform::InhibitSleepAndShutdown("Quillon", "Firmware update of the Norvik 1150 in progress");
    platform::SetSleepBlockHooksForTest({});
    EXPECT_NE(block->Note().find(", shutdown not held off: the hidden window was not ready within 5 s"),
              std::string::npos)
        << block->Note();
    auto gone = std::async(std::launch::async, [&block] { block.reset(); });
    const bool endedAlone = gone.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    ::SetEvent(release);
    // Should the end of the block wait for the thread after all, the thread gets its quit
    // here, so that the test fails rather than hangs.
    for (int i = 0; i < 300 && gone.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready; ++i)
        if (HWND late = ShutdownBlockWindow())
            ::PostThreadMessageW(::GetWindowThreadProcessId(late, nullptr), WM_QUIT, 0, 0);
    gone.wait();
    EXPECT_TRUE(endedAlone) << "the end of the block waited for the window's thread";
    ASSERT_EQ(::WaitForSingleObject(ended, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(ShutdownBlockWindow(), nullptr);
    platform::SetClock(nullptr);
    ::CloseHandle(release);
    ::CloseHandle(ended);
}

}  // namespace
