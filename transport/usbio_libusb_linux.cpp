// The USB driver on Linux: the driver's requests carried out with libusb-1.0.
//
// Device interfaces: every USB device of vendor 2E4C whose device class or first interface
// (configuration index 0) is vendor-specific (0xFF). The newer family's virtual COM ports
// (communications class) are left to the COM route. The order is stable: by bus number,
// then by the chain of port numbers, so an index names the same device while nothing is
// plugged in or out. The device path is "usb:" and the sysfs name of that position.
//
// Configuration: the driver's "configured" is "interface claimed through this backend".
// Get configuration answers 1 when a handle of this process set the configuration, or when
// the interface cannot be claimed because another process or a kernel driver holds it; a
// kernel driver is never detached, the log names it instead. Set configuration selects the
// configuration, claims the interface and applies the alternate setting; unconfigure
// releases the claim. Handles opened on one path share one libusb device handle, so pipes
// see the claim of the device handle.
//
// Every wait is measured on platform::GetClock(): transfers are submitted asynchronously and
// polled without blocking; a pending transfer is cancelled and its completion collected
// before its memory is released (each transfer owns its buffer and copies into the
// caller's only when it is polled).
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/clock.h"
#include "transport/usb_driver_access.h"
#include "transport/usbio_libusb.h"

