// On Windows a thread's execution state keeps the system awake while the update runs. Shutdown
// and sign-out are held off by a hidden top-level window on a thread of its own: it answers
// "not now" when the system asks whether the session may end, and gives the system the reason
// to show the user (who may still end the session anyway). Both are given back when the
// object goes.
//
// The block waits up to 5 s (on the installed clock) for the window. The thread reports to a
// state the two share, never to the block's members: when the window comes too late the
// block goes on without it, and the thread, finding itself abandoned, takes its window down
// and ends on its own, so that nothing waits for it.
#include "platform/sleep_inhibit.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/windows/sleep_inhibit_windows.h"
#include "platform/windows/utf16.h"

namespace platform {
namespace {

constexpr wchar_t kWindowClass[] = L"QuillonShutdownBlock";
constexpr int kWindowWaitMs = 5000;

std::mutex g_hooksMutex;
SleepBlockHooks g_hooks;

LRESULT CALLBACK BlockProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The session may not end while the device is being updated.
    if (message == WM_QUERYENDSESSION) return FALSE;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// What the window's thread and the block share; the last of the two to let go frees it.
struct WindowState {
    WindowState() : ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~WindowState() {
        if (ready) ::CloseHandle(ready);
    }
    WindowState(const WindowState&) = delete;
    WindowState& operator=(const WindowState&) = delete;

    HANDLE ready;        // set once the outcome below is known
    SleepBlockHooks hooks;
    std::mutex mutex;    // guards the fields below
    bool done = false;   // the thread has made its window (or failed to)
    bool abandoned = false;  // the block went on without the window
    DWORD threadId = 0;
    HWND window = nullptr;
    bool reasonShown = false;
    std::string error;
};

void RunWindow(std::shared_ptr<WindowState> state, std::wstring reason) {
    if (state->hooks.beforeWindow) state->hooks.beforeWindow();
    WNDCLASSW wc{};
    wc.lpfnWndProc = BlockProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    ::RegisterClassW(&wc);  // fails harmlessly when registered before
    // Top-level (not message-only): the system asks top-level windows whether it may end.
    HWND window = ::CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                    wc.hInstance, nullptr);
    const DWORD error = window ? 0 : ::GetLastError();
    const bool reasonShown = window && ::ShutdownBlockReasonCreate(window, reason.c_str()) != 0;
    // The message queue exists now, so the quit posted at the end cannot be lost.
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    bool abandoned;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        abandoned = state->abandoned;
        state->done = true;
        state->threadId = ::GetCurrentThreadId();
        state->window = abandoned ? nullptr : window;
        state->reasonShown = reasonShown;
        if (!window) state->error = "the hidden window failed (error " + std::to_string(error) + ")";
    }
    ::SetEvent(state->ready);
    if (window && !abandoned) {
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    if (window) {
        if (reasonShown) ::ShutdownBlockReasonDestroy(window);
        ::DestroyWindow(window);
    }
    if (state->hooks.threadEnds) state->hooks.threadEnds();
}

class ExecutionStateBlock : public SleepInhibit {
public:
    explicit ExecutionStateBlock(const std::string& why)
        : sleepHeld_(::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0) {
        auto state = std::make_shared<WindowState>();
        if (!state->ready) {
            windowError_ = "no event to wait for the hidden window (error " + std::to_string(::GetLastError()) + ")";
            return;
        }
        {
            std::lock_guard<std::mutex> lock(g_hooksMutex);
            state->hooks = g_hooks;
        }
        thread_ = std::thread(RunWindow, state, Widen(why));
        const EventHandle ready = reinterpret_cast<EventHandle>(state->ready);
        GetClock().WaitForEvents(&ready, 1, kWindowWaitMs);
        // Decided under the lock: either the thread was done and its window is ours, or it
        // finds itself abandoned when it gets there.
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->done) {
            threadId_ = state->threadId;
            window_ = state->window;
            reasonShown_ = state->reasonShown;
            windowError_ = state->error;
        } else {
            state->abandoned = true;
            windowError_ = "the hidden window was not ready within " + std::to_string(kWindowWaitMs / 1000) + " s";
            thread_.detach();
        }
    }
    ~ExecutionStateBlock() override {
        if (thread_.joinable()) {
            // The thread ends at once without a window, or at this quit with one.
            if (window_) ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
            thread_.join();
        }
        if (sleepHeld_) ::SetThreadExecutionState(ES_CONTINUOUS);
    }
    ExecutionStateBlock(const ExecutionStateBlock&) = delete;
    ExecutionStateBlock& operator=(const ExecutionStateBlock&) = delete;

    bool Held() const override { return sleepHeld_ || window_ != nullptr; }
    std::string Note() const override {
        std::string note = sleepHeld_ ? "sleep blocked for this thread (SetThreadExecutionState)"
                                      : "sleep not blocked: SetThreadExecutionState failed";
        note += window_ ? std::string(", shutdown held off by a hidden window") +
                              (reasonShown_ ? " with its reason" : " (the system took no reason text)")
                        : ", shutdown not held off: " + windowError_;
        return note;
    }

private:
    bool sleepHeld_;
    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    bool reasonShown_ = false;
    std::string windowError_;
};

}  // namespace

void SetSleepBlockHooksForTest(SleepBlockHooks hooks) {
    std::lock_guard<std::mutex> lock(g_hooksMutex);
    g_hooks = std::move(hooks);
}

std::unique_ptr<SleepInhibit> InhibitSleepAndShutdown(const std::string&, const std::string& why) {
    return std::make_unique<ExecutionStateBlock>(why);
}

}  // namespace platform
