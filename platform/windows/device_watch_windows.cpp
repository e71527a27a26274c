// Device changes on Windows. The system tells top-level windows with WM_DEVICECHANGE: a window of
// the host hands them in (Notice), or the watch makes a hidden one on a thread of its own. The
// ports of the port override are names of the device namespace, which sends nothing when they
// come and go, so the same thread looks at them every 250 ms. One manual-reset event is the
// watch's wait handle.
#include "platform/windows/device_watch_windows.h"

#include <windows.h>
#include <dbt.h>
#include <initguid.h>
#include <usbiodef.h>

#include <atomic>
#include <thread>

#include "platform/windows/device_names_windows.h"

namespace platform {
namespace {

// The COM port interface class (ntddser.h, whose other declarations need the driver kit).
DEFINE_GUID(kComPortInterface, 0x86E0D1E0L, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);

constexpr DWORD kPathPollMs = 250;
constexpr wchar_t kWindowClass[] = L"QuillonDeviceWatch";

class Watch : public WindowsDeviceWatch {
public:
    Watch(const std::vector<std::string>& paths, bool hiddenWindow) : paths_(paths) {
        changed_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (const std::string& path : paths_) present_.push_back(DevicePathPresent(path));
        if (!hiddenWindow && paths_.empty()) return;
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, hiddenWindow, ready] { Run(hiddenWindow, ready); });
        // The window exists (or failed) before the watch is handed out: no change is missed.
        ::WaitForSingleObject(ready, 5000);
        ::CloseHandle(ready);
    }

    ~Watch() override {
        ::SetEvent(stop_);
        if (thread_.joinable()) thread_.join();
        ::CloseHandle(stop_);
        ::CloseHandle(changed_);
    }

    EventHandle WaitHandle() const override { return reinterpret_cast<EventHandle>(changed_); }

    int TakeChanges() override {
        ::ResetEvent(changed_);
        return pending_.exchange(0);
    }

    void Notice() override {
        ++pending_;
        ::SetEvent(changed_);
    }

    std::string Describe() const override {
        std::string text = window_ ? "WM_DEVICECHANGE (hidden window)" : windowNote_;
        for (const std::string& path : paths_) text += (text.empty() ? "" : ", ") + path + " (looked at every 250 ms)";
        return text.empty() ? "the host's window (WM_DEVICECHANGE)" : text;
    }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DEVICECHANGE) {
            auto* self = reinterpret_cast<Watch*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (self && (wParam == DBT_DEVNODES_CHANGED || wParam == DBT_DEVICEARRIVAL ||
                         wParam == DBT_DEVICEREMOVECOMPLETE))
                self->Notice();
            return TRUE;
        }
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }

    void MakeWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = kWindowClass;
        ::RegisterClassW(&wc);  // fails harmlessly when a second watch registers it again
        // Top-level (not message-only): DBT_DEVNODES_CHANGED is broadcast to top-level windows.
        window_ = ::CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                    wc.hInstance, nullptr);
        if (!window_) {
            windowNote_ = "no device notifications: the hidden window failed (error " +
                          std::to_string(::GetLastError()) + ")";
            return;
        }
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        // Arrivals and removals of COM ports and USB devices come only to registered windows.
        for (const GUID& guid : {kComPortInterface, GUID_DEVINTERFACE_USB_DEVICE}) {
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = guid;
            if (HDEVNOTIFY n = ::RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
                notifications_.push_back(n);
        }
    }

    void LookAtPaths() {
        bool changed = false;
        for (size_t i = 0; i < paths_.size(); ++i) {
            const bool now = DevicePathPresent(paths_[i]);
            if (now != present_[i]) changed = true;
            present_[i] = now;
        }
        if (changed) Notice();
    }

    void Run(bool hiddenWindow, HANDLE ready) {
        if (hiddenWindow) MakeWindow();
        ::SetEvent(ready);
        const DWORD wait = paths_.empty() ? INFINITE : kPathPollMs;
        for (;;) {
            const DWORD r = ::MsgWaitForMultipleObjects(1, &stop_, FALSE, wait, QS_ALLINPUT);
            if (r == WAIT_OBJECT_0) break;
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            if (!paths_.empty()) LookAtPaths();
        }
        for (HDEVNOTIFY n : notifications_) ::UnregisterDeviceNotification(n);
        if (window_) ::DestroyWindow(window_);
    }

    std::vector<std::string> paths_;
    std::vector<bool> present_;
    HANDLE changed_ = nullptr;
    HANDLE stop_ = nullptr;
    std::atomic<int> pending_{0};
    std::thread thread_;
    HWND window_ = nullptr;
    std::string windowNote_;
    std::vector<HDEVNOTIFY> notifications_;
};

}  // namespace

std::unique_ptr<WindowsDeviceWatch> StartWindowsDeviceWatch(const std::vector<std::string>& paths, bool hiddenWindow) {
    return std::make_unique<Watch>(paths, hiddenWindow);
}

std::unique_ptr<DeviceWatch> StartDeviceWatch(const std::vector<std::string>& paths, bool systemEvents) {
    return StartWindowsDeviceWatch(paths, systemEvents);
}

}  // namespace platform