namespace usbio {

Status StatusFromLibusbError(int e) {
    switch (e) {
        case LIBUSB_SUCCESS:
            return kSuccess;
        case LIBUSB_ERROR_TIMEOUT:
            return kStatusTimeout;
        case LIBUSB_ERROR_PIPE:
            return kStatusRequestFailed;
        case LIBUSB_ERROR_NO_DEVICE:
            return kStatusNoDevice;
        case LIBUSB_ERROR_ACCESS:
            return kStatusAccessDenied;
        case LIBUSB_ERROR_BUSY:
            return kStatusBusy;
        case LIBUSB_ERROR_OVERFLOW:
            return kStatusOverflow;
        case LIBUSB_ERROR_INVALID_PARAM:
            return kStatusInvalidParameter;
        case LIBUSB_ERROR_NOT_FOUND:
            return kStatusNotFound;
        case LIBUSB_ERROR_INTERRUPTED:
            return kStatusCancelled;
        case LIBUSB_ERROR_NO_MEM:
            return kStatusNoMemory;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return kStatusNotSupported;
        default:  // LIBUSB_ERROR_IO, LIBUSB_ERROR_OTHER and anything newer
            return kStatusIoError;
    }
}

Status StatusFromLibusbTransfer(int transferStatus) {
    switch (transferStatus) {
        case LIBUSB_TRANSFER_COMPLETED:
            return kSuccess;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return kStatusTimeout;
        case LIBUSB_TRANSFER_STALL:
            return kStatusRequestFailed;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return kStatusNoDevice;
        case LIBUSB_TRANSFER_OVERFLOW:
            return kStatusOverflow;
        case LIBUSB_TRANSFER_CANCELLED:
            return kStatusCancelled;
        default:  // LIBUSB_TRANSFER_ERROR
            return kStatusIoError;
    }
}

std::string LibusbDevicePath(int bus, const uint8_t* ports, int portCount) {
    std::string path = "usb:" + std::to_string(bus) + "-";
    for (int i = 0; i < portCount; ++i) {
        if (i > 0) path += '.';
        path += std::to_string(ports[i]);
    }
    return path;
}

namespace {

constexpr uint16_t kVendorId = 0x2E4C;
constexpr uint32_t kPipeWriteTimeoutMs = 5000;   // one bulk OUT piece
constexpr uint32_t kSyncRequestTimeoutMs = 5000; // a control request issued as a direct call
// A control transfer the device leaves unanswered ends with the driver's time-out status after
// this long, well within the caller's poll budget (3,000 polls of 1 ms), so that the vendor
// request's repetitions happen.
constexpr uint32_t kControlTimeoutMs = 1000;
constexpr uint32_t kCancelPolls = 2000;          // polls of 1 ms for a cancellation to come back
constexpr int kMaxPorts = 8;                     // USB allows at most 7 tiers below the root

using velmora::ChannelLog;

struct Context {
    libusb_context* ctx = nullptr;
    int initError = 0;
};

Context& Ctx() {
    static Context context = [] {
        Context c;
        c.initError = libusb_init(&c.ctx);
        if (c.initError != 0) c.ctx = nullptr;
        return c;
    }();
    return context;
}

// Runs completed transfers' callbacks without waiting.
void HandleEventsNow() {
    timeval zero{0, 0};
    libusb_handle_events_timeout_completed(Ctx().ctx, &zero, nullptr);
}

struct DeviceList {
    libusb_device** list = nullptr;
    ssize_t count = 0;
    DeviceList() {
        if (Ctx().ctx) count = libusb_get_device_list(Ctx().ctx, &list);
        if (count < 0) count = 0;
    }
    ~DeviceList() {
        if (list) libusb_free_device_list(list, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

struct Position {
    int bus = 0;
    std::vector<uint8_t> ports;
    bool operator<(const Position& o) const { return bus != o.bus ? bus < o.bus : ports < o.ports; }
};

Position PositionOf(libusb_device* d) {
    Position p;
    p.bus = libusb_get_bus_number(d);
    uint8_t ports[kMaxPorts] = {};
    const int n = libusb_get_port_numbers(d, ports, kMaxPorts);
    if (n > 0) p.ports.assign(ports, ports + n);
    return p;
}

std::string PathOf(const Position& p) {
    return LibusbDevicePath(p.bus, p.ports.data(), static_cast<int>(p.ports.size()));
}

// Vendor 2E4C with a vendor-specific device class or first interface.
bool ServedByDriver(libusb_device* d) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(d, &dd) != 0 || dd.idVendor != kVendorId) return false;
    if (dd.bDeviceClass == LIBUSB_CLASS_VENDOR_SPEC) return true;
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(d, 0, &cfg) != 0) return false;
    const bool vendor = cfg->bNumInterfaces > 0 && cfg->interface[0].num_altsetting > 0 &&
                        cfg->interface[0].altsetting[0].bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC;
    libusb_free_config_descriptor(cfg);
    return vendor;
}

// The devices of the driver in their stable order.
std::vector<std::pair<Position, libusb_device*>> DriverDevices(const DeviceList& list) {
    std::vector<std::pair<Position, libusb_device*>> out;
    for (ssize_t i = 0; i < list.count; ++i) {
        libusb_device* d = list.list[i];
        Position p = PositionOf(d);
        if (!p.ports.empty() && ServedByDriver(d)) out.emplace_back(std::move(p), d);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

// The kernel driver bound to an interface, from sysfs, or "" when none can be named.
std::string KernelDriverName(const std::string& path, int configuration, int interface) {
    const std::string link = "/sys/bus/usb/devices/" + path.substr(4) + ":" + std::to_string(configuration) + "." +
                             std::to_string(interface) + "/driver";
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    const std::string t(target, static_cast<size_t>(n));
    const size_t slash = t.rfind('/');
    return slash == std::string::npos ? t : t.substr(slash + 1);
}

// One libusb device handle shared by every handle opened on the same path in this process.
struct OpenDevice {
    std::mutex m;
    libusb_device_handle* h = nullptr;
    std::string path;
    std::string label;  // "2e4c:0640 at usb:1-1.4"
    const void* configOwner = nullptr;  // the handle that set the configuration
    std::vector<int> claimed;
    int interfaceNumber = 0;
    int alternateSetting = 0;
    int language = -1;  // first language of the string descriptors, -1 not read yet

    ~OpenDevice() {
        for (int i : claimed) libusb_release_interface(h, i);
        if (h) libusb_close(h);
    }
};

std::mutex g_openLock;
std::map<std::string, std::weak_ptr<OpenDevice>>& OpenDevices() {
    static auto* devices = new std::map<std::string, std::weak_ptr<OpenDevice>>();
    return *devices;
}

// A submitted libusb transfer. It owns its buffer (for control transfers the 8-byte setup
// packet comes first) and copies the data into the caller's buffer only inside Poll.
class LibusbTransfer : public Transfer {
public:
    // A request that finished at once (or could not be submitted).
    LibusbTransfer(Status status, uint32_t count) : immediate_(true), status_(status), count_(count) {}

    // offset: where the data begins in the buffer (8 after a setup packet). timeoutMs: the
    // transfer is cancelled and ends with the time-out status once it has run this long on the
    // product's clock (0: no limit).
    LibusbTransfer(libusb_transfer* t, std::vector<uint8_t> buffer, uint32_t offset, uint8_t* out,
                   uint32_t outSize, bool shortAllowed, uint32_t timeoutMs = 0)
        : state_(new State), offset_(offset), out_(out), outSize_(outSize), shortAllowed_(shortAllowed) {
        if (timeoutMs > 0) deadline_ = platform::GetClock().NowMs() + timeoutMs;
        state_->t = t;
        state_->buffer = std::move(buffer);
        t->buffer = state_->buffer.data();
        t->user_data = state_;
        t->callback = &LibusbTransfer::Done;
        const int r = libusb_submit_transfer(t);
        if (r != 0) {
            immediate_ = true;
            status_ = StatusFromLibusbError(r);
            libusb_free_transfer(t);
            delete state_;
            state_ = nullptr;
        }
    }

    ~LibusbTransfer() override {
        if (!state_) return;
        if (!state_->done.load()) {
            libusb_cancel_transfer(state_->t);
            platform::Clock& clock = platform::GetClock();
            for (uint32_t i = 0; i < kCancelPolls && !state_->done.load(); ++i) {
                HandleEventsNow();
                if (!state_->done.load()) clock.SleepMs(1);
            }
            // A transfer the kernel never gave back keeps its memory: freeing it could let a
            // late completion write into memory in use elsewhere.
            if (!state_->done.load()) return;
        }
        libusb_free_transfer(state_->t);
        delete state_;
    }

    Status Poll(uint32_t* count) override {
        if (!immediate_ && !finished_) {
            if (!state_->done.load()) HandleEventsNow();
            if (!state_->done.load()) {
                // Past its time: cancelled, and reported as timed out once the cancellation
                // has come back (until then the buffer is still the kernel's).
                if (deadline_ != 0 && !timedOut_ && platform::GetClock().NowMs() >= deadline_) {
                    timedOut_ = true;
                    libusb_cancel_transfer(state_->t);
                }
                if (count) *count = 0;
                return kIoIncomplete;
            }
            finished_ = true;
            status_ = StatusFromLibusbTransfer(state_->status);
            if (timedOut_ && state_->status == LIBUSB_TRANSFER_CANCELLED) status_ = kStatusTimeout;
            const uint32_t actual = static_cast<uint32_t>(std::max(state_->actual, 0));
            count_ = std::min(actual, outSize_);
            if (out_ && count_ > 0) std::memcpy(out_, state_->buffer.data() + offset_, count_);
            if (status_ == kSuccess && !shortAllowed_ && count_ < outSize_) status_ = kStatusIoError;
        }
        if (count) *count = count_;
        return status_;
    }

private:
    struct State {
        libusb_transfer* t = nullptr;
        std::vector<uint8_t> buffer;
        std::atomic<bool> done{false};
        int status = LIBUSB_TRANSFER_ERROR;
        int actual = 0;
    };

    static void LIBUSB_CALL Done(libusb_transfer* t) {
        auto* s = static_cast<State*>(t->user_data);
        s->status = t->status;
        s->actual = t->actual_length;
        s->done.store(true);
    }

    State* state_ = nullptr;
    bool immediate_ = false;
    bool finished_ = false;
    Status status_ = kIoIncomplete;
    uint32_t count_ = 0;
    uint32_t offset_ = 0;
    uint8_t* out_ = nullptr;
    uint32_t outSize_ = 0;
    bool shortAllowed_ = true;
    uint64_t deadline_ = 0;  // on the product's clock; 0: none
    bool timedOut_ = false;
};

// Polls a transfer on the clock until it ends or the time is up (then it is cancelled).
Status Await(Transfer& t, uint32_t* count, uint32_t timeoutMs) {
    platform::Clock& clock = platform::GetClock();
    const uint64_t deadline = clock.NowMs() + timeoutMs;
    for (;;) {
        const Status s = t.Poll(count);
        if (s != kIoIncomplete && s != kIoPending) return s;
        if (clock.NowMs() >= deadline) return kStatusTimeout;
        clock.SleepMs(1);
    }
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

class LibusbHandle : public Handle {
public:
    explicit LibusbHandle(std::shared_ptr<OpenDevice> device) : device_(std::move(device)) {}

    ~LibusbHandle() override {
        // Closing the configuring handle releases its configuration.
        std::lock_guard<std::mutex> lock(device_->m);
        if (device_->configOwner == this) ReleaseClaims();
    }

    Status Ioctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                 uint32_t* count) override {
        if (count) *count = 0;
        switch (code) {
            case kIoctlGetConfiguration:
                return GetConfiguration(out, outSize, count);
            case kIoctlSetConfiguration:
                return SetConfiguration(in, inSize);
            case kIoctlUnconfigureDevice:
                return Unconfigure();
            case kIoctlBindPipe:
                return Bind(in, inSize);
            case kIoctlUnbindPipe:
                return Unbind();
            default: {
                std::unique_ptr<Transfer> t = BeginIoctl(code, in, inSize, out, outSize);
                return Await(*t, count, kSyncRequestTimeoutMs);
            }
        }
    }

    std::unique_ptr<Transfer> BeginIoctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                                         uint32_t outSize) override {
        switch (code) {
            case kIoctlGetDescriptor:
                return BeginDescriptor(in, inSize, out, outSize);
            case kIoctlClassOrVendorInRequest:
                return BeginClassOrVendor(in, inSize, out, outSize, true);
            case kIoctlClassOrVendorOutRequest:
                return BeginClassOrVendor(in, inSize, nullptr, 0, false);
            case kIoctlGetDriverInfo:
                return DriverInfo(out, outSize);
            case kIoctlResetPipe: {
                const int ep = endpoint_.load();
                if (ep < 0) return Immediate(kStatusNotBound);
                return Immediate(StatusFromLibusbError(libusb_clear_halt(device_->h, static_cast<unsigned char>(ep))));
            }
            case kIoctlGetConfiguration:
            case kIoctlSetConfiguration:
            case kIoctlUnconfigureDevice:
            case kIoctlBindPipe:
            case kIoctlUnbindPipe: {
                // Direct requests asked for overlapped: carried out at once.
                uint32_t n = 0;
                const Status s = Ioctl(code, in, inSize, out, outSize, &n);
                return std::make_unique<LibusbTransfer>(s, n);
            }
            default:
                // A code the driver does not know (Ioctl hands unknown codes here, so they
                // must end here).
                return Immediate(kStatusInvalidParameter);
        }
    }

    Status WritePipe(const uint8_t* data, uint32_t len, uint32_t* written) override {
        if (written) *written = 0;
        const int ep = endpoint_.load();
        if (ep < 0 || (ep & 0x80) != 0) return kStatusNotBound;
        if (len > INT_MAX) return kStatusInvalidParameter;
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (!t) return kStatusNoMemory;
        std::vector<uint8_t> buffer(data, data + len);
        libusb_fill_bulk_transfer(t, device_->h, static_cast<unsigned char>(ep), nullptr, static_cast<int>(len),
                                  nullptr, nullptr, 0);
        LibusbTransfer transfer(t, std::move(buffer), 0, nullptr, len, true);
        return Await(transfer, written, kPipeWriteTimeoutMs);
    }

    std::unique_ptr<Transfer> BeginReadPipe(uint8_t* data, uint32_t len) override {
        const int ep = endpoint_.load();
        if (ep < 0 || (ep & 0x80) == 0) return Immediate(kStatusNotBound);
        if (len > INT_MAX) return Immediate(kStatusInvalidParameter);
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (!t) return Immediate(kStatusNoMemory);
        libusb_fill_bulk_transfer(t, device_->h, static_cast<unsigned char>(ep), nullptr, static_cast<int>(len),
                                  nullptr, nullptr, 0);
        return std::make_unique<LibusbTransfer>(t, std::vector<uint8_t>(len), 0, data, len, true);
    }

private:
    static std::unique_ptr<Transfer> Immediate(Status s) { return std::make_unique<LibusbTransfer>(s, 0); }

    // Caller holds device_->m.
    void ReleaseClaims() {
        for (int i : device_->claimed) libusb_release_interface(device_->h, i);
        device_->claimed.clear();
        device_->configOwner = nullptr;
    }

    void LogKernelDriver(int interface) {
        libusb_device* d = libusb_get_device(device_->h);
        libusb_config_descriptor* cfg = nullptr;
        int configuration = 1;
        if (libusb_get_active_config_descriptor(d, &cfg) == 0) {
            configuration = cfg->bConfigurationValue;
            libusb_free_config_descriptor(cfg);
        }
        const std::string name = KernelDriverName(device_->path, configuration, interface);
        ChannelLog("libusb: interface %d of %s is held by the kernel driver %s; it is not detached", interface,
                   device_->label.c_str(), name.empty() ? "(unnamed)" : name.c_str());
    }

    Status GetConfiguration(uint8_t* out, uint32_t outSize, uint32_t* count) {
        if (!out || outSize < 1) return kStatusInvalidParameter;
        std::lock_guard<std::mutex> lock(device_->m);
        uint8_t value = 0;
        if (device_->configOwner) {
            value = 1;
        } else {
            const int r = libusb_claim_interface(device_->h, 0);
            if (r == 0) {
                libusb_release_interface(device_->h, 0);
            } else if (r == LIBUSB_ERROR_BUSY) {
                // Another process or a kernel driver holds the interface.
                if (libusb_kernel_driver_active(device_->h, 0) == 1) LogKernelDriver(0);
                value = 1;
            } else if (r != LIBUSB_ERROR_NOT_FOUND) {  // not found: the device has no configuration
                return StatusFromLibusbError(r);
            }
        }
        out[0] = value;
        if (count) *count = 1;
        return kSuccess;
    }

    Status SetConfiguration(const uint8_t* in, uint32_t inSize) {
        if (!in || inSize != kConfigurationRequestSize) return kStatusInvalidParameter;
        const uint16_t index = U16(in);
        const uint16_t interfaces = U16(in + 2);
        if (interfaces < 1 || interfaces > kConfigurationEntries) return kStatusInvalidParameter;
        std::lock_guard<std::mutex> lock(device_->m);
        if (device_->configOwner && device_->configOwner != this) return kStatusBusy;

        libusb_device* d = libusb_get_device(device_->h);
        libusb_config_descriptor* cfg = nullptr;
        int r = libusb_get_config_descriptor(d, static_cast<uint8_t>(index), &cfg);
        if (r != 0) return StatusFromLibusbError(r);
        const int value = cfg->bConfigurationValue;
        libusb_free_config_descriptor(cfg);
        int current = 0;
        r = libusb_get_configuration(device_->h, &current);
        if (r != 0) return StatusFromLibusbError(r);
        if (current != value) {
            r = libusb_set_configuration(device_->h, value);
            if (r != 0) return StatusFromLibusbError(r);
        }

        std::vector<int> newlyClaimed;
        auto undo = [&](int error) {
            for (int i : newlyClaimed) {
                libusb_release_interface(device_->h, i);
                device_->claimed.erase(std::find(device_->claimed.begin(), device_->claimed.end(), i));
            }
            return StatusFromLibusbError(error);
        };
        for (uint16_t e = 0; e < interfaces; ++e) {
            const uint8_t* entry = in + 4 + 8 * e;
            const int interface = U16(entry);
            const int alternate = U16(entry + 2);
            if (std::find(device_->claimed.begin(), device_->claimed.end(), interface) == device_->claimed.end()) {
                if (libusb_kernel_driver_active(device_->h, interface) == 1) {
                    LogKernelDriver(interface);
                    return undo(LIBUSB_ERROR_BUSY);
                }
                r = libusb_claim_interface(device_->h, interface);
                if (r != 0) return undo(r);
                device_->claimed.push_back(interface);
                newlyClaimed.push_back(interface);
            }
            r = libusb_set_interface_alt_setting(device_->h, interface, alternate);
            if (r != 0) return undo(r);
            if (e == 0) {
                device_->interfaceNumber = interface;
                device_->alternateSetting = alternate;
            }
        }
        device_->configOwner = this;
        return kSuccess;
    }

    Status Unconfigure() {
        std::lock_guard<std::mutex> lock(device_->m);
        if (!device_->configOwner) return kStatusNotConfigured;
        if (device_->configOwner != this) return kStatusBusy;  // another handle's configuration stays
        ReleaseClaims();
        return kSuccess;
    }

    Status Bind(const uint8_t* in, uint32_t inSize) {
        if (!in || inSize < 1) return kStatusInvalidParameter;
        const uint8_t ep = in[0];
        std::lock_guard<std::mutex> lock(device_->m);
        if (!device_->configOwner) return kStatusNotConfigured;
        libusb_config_descriptor* cfg = nullptr;
        const int r = libusb_get_active_config_descriptor(libusb_get_device(device_->h), &cfg);
        if (r != 0) return StatusFromLibusbError(r);
        bool found = false;
        for (int i = 0; i < cfg->bNumInterfaces && !found; ++i) {
            const libusb_interface& itf = cfg->interface[i];
            for (int a = 0; a < itf.num_altsetting && !found; ++a) {
                const libusb_interface_descriptor& alt = itf.altsetting[a];
                if (alt.bInterfaceNumber != device_->interfaceNumber || alt.bAlternateSetting != device_->alternateSetting)
                    continue;
                for (int k = 0; k < alt.bNumEndpoints; ++k) found = found || alt.endpoint[k].bEndpointAddress == ep;
            }
        }
        libusb_free_config_descriptor(cfg);
        if (!found) return kStatusNotFound;
        endpoint_.store(ep);
        return kSuccess;
    }

    Status Unbind() {
        if (endpoint_.exchange(-1) < 0) return kStatusNotBound;
        return kSuccess;
    }

    // A control transfer: setup packet, then wLength data bytes.
    std::unique_ptr<Transfer> BeginControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                           uint8_t* out, uint32_t outSize, bool shortAllowed) {
        if (outSize > 0xFFFF) return Immediate(kStatusInvalidParameter);
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (!t) return Immediate(kStatusNoMemory);
        std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + outSize);
        libusb_fill_control_setup(buffer.data(), requestType, request, value, index, static_cast<uint16_t>(outSize));
        // The time-out is measured on the product's clock (see LibusbTransfer), not by libusb.
        libusb_fill_control_transfer(t, device_->h, nullptr, nullptr, nullptr, 0);
        t->length = static_cast<int>(buffer.size());
        return std::make_unique<LibusbTransfer>(t, std::move(buffer), LIBUSB_CONTROL_SETUP_SIZE, out, outSize,
                                                shortAllowed, kControlTimeoutMs);
    }

