// A whole update in the native window under Wine: the emulated device of the native
// quillon-devsim on a COM port that the registry names (emulated_port.sh), the program's dialog
// on its own thread, the window on this one. The message boxes come in order and end with the
// success; the window answers the system throughout; the system's device changes
// (WM_DEVICECHANGE, broadcast by device_change_notifier) reach the dialog.
#include "frontend/win32/win32_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "devlib/velmora.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"
#include "ui/text_progress_ctrl.h"

namespace {

using frontend::win32::MainDialog;
using frontend::win32::Win32DialogHost;
using frontend::win32::Win32Options;

// Counts the device changes that reached the dialog.
class CountingHost : public Win32DialogHost {
public:
    using Win32DialogHost::Win32DialogHost;
    std::atomic<int> deviceChanges{0};

protected:
    void OnDeviceChangeDelivered() override { ++deviceChanges; }
};

TEST(Win32Update, WholeUpdateInTheWindowEndsWithTheSuccess) {
    testsupport::TempDir data;
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", data.path()));
    platform::UnsetEnv("VELMORA_COM_PORTS");  // the registry names the port

    Win32Options options;
    CountingHost* hostPointer = nullptr;
    MainDialog window([&] { if (hostPointer) hostPointer->RequestStop(); },
                      [&] { if (hostPointer) hostPointer->DeviceChanged(); });
    ASSERT_NE(window.Window(), nullptr);

    // The window must answer the system within a second at every moment of the update (Windows
    // calls a window hung after five).
    std::atomic<bool> finished{false};
    std::atomic<long long> slowestMs{0};
    std::atomic<bool> started{false};  // from the warning on: the window is up and painted
    options.answer = [&](const std::string&, const std::string&, app::MbButtons buttons, app::MbIcon) {
        started = true;
        return buttons == app::MbButtons::YesNo ? app::IDYES : app::IDOK;
    };
    std::thread watcher([&] {
        while (!finished) {
            if (!started) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            const auto start = std::chrono::steady_clock::now();
            DWORD_PTR result = 0;
            if (::IsWindow(window.Window()))
                ::SendMessageTimeoutW(window.Window(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
            const long long ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            // Once the dialog has ended the window is on its way out (Wine takes its time there).
            if (window.Ended()) continue;
            if (ms > slowestMs) slowestMs = ms;
            if (ms > 300) {
                SYSTEMTIME t;
                ::GetLocalTime(&t);
                std::printf("%02d:%02d:%02d.%03d the window took %lld ms to answer\n", t.wHour, t.wMinute, t.wSecond,
                            t.wMilliseconds, ms);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    CountingHost host(window, platform::StartWindowsDeviceWatch({}, false), options);
    hostPointer = &host;
    const auto start = std::chrono::steady_clock::now();
    const int status = frontend::win32::RunDialogInWindow(window, host, "C:\\Quillon\\quillon-0350_Norvik.exe");
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    finished = true;
    watcher.join();

    const auto messages = host.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.front().caption, "Firmware update");
    EXPECT_EQ(messages.front().buttons, app::MbButtons::OkCancel);
    EXPECT_EQ(messages.front().icon, app::MbIcon::Warning);
    EXPECT_EQ(messages.back().text, "Firmware successful updated.");
    EXPECT_EQ(messages.back().icon, app::MbIcon::Information);
    for (const auto& m : messages) std::printf("box: %s | %s\n", m.caption.c_str(), m.text.c_str());
    EXPECT_EQ(messages.size(), 2u);  // the warning and the success: nothing failed on the way
    EXPECT_EQ(status, app::kExitSuccess);
    // Windows calls a window hung (and offers to end the program) when it has not answered for
    // 5 seconds; a window that waited for the device would stay silent for a whole download.
    EXPECT_LT(slowestMs.load(), 5000) << "the window did not answer for " << slowestMs << " ms";
    // The device's restarts reached the dialog as the system's device changes, so the reconnect
    // did not wait for its own checks (from the 16th second on).
    EXPECT_GT(host.deviceChanges.load(), 0);
    std::printf("update took %lld s, slowest answer of the window %lld ms, %d device changes\n",
                static_cast<long long>(seconds), slowestMs.load(), host.deviceChanges.load());
}

}  // namespace

namespace {

// Closing the window while the firmware is written: the update says why it goes on, finishes
// the step, and stops at the next safe point, closing the device.
TEST(Win32Update, ClosingTheWindowDuringTheDownloadStopsAtTheNextSafePoint) {
    testsupport::TempDir data;
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", data.path()));
    platform::UnsetEnv("VELMORA_COM_PORTS");

    Win32Options options;
    options.answer = [](const std::string&, const std::string&, app::MbButtons buttons, app::MbIcon) {
        return buttons == app::MbButtons::YesNo ? app::IDYES : app::IDOK;
    };
    Win32DialogHost* hostPointer = nullptr;
    MainDialog window([&] { if (hostPointer) hostPointer->RequestStop(); },
                      [&] { if (hostPointer) hostPointer->DeviceChanged(); });
    ASSERT_NE(window.Window(), nullptr);
    Win32DialogHost host(window, platform::StartWindowsDeviceWatch({}, false), options);
    hostPointer = &host;

    // The user closes the window once the lower bar shows the first block.
    std::atomic<bool> finished{false};
    std::atomic<bool> closed{false};
    std::thread user([&] {
        HWND lower = ::GetDlgItem(window.Window(), app::IDC_PROGRESS_LOWER);
        while (!finished && !closed) {
            DWORD_PTR position = 0;
            ::SendMessageTimeoutW(lower, ui::PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position);
            if (position >= 12 && position < 100) {
                ::PostMessageW(window.Window(), WM_CLOSE, 0, 0);
                closed = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const int status = frontend::win32::RunDialogInWindow(window, host, "C:\\Quillon\\quillon-0350_Norvik.exe");
    finished = true;
    user.join();

    ASSERT_TRUE(closed.load());
    EXPECT_EQ(status, app::kExitCancelled);
    const auto notes = host.Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], app::kStopHeldOff);  // held off while the device is written
    EXPECT_EQ(notes[1], app::kStopped);      // after the commit
    // Only the warning was asked: no failure on the way, the stop came at a safe point.
    EXPECT_EQ(host.Messages().size(), 1u);
}

}  // namespace
