// A whole update in the native window under Wine: the emulated device of the native
// quillon-devsim on a COM port that the registry names (emulated_port.sh), the program's dialog
// on its own thread, the window on this one. The message boxes come in order and end with the
// success; the window answers the system throughout; the system's device changes
// (WM_DEVICECHANGE, broadcast by device_change_notifier) reach the dialog.
// Before the system's headers, whose DBT_DEVNODES_CHANGED is a macro.
#include "app/update_sequence.h"
#include "frontend/win32/win32_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <functional>
#include <thread>
#include <vector>

#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "devlib/velmora.h"
#include "frontend/win32/resource.h"
#include "platform/system_info.h"
#include "platform/windows/utf16.h"
#include "tests/support/temp_dir.h"
#include "ui/text_progress_ctrl.h"

namespace {

using frontend::win32::MainDialog;
using frontend::win32::Win32DialogHost;
using frontend::win32::Win32Options;

// Counts the device changes that reached the dialog, and keeps each status text the dialog set
// with what the window's status line showed right after.
class CountingHost : public Win32DialogHost {
public:
    using Win32DialogHost::Win32DialogHost;
    std::atomic<int> deviceChanges{0};
    HWND dialogWindow = nullptr;
    std::vector<std::pair<std::string, std::string>> statusShown;  // (set, shown)

    void SetStatusText(const std::string& text) override {
        Win32DialogHost::SetStatusText(text);
        wchar_t shown[512] = {};
        ::GetDlgItemTextW(dialogWindow, IDC_STATUS, shown, 512);
        statusShown.emplace_back(text, platform::Narrow(shown));
    }

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
    host.dialogWindow = window.Window();
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
    EXPECT_EQ(messages.back().text.rfind(app::kSuccess, 0), 0u) << messages.back().text;
    EXPECT_EQ(messages.back().icon, app::MbIcon::Information);
    for (const auto& m : messages) std::printf("box: %s | %s\n", m.caption.c_str(), m.text.c_str());
    // The warning and the success (and the question whether to install the same firmware again,
    // when an earlier run of the fixture's device updated it): nothing failed on the way.
    size_t others = 0;
    for (const auto& m : messages) others += m.buttons == app::MbButtons::Ok ? 1 : 0;
    EXPECT_EQ(others, 1u);
    EXPECT_EQ(status, app::kExitSuccess);
    // Windows calls a window hung (and offers to end the program) when it has not answered for
    // 5 seconds; a window that waited for the device would stay silent for a whole download.
    EXPECT_LT(slowestMs.load(), 5000) << "the window did not answer for " << slowestMs << " ms";
    // The device's restarts reached the dialog as the system's device changes, so the reconnect
    // did not wait for its own checks (from the 16th second on).
    EXPECT_GT(host.deviceChanges.load(), 0);
    // The status line beneath the bars showed each status as it was set: the opening, the
    // warning while the device is changed with the countdown of each wait, the end.
    bool opening = false, writing = false, countdown = false;
    for (const auto& [set, shown] : host.statusShown) {
        EXPECT_EQ(shown, set);
        opening = opening || set.rfind("Opening the Norvik 1150", 0) == 0;
        const bool warning = set.rfind("Do not disconnect or switch off the Norvik 1150. ", 0) == 0;
        writing = writing || (warning && set.find("Writing the controller firmware: block 1 of ") != std::string::npos);
        countdown = countdown || (warning && set.find("Waiting for it to restart") != std::string::npos &&
                                  set.find(" s, at most ") != std::string::npos);
    }
    EXPECT_TRUE(opening && writing && countdown) << host.statusShown.size() << " status texts";
    ASSERT_FALSE(host.statusShown.empty());
    EXPECT_EQ(host.statusShown.back().first, "The update is complete.");
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
    EXPECT_EQ(notes[0], app::kStopHeldOff);           // held off while the device is written
    EXPECT_EQ(notes[1].rfind(app::kStopped, 0), 0u);  // after the commit
    // Only questions were asked (the warning; the same firmware again, when an earlier case left
    // the device updated): no failure on the way, the stop came at a safe point.
    for (const auto& m : host.Messages()) EXPECT_NE(m.buttons, app::MbButtons::Ok) << m.text;
}

}  // namespace