    // The first language id of the string descriptors (0x0409 when the device names none).
    uint16_t Language() {
        {
            std::lock_guard<std::mutex> lock(device_->m);
            if (device_->language >= 0) return static_cast<uint16_t>(device_->language);
        }
        uint8_t table[4] = {};
        uint32_t n = 0;
        std::unique_ptr<Transfer> t = BeginControl(LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                                   LIBUSB_DT_STRING << 8, 0, table, sizeof table, true);
        const Status s = Await(*t, &n, kSyncRequestTimeoutMs);
        const uint16_t language = s == kSuccess && n >= 4 ? U16(table + 2) : 0x0409;
        std::lock_guard<std::mutex> lock(device_->m);
        device_->language = language;
        return language;
    }

    std::unique_ptr<Transfer> BeginDescriptor(const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize) {
        if (!in || inSize != kDescriptorRequestSize) return Immediate(kStatusInvalidParameter);
        const uint32_t recipient = U32(in);
        const uint8_t type = in[4];
        const uint8_t index = in[5];
        uint16_t language = U16(in + 6);
        if (recipient > 3) return Immediate(kStatusInvalidParameter);
        // Language 0 asks for the device's own language (index 0 is the language table).
        if (type == LIBUSB_DT_STRING && index != 0 && language == 0) language = Language();
        return BeginControl(static_cast<uint8_t>(LIBUSB_ENDPOINT_IN | recipient), LIBUSB_REQUEST_GET_DESCRIPTOR,
                            static_cast<uint16_t>(type << 8 | index), language, out, outSize, true);
    }

