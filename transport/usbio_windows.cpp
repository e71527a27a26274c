// The USB driver of the older family on Windows: the driver itself. Its devices are the
// present device interfaces of its interface class (SetupAPI); a device path is opened with
// CreateFileA, and every request is a DeviceIoControl with the driver's codes and layouts, bulk
// pipes are ReadFile and WriteFile on a handle bound to an endpoint. Overlapped requests poll
// GetOverlappedResult without waiting; a request given up is cancelled with CancelIoEx and
// waited for, so that it never completes into a buffer that is gone. Results are the system's
// error codes as they come, which carry the driver's own statuses.
#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "transport/usbio_driver.h"
#include "transport/usbio_windows.h"

namespace usbio {
namespace {

Status LastStatus() { return static_cast<Status>(::GetLastError()); }

// An overlapped request: its event, its record and a copy of its input.
class WindowsTransfer : public Transfer {
public:
    WindowsTransfer(HANDLE h, const uint8_t* in, uint32_t inSize) : h_(h) {
        if (in && inSize) input_.assign(in, in + inSize);
        overlapped_.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped_.hEvent) Finish(LastStatus(), 0);
    }
    ~WindowsTransfer() override {
        if (!done_) {
            ::CancelIoEx(h_, &overlapped_);
            DWORD n = 0;
            ::GetOverlappedResult(h_, &overlapped_, &n, TRUE);  // the cancellation has come back
        }
        if (overlapped_.hEvent) ::CloseHandle(overlapped_.hEvent);
    }
    WindowsTransfer(const WindowsTransfer&) = delete;
    WindowsTransfer& operator=(const WindowsTransfer&) = delete;

    bool Ready() const { return overlapped_.hEvent != nullptr; }
    const uint8_t* Input() const { return input_.empty() ? nullptr : input_.data(); }
    OVERLAPPED* Record() { return &overlapped_; }

    // The result of the call that started the request.
    void Started(BOOL ok) {
        if (ok) {
            DWORD n = 0;
            ::GetOverlappedResult(h_, &overlapped_, &n, FALSE);
            Finish(kSuccess, n);
            return;
        }
        const Status s = LastStatus();
        if (s != kIoPending) Finish(s, 0);
    }

    Status Poll(uint32_t* count) override {
        if (!done_) {
            DWORD n = 0;
            if (::GetOverlappedResult(h_, &overlapped_, &n, FALSE)) {
                Finish(kSuccess, n);
            } else {
                const Status s = LastStatus();
                if (s == kIoIncomplete) {
                    if (count) *count = 0;
                    return kIoIncomplete;
                }
                Finish(s, n);
            }
        }
        if (count) *count = count_;
        return status_;
    }

    // Waits for the end (direct requests on an overlapped handle).
    Status Wait(uint32_t* count) {
        if (!done_) {
            DWORD n = 0;
            Finish(::GetOverlappedResult(h_, &overlapped_, &n, TRUE) ? kSuccess : LastStatus(), n);
        }
        if (count) *count = count_;
        return status_;
    }

private:
    void Finish(Status s, DWORD n) {
        done_ = true;
        status_ = s;
        count_ = n;
    }

    HANDLE h_;
    std::vector<uint8_t> input_;
    OVERLAPPED overlapped_{};
    bool done_ = false;
    Status status_ = kIoIncomplete;
    uint32_t count_ = 0;
};

// A request that ended before it began (no event, or a synchronous handle).
class FinishedTransfer : public Transfer {
public:
    FinishedTransfer(Status s, uint32_t count) : status_(s), count_(count) {}
    Status Poll(uint32_t* count) override {
        if (count) *count = count_;
        return status_;
    }

private:
    Status status_;
    uint32_t count_;
};

class WindowsHandle : public Handle {
public:
    WindowsHandle(HANDLE h, bool overlapped) : h_(h), overlapped_(overlapped) {}
    ~WindowsHandle() override { ::CloseHandle(h_); }
    WindowsHandle(const WindowsHandle&) = delete;
    WindowsHandle& operator=(const WindowsHandle&) = delete;