namespace {

// A message box of this process on the screen (the main dialog aside) and its text.
struct ShownBox {
    HWND window;
    std::string text;
};

std::string TextOf(HWND window) {
    wchar_t text[1024] = {};
    const int n = ::GetWindowTextW(window, text, 1024);
    return platform::Narrow(std::wstring_view(text, n > 0 ? static_cast<size_t>(n) : 0));
}

std::vector<ShownBox> ShownBoxes(HWND mainDialog) {
    struct Search {
        HWND mainDialog;
        std::vector<ShownBox> boxes;
    } search{mainDialog, {}};
    ::EnumWindows(
        [](HWND window, LPARAM p) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(p);
            DWORD pid = 0;
            ::GetWindowThreadProcessId(window, &pid);
            wchar_t cls[16] = {};
            if (pid != ::GetCurrentProcessId() || window == s.mainDialog || !::IsWindowVisible(window) ||
                !::GetClassNameW(window, cls, 16) || std::wstring_view(cls) != L"#32770")
                return TRUE;
            // The box's text is its longest static control.
            std::string text;
            for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
                wchar_t childClass[16] = {};
                if (::GetClassNameW(child, childClass, 16) && std::wstring_view(childClass) == L"Static") {
                    std::string t = TextOf(child);
                    if (t.size() > text.size()) text = t;
                }
            }
            s.boxes.push_back({window, text});
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.boxes;
}

void Press(HWND box, int button) { ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0); }
void PressOk(HWND box) { Press(box, app::IDOK); }

// Answers Yes when the device already runs this firmware (an earlier case updated it).
void AnswerInstallAgain(const ShownBox& box) {
    const std::string_view question = app::kInstallAgain.substr(0, app::kInstallAgain.find('%'));
    if (box.text.rfind(question, 0) == 0) Press(box.window, app::IDYES);
}

// Runs the dialog in a window as the program does, with user at work on a thread of its own
// until the dialog has ended; returns the exit status.
int RunWithUser(Win32Options options, const std::function<void(MainDialog&, std::atomic<bool>& finished)>& user) {
    Win32DialogHost* hostPointer = nullptr;
    MainDialog window([&] { if (hostPointer) hostPointer->RequestStop(); },
                      [&] { if (hostPointer) hostPointer->DeviceChanged(); });
    EXPECT_NE(window.Window(), nullptr);
    Win32DialogHost host(window, platform::StartWindowsDeviceWatch({}, false), std::move(options));
    hostPointer = &host;
    std::atomic<bool> finished{false};
    std::thread userThread([&] { user(window, finished); });
    const int status = frontend::win32::RunDialogInWindow(window, host, "C:\\Quillon\\quillon-0350_Norvik.exe");
    finished = true;
    userThread.join();
    return status;
}

// The lower bar's position (0 when the window does not answer within a second).
int LowerBarPosition(MainDialog& window) {
    DWORD_PTR position = 0;
    ::SendMessageTimeoutW(::GetDlgItem(window.Window(), app::IDC_PROGRESS_LOWER), ui::PBM_GETPOS, 0, 0,
                          SMTO_ABORTIFHUNG, 1000, &position);
    return static_cast<int>(position);
}