    std::unique_ptr<Transfer> BeginClassOrVendor(const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                                                 bool directionIn) {
        if (!in || inSize != kVendorRequestHeaderSize) return Immediate(kStatusInvalidParameter);
        const uint32_t flags = U32(in);
        const uint32_t type = U32(in + 4);
        const uint32_t recipient = U32(in + 8);
        if ((type != kRequestTypeClass && type != kRequestTypeVendor) || recipient > 3)
            return Immediate(kStatusInvalidParameter);
        const uint8_t requestType = static_cast<uint8_t>((directionIn ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT) |
                                                         (type << 5) | recipient | (in[12] & 0x1F));
        return BeginControl(requestType, in[13], U16(in + 14), U16(in + 16), out, directionIn ? outSize : 0,
                            (flags & kShortTransferOk) != 0);
    }

    // 12 bytes: u16 interface version 0x0100, u16 backend 1 (libusb), u32 libusb version
    // (major, minor, micro, 0), u32 0.
    std::unique_ptr<Transfer> DriverInfo(uint8_t* out, uint32_t outSize) {
        if (!out || outSize < kDriverInfoSize) return Immediate(kStatusInvalidParameter);
        const libusb_version* v = libusb_get_version();
        const uint8_t info[kDriverInfoSize] = {0x00, 0x01, 0x01, 0x00, 0, static_cast<uint8_t>(v->micro),
                                               static_cast<uint8_t>(v->minor), static_cast<uint8_t>(v->major),
                                               0, 0, 0, 0};
        std::memcpy(out, info, sizeof info);
        return std::make_unique<LibusbTransfer>(kSuccess, kDriverInfoSize);
    }