    Status Ioctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                 uint32_t* count) override {
        if (count) *count = 0;
        if (!overlapped_) {
            DWORD n = 0;
            const BOOL ok = ::DeviceIoControl(h_, code, const_cast<uint8_t*>(in), inSize, out, outSize, &n, nullptr);
            if (count) *count = n;
            return ok ? kSuccess : LastStatus();
        }
        WindowsTransfer t(h_, in, inSize);
        if (!t.Ready()) return LastStatus();
        t.Started(::DeviceIoControl(h_, code, const_cast<uint8_t*>(t.Input()), inSize, out, outSize, nullptr,
                                    t.Record()));
        return t.Wait(count);
    }

    std::unique_ptr<Transfer> BeginIoctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                                         uint32_t outSize) override {
        if (!overlapped_) {
            uint32_t n = 0;
            const Status s = Ioctl(code, in, inSize, out, outSize, &n);
            return std::make_unique<FinishedTransfer>(s, n);
        }
        auto t = std::make_unique<WindowsTransfer>(h_, in, inSize);
        if (!t->Ready()) return std::make_unique<FinishedTransfer>(LastStatus(), 0);
        t->Started(::DeviceIoControl(h_, code, const_cast<uint8_t*>(t->Input()), inSize, out, outSize, nullptr,
                                     t->Record()));
        return t;
    }

    Status WritePipe(const uint8_t* data, uint32_t len, uint32_t* written) override {
        if (written) *written = 0;
        if (!overlapped_) {
            DWORD n = 0;
            const BOOL ok = ::WriteFile(h_, data, len, &n, nullptr);
            if (written) *written = n;
            return ok ? kSuccess : LastStatus();
        }
        WindowsTransfer t(h_, nullptr, 0);
        if (!t.Ready()) return LastStatus();
        t.Started(::WriteFile(h_, data, len, nullptr, t.Record()));
        return t.Wait(written);
    }

    std::unique_ptr<Transfer> BeginReadPipe(uint8_t* data, uint32_t len) override {
        if (!overlapped_) {
            DWORD n = 0;
            const BOOL ok = ::ReadFile(h_, data, len, &n, nullptr);
            return std::make_unique<FinishedTransfer>(ok ? kSuccess : LastStatus(), n);
        }
        auto t = std::make_unique<WindowsTransfer>(h_, nullptr, 0);
        if (!t->Ready()) return std::make_unique<FinishedTransfer>(LastStatus(), 0);
        t->Started(::ReadFile(h_, data, len, nullptr, t->Record()));
        return t;
    }

private:
    HANDLE h_;
    bool overlapped_;
};

// Destroys a device information set when it goes out of scope.
class DeviceSet {
public:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    ~DeviceSet() {
        if (set_ != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

class WindowsDriver : public Driver {
public:
    Enumeration DeviceInterface(int index, std::string* devicePath) override {
        if (index < 0) return Enumeration::End;
        DeviceSet set(::SetupDiGetClassDevsA(&kDriverInterfaceClass, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (set.get() == INVALID_HANDLE_VALUE) return Enumeration::Unavailable;
        SP_DEVICE_INTERFACE_DATA interface{};
        interface.cbSize = sizeof interface;
        if (!::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &kDriverInterfaceClass, static_cast<DWORD>(index),
                                           &interface))
            return Enumeration::End;
        // The path of an interface whose detail cannot be read stays empty; the caller logs it.
        devicePath->clear();
        DWORD size = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set.get(), &interface, nullptr, 0, &size, nullptr);
        if (size <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Enumeration::Found;
        std::vector<uint8_t> buffer(size, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (::SetupDiGetDeviceInterfaceDetailA(set.get(), &interface, detail, size, nullptr, nullptr))
            *devicePath = std::string(detail->DevicePath, strnlen(detail->DevicePath, size - sizeof(DWORD)));
        return Enumeration::Found;
    }

    std::unique_ptr<Handle> OpenPath(const std::string& devicePath, bool overlapped, Status* error) override {
        HANDLE h = ::CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (error) *error = StatusFromWindowsError(::GetLastError());
            return nullptr;
        }
        return std::make_unique<WindowsHandle>(h, overlapped);
    }
};

}  // namespace

Status StatusFromWindowsError(uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
            return kStatusNoDevice;
        case ERROR_ACCESS_DENIED:
            return kStatusAccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return kStatusBusy;
        default:
            return error;
    }
}

Driver& SystemDriver() {
    static WindowsDriver driver;
    return driver;
}

}  // namespace usbio