// Enter in the window while the device is written (a second press meant for the warning box,
// say) is no stop request: the update goes on to its end. Esc and closing stay stop requests.
TEST(Win32Update, EnterInTheWindowIsNoStopRequest) {
    testsupport::TempDir data;
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", data.path()));
    platform::UnsetEnv("VELMORA_COM_PORTS");
    Win32Options options;
    options.answer = [](const std::string&, const std::string&, app::MbButtons buttons, app::MbIcon) {
        return buttons == app::MbButtons::YesNo ? app::IDYES : app::IDOK;
    };
    std::vector<app::ShownLog::Box> messages;
    std::atomic<int> pressed{0};
    const int status = RunWithUser(options, [&](MainDialog& window, std::atomic<bool>& finished) {
        // Enter through the dialog's message loop, which makes it the dialog's IDOK, and that
        // IDOK itself, at every step of the download.
        while (!finished) {
            const int position = LowerBarPosition(window);
            if (position > 0 && position < 100 && !window.Ended()) {
                ::PostMessageW(window.Window(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
                ::PostMessageW(window.Window(), WM_KEYUP, VK_RETURN, 0xC01C0001);
                ::PostMessageW(window.Window(), WM_COMMAND, MAKEWPARAM(app::IDOK, BN_CLICKED), 0);
                ++pressed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_GT(pressed.load(), 0);
    EXPECT_EQ(status, app::kExitSuccess);
}

// A stop during the download, with the notes on the screen: the note that says the stop is held
// off is replaced by the stop's own note; that one stays, the run's last word, and the program
// waits for it.
TEST(Win32Update, TheStopsNoteReplacesTheHeldOffNoteAndStaysToTheEnd) {
    testsupport::TempDir data;
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", data.path()));
    platform::UnsetEnv("VELMORA_COM_PORTS");
    // No answers given: every box is on the screen, and the user answers them here.
    std::atomic<bool> sawHeldOff{false};
    std::vector<std::string> atTheEnd;
    std::atomic<bool> endedBeforeOk{true};
    const int status = RunWithUser(Win32Options{}, [&](MainDialog& window, std::atomic<bool>& finished) {
        bool warned = false, closed = false, stopNoteSeen = false;
        while (!finished) {
            const auto boxes = ShownBoxes(window.Window());
            for (const ShownBox& box : boxes) {
                AnswerInstallAgain(box);
                if (!warned && box.text.rfind("Attention", 0) == 0) {
                    PressOk(box.window);
                    warned = true;
                }
                if (box.text == app::kStopHeldOff) sawHeldOff = true;
                if (!stopNoteSeen && box.text.rfind(app::kStopped, 0) == 0) {
                    for (const ShownBox& b : boxes) atTheEnd.push_back(b.text);
                    endedBeforeOk = window.Ended();
                    stopNoteSeen = true;
                }
                // From the stop's note on, the user closes whatever is left.
                if (stopNoteSeen) PressOk(box.window);
            }
            const int position = LowerBarPosition(window);
            if (warned && !closed && position >= 12 && position < 100) {
                ::PostMessageW(window.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
                closed = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(status, app::kExitCancelled);
    EXPECT_TRUE(sawHeldOff.load());
    ASSERT_EQ(atTheEnd.size(), 1u);  // the held-off note has gone
    EXPECT_EQ(atTheEnd[0].rfind(app::kStopped, 0), 0u) << atTheEnd[0];
    EXPECT_FALSE(endedBeforeOk.load());  // the program waited for the last note
}

// A note of the run (here: no run log can be kept) does not outlive the dialog: the update ends
// with its success and the program does not wait for that note to be closed.
TEST(Win32Update, TheRunsNotesCloseWhenTheDialogEnds) {
    testsupport::TempDir data;
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", data.path()));
    platform::UnsetEnv("VELMORA_COM_PORTS");
    const std::string localAppData = platform::GetEnv("LOCALAPPDATA");
    platform::UnsetEnv("LOCALAPPDATA");  // no folder for the run log
    std::atomic<bool> sawRunNote{false};
    std::vector<std::string> leftOver;
    const int status = RunWithUser(Win32Options{}, [&](MainDialog& window, std::atomic<bool>& finished) {
        bool warned = false;
        std::chrono::steady_clock::time_point succeeded{};
        while (!finished) {
            for (const ShownBox& box : ShownBoxes(window.Window())) {
                AnswerInstallAgain(box);
                if (box.text.rfind("No run log is kept", 0) == 0) sawRunNote = true;
                if (!warned && box.text.rfind("Attention", 0) == 0) {
                    PressOk(box.window);
                    warned = true;
                }
                if (succeeded == std::chrono::steady_clock::time_point{} && box.text.rfind(app::kSuccess, 0) == 0) {
                    PressOk(box.window);
                    succeeded = std::chrono::steady_clock::now();
                }
                // A program that still waits long after the success was confirmed waits for a
                // note: the user closes it, and the test notes that it had to.
                if (succeeded != std::chrono::steady_clock::time_point{} &&
                    std::chrono::steady_clock::now() - succeeded > std::chrono::seconds(30) &&
                    box.text.rfind(app::kSuccess, 0) != 0) {
                    leftOver.push_back(box.text);
                    PressOk(box.window);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    if (!localAppData.empty()) platform::SetEnv("LOCALAPPDATA", localAppData);
    EXPECT_EQ(status, app::kExitSuccess);
    EXPECT_TRUE(sawRunNote.load());
    EXPECT_TRUE(leftOver.empty()) << leftOver.front();
}

}  // namespace
