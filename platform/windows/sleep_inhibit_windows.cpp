// On Windows a thread's execution state keeps the system awake while the update runs. Shutdown
// and sign-out are held off by a hidden top-level window on a thread of its own: it answers
// "not now" when the system asks whether the session may end, and gives the system the reason
// to show the user (who may still end the session anyway). Both are given back when the
// object goes.
#include "platform/sleep_inhibit.h"

#include <windows.h>

#include <string>
#include <thread>

#include "platform/windows/utf16.h"

namespace platform {
namespace {

constexpr wchar_t kWindowClass[] = L"QuillonShutdownBlock";

LRESULT CALLBACK BlockProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The session may not end while the device is being updated.
    if (message == WM_QUERYENDSESSION) return FALSE;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

class ExecutionStateBlock : public SleepInhibit {
public:
    explicit ExecutionStateBlock(const std::string& why)
        : sleepHeld_(::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0) {
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!ready) return;
        thread_ = std::thread([this, ready, reason = Widen(why)] { Run(reason, ready); });
        // The window exists (or failed) before the block is handed out.
        ::WaitForSingleObject(ready, 5000);
        ::CloseHandle(ready);
    }
    ~ExecutionStateBlock() override {
        if (thread_.joinable()) {
            ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
            thread_.join();
        }
        if (sleepHeld_) ::SetThreadExecutionState(ES_CONTINUOUS);
    }
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
    void Run(const std::wstring& reason, HANDLE ready) {
        threadId_ = ::GetCurrentThreadId();
        WNDCLASSW wc{};
        wc.lpfnWndProc = BlockProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = kWindowClass;
        ::RegisterClassW(&wc);  // fails harmlessly when registered before
        // Top-level (not message-only): the system asks top-level windows whether it may end.
        HWND window = ::CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                        wc.hInstance, nullptr);
        if (!window) {
            windowError_ = "the hidden window failed (error " + std::to_string(::GetLastError()) + ")";
        } else {
            reasonShown_ = ::ShutdownBlockReasonCreate(window, reason.c_str()) != 0;
            window_ = window;
        }
        // The message queue exists now, so the quit posted at the end cannot be lost.
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        ::SetEvent(ready);
        if (!window) return;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (reasonShown_) ::ShutdownBlockReasonDestroy(window);
        ::DestroyWindow(window);
    }

    bool sleepHeld_;
    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    bool reasonShown_ = false;
    std::string windowError_;
};

}  // namespace

std::unique_ptr<SleepInhibit> InhibitSleepAndShutdown(const std::string&, const std::string& why) {
    return std::make_unique<ExecutionStateBlock>(why);
}

}  // namespace platform
