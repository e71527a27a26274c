// The block of sleep and of the session's end on Windows, taken while an update runs. On the
// virtual display: Wine makes windows only where it has one.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/sleep_inhibit.h"

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

}  // namespace