    std::shared_ptr<OpenDevice> device_;
    std::atomic<int> endpoint_{-1};
};

class LibusbDriver : public Driver {
public:
    Enumeration DeviceInterface(int index, std::string* devicePath) override {
        Context& c = Ctx();
        if (!c.ctx) {
            // No USB access at all (no usbfs, for example): there are no device interfaces.
            if (index == 0) ChannelLog("libusb: no USB access (%s)", libusb_error_name(c.initError));
            return Enumeration::End;
        }
        DeviceList list;
        const auto devices = DriverDevices(list);
        if (index < 0 || static_cast<size_t>(index) >= devices.size()) return Enumeration::End;
        *devicePath = PathOf(devices[static_cast<size_t>(index)].first);
        return Enumeration::Found;
    }

    std::unique_ptr<Handle> OpenPath(const std::string& devicePath, bool /*overlapped*/, Status* error) override {
        if (error) *error = kStatusNoDevice;
        if (!Ctx().ctx) return nullptr;
        std::lock_guard<std::mutex> lock(g_openLock);
        auto& open = OpenDevices();
        if (auto it = open.find(devicePath); it != open.end()) {
            if (std::shared_ptr<OpenDevice> shared = it->second.lock()) return std::make_unique<LibusbHandle>(shared);
        }
        DeviceList list;
        libusb_device* found = nullptr;
        for (const auto& [position, device] : DriverDevices(list))
            if (PathOf(position) == devicePath) found = device;
        if (!found) return nullptr;

        libusb_device_descriptor dd{};
        libusb_get_device_descriptor(found, &dd);
        char label[96];
        std::snprintf(label, sizeof label, "%04x:%04x at %s", dd.idVendor, dd.idProduct, devicePath.c_str());
        auto device = std::make_shared<OpenDevice>();
        device->path = devicePath;
        device->label = label;
        const int r = libusb_open(found, &device->h);
        if (r != 0) {
            device->h = nullptr;
            if (error) *error = StatusFromLibusbError(r);
            if (r == LIBUSB_ERROR_ACCESS)
                ChannelLog("libusb: %s cannot be opened: not permitted (%s); its device node needs read and write "
                           "access for this user",
                           label, libusb_error_name(r));
            else
                ChannelLog("libusb: %s cannot be opened (%s)", label, libusb_error_name(r));
            return nullptr;
        }
        open[devicePath] = device;
        return std::make_unique<LibusbHandle>(device);
    }
};

}  // namespace

Driver& SystemDriver() {
    static LibusbDriver driver;
    return driver;
}

}  // namespace usbio
