// The emulated USB driver: handles, configuration, pipes, transfers and faults around the
// older-family devices of older_usb_device.cpp.
#include "sim/usbio/emulated_usb_driver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <set>

#include "platform/clock.h"

namespace quillon_sim {

using usbio::Status;

namespace {

constexpr const char* kPathPrefix = "emulated-usbio:";
constexpr auto kGateLimit = std::chrono::seconds(10);

constexpr UsbioFaultInfo kFaults[] = {
    {UsbioFault::Timeout, "timeout", "the next N vendor requests end with the time-out status"},
    {UsbioFault::Stall, "stall", "the next N vendor requests are refused"},
    {UsbioFault::Hang, "hang", "the next N vendor requests never complete"},
    {UsbioFault::ShortRead, "short-read", "vendor answers and bulk IN reads lose their last byte"},
    {UsbioFault::GarbleEcho, "garble-echo", "vendor answers carry a wrong echo"},
    {UsbioFault::ConfiguredElsewhere, "configured-elsewhere", "another holder has configured the device"},
    {UsbioFault::ConfigurationUnreadable, "configuration-unreadable", "the configuration value cannot be read"},
    {UsbioFault::StringUnreadable, "string-unreadable", "string descriptor N is refused"},
    {UsbioFault::DeviceDescriptorUnreadable, "device-descriptor-unreadable", "the device descriptor is refused"},
    {UsbioFault::PipeNotBindable, "pipe-not-bindable", "endpoint N cannot be bound"},
    {UsbioFault::AlternateSetting1Only, "alternate-setting-1-only", "the interface takes alternate setting 1 only"},
    {UsbioFault::BulkOutFailsAfter, "bulk-out-fails-after", "bulk OUT fails once N bytes have arrived"},
    {UsbioFault::CannotOpen, "cannot-open", "opening the device is not permitted"},
    {UsbioFault::StayInBootLoader, "stay-in-bootloader", "update mode 0 brings the boot loader back"},
    {UsbioFault::NeverReturn, "never-return", "after a restart the device does not come back"},
    {UsbioFault::Busy, "busy", "the next N status answers report busy"},
    {UsbioFault::StatusError, "status-error", "status answers report a device error"},
};

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

std::span<const UsbioFaultInfo> AllUsbioFaults() { return kFaults; }

std::optional<UsbioFault> UsbioFaultFromName(std::string_view name) {
    for (const UsbioFaultInfo& f : kFaults)
        if (name == f.name) return f.fault;
    return std::nullopt;
}

struct Slot {
    explicit Slot(const OlderUsbDeviceSettings& s) : device(s) {}
    OlderUsbDevice device;
    bool plugged = true;
    bool present = true;
    uint64_t reappearAt = 0;
    int pendingMode = 0;
    int generation = 0;
    int restarts = 0;
    int configOwner = 0;  // handle number, 0 none
    int openHandles = 0;
    // Faults.
    int timeouts = 0;
    int stalls = 0;
    int hangs = 0;
    bool shortRead = false;
    bool garbleEcho = false;
    bool configuredElsewhere = false;
    bool configurationUnreadable = false;
    std::set<int> unreadableStrings;
    bool deviceDescriptorUnreadable = false;
    std::set<int> unbindable;
    bool alternate1Only = false;
    int64_t bulkOutFailAfter = -1;
    bool cannotOpen = false;
    bool stayInBootLoader = false;
    bool neverReturn = false;
    // Traffic.
    std::vector<EmulatedUsbDriver::Request> requests;
    std::vector<std::vector<uint8_t>> bulkOut;
    uint64_t bulkOutBytes = 0;
    std::vector<uint32_t> bulkInRequests;
    std::deque<uint8_t> bulkIn;
    bool gateClosed = false;
    int gatePermits = 0;
    int heldWrites = 0;
};

struct EmulatedUsbDriver::State {
    mutable std::mutex m;
    mutable std::condition_variable cv;
    std::vector<std::unique_ptr<Slot>> slots;
    int nextHandle = 1;
    std::atomic<uint64_t> polls{0};
    std::atomic<uint64_t> cancelled{0};

    // A restarted device comes back once its time is up. Caller holds m.
    void Refresh(Slot& s) {
        if (s.present || !s.plugged || s.neverReturn) return;
        if (platform::GetClock().NowMs() < s.reappearAt) return;
        s.present = true;
        s.device.Restart(s.pendingMode, s.stayInBootLoader);
        ++s.restarts;
    }

    void Restart(Slot& s, int mode) {
        s.present = false;
        ++s.generation;
        s.configOwner = 0;
        s.bulkIn.clear();
        s.pendingMode = mode;
        s.reappearAt = platform::GetClock().NowMs() + s.device.Settings().restartMs;
    }
};

namespace {

using State = EmulatedUsbDriver::State;

class EmulatedTransfer : public usbio::Transfer {
public:
    // A request with a known outcome after `pending` polls (-1: never).
    EmulatedTransfer(std::shared_ptr<State> st, Status status, std::vector<uint8_t> data, uint8_t* out,
                     uint32_t outSize, int pending)
        : st_(std::move(st)), status_(status), data_(std::move(data)), out_(out), outSize_(outSize),
          pending_(pending) {}
    // A bulk IN read that completes when the device has data.
    EmulatedTransfer(std::shared_ptr<State> st, int slot, int generation, uint8_t* out, uint32_t outSize)
        : st_(std::move(st)), out_(out), outSize_(outSize), bulkIn_(true), slot_(slot), generation_(generation) {}

    ~EmulatedTransfer() override {
        if (!done_) ++st_->cancelled;
    }

    Status Poll(uint32_t* count) override {
        ++st_->polls;
        if (!done_) {
            if (bulkIn_) {
                std::lock_guard<std::mutex> lock(st_->m);
                Slot& s = *st_->slots[static_cast<size_t>(slot_)];
                if (!s.present || s.generation != generation_) {
                    Finish(usbio::kStatusNoDevice, 0);
                } else if (!s.bulkIn.empty()) {
                    size_t n = std::min<size_t>(outSize_, s.bulkIn.size());
                    if (s.shortRead && n > 1) --n;
                    std::copy(s.bulkIn.begin(), s.bulkIn.begin() + static_cast<std::ptrdiff_t>(n), out_);
                    s.bulkIn.erase(s.bulkIn.begin(), s.bulkIn.begin() + static_cast<std::ptrdiff_t>(n));
                    Finish(usbio::kSuccess, static_cast<uint32_t>(n));
                }
            } else if (pending_ == 0) {
                const uint32_t n = std::min<uint32_t>(outSize_, static_cast<uint32_t>(data_.size()));
                if (status_ == usbio::kSuccess && n > 0) std::memcpy(out_, data_.data(), n);
                Finish(status_, status_ == usbio::kSuccess ? n : 0);
            } else if (pending_ > 0) {
                --pending_;
            }
        }
        if (count) *count = done_ ? count_ : 0;
        return done_ ? status_ : usbio::kIoIncomplete;
    }

private:
    void Finish(Status s, uint32_t n) {
        status_ = s;
        count_ = n;
        done_ = true;
    }

    std::shared_ptr<State> st_;
    Status status_ = usbio::kIoIncomplete;
    std::vector<uint8_t> data_;
    uint8_t* out_ = nullptr;
    uint32_t outSize_ = 0;
    int pending_ = 0;
    bool bulkIn_ = false;
    int slot_ = 0;
    int generation_ = 0;
    bool done_ = false;
    uint32_t count_ = 0;
};

class EmulatedHandle : public usbio::Handle {
public:
    EmulatedHandle(std::shared_ptr<State> st, int slot, int generation, int id)
        : st_(std::move(st)), slot_(slot), generation_(generation), id_(id) {}

    ~EmulatedHandle() override {
        std::lock_guard<std::mutex> lock(st_->m);
        Slot& s = Get();
        --s.openHandles;
        // Closing the configuring handle releases its configuration.
        if (s.configOwner == id_ && s.generation == generation_) s.configOwner = 0;
    }

    Status Ioctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                 uint32_t* count) override {
        if (count) *count = 0;
        switch (code) {
            case usbio::kIoctlGetConfiguration:
            case usbio::kIoctlSetConfiguration:
            case usbio::kIoctlUnconfigureDevice:
            case usbio::kIoctlBindPipe:
            case usbio::kIoctlUnbindPipe:
                break;
            default: {
                std::unique_ptr<usbio::Transfer> t = BeginIoctl(code, in, inSize, out, outSize);
                for (int i = 0; i < 10000; ++i) {
                    const Status s = t->Poll(count);
                    if (s != usbio::kIoIncomplete) return s;
                }
                return usbio::kStatusTimeout;
            }
        }
        std::lock_guard<std::mutex> lock(st_->m);
        Slot& s = Get();
        Record(s, code, in, inSize, outSize);
        if (Stale(s)) return usbio::kStatusNoDevice;
        switch (code) {
            case usbio::kIoctlGetConfiguration:
                if (!out || outSize < 1) return usbio::kStatusInvalidParameter;
                if (s.configurationUnreadable) return usbio::kStatusIoError;
                out[0] = (s.configOwner != 0 || s.configuredElsewhere) ? s.device.Settings().configurationValue : 0;
                if (count) *count = 1;
                return usbio::kSuccess;
            case usbio::kIoctlSetConfiguration: {
                if (!in || inSize != usbio::kConfigurationRequestSize) return usbio::kStatusInvalidParameter;
                if (s.configuredElsewhere || (s.configOwner != 0 && s.configOwner != id_)) return usbio::kStatusBusy;
                const uint16_t interfaces = U16(in + 2);
                if (interfaces < 1 || interfaces > usbio::kConfigurationEntries) return usbio::kStatusInvalidParameter;
                if (U16(in) != 0 || U16(in + 4) != 0) return usbio::kStatusNotFound;
                const uint16_t alternate = U16(in + 6);
                if (alternate != (s.alternate1Only ? 1 : 0)) return usbio::kStatusRequestFailed;
                s.configOwner = id_;
                return usbio::kSuccess;
            }
            case usbio::kIoctlUnconfigureDevice:
                if (s.configOwner == 0) return usbio::kStatusNotConfigured;
                if (s.configOwner != id_) return usbio::kStatusBusy;
                s.configOwner = 0;
                return usbio::kSuccess;
            case usbio::kIoctlBindPipe: {
                if (!in || inSize < 1) return usbio::kStatusInvalidParameter;
                if (s.configOwner == 0) return usbio::kStatusNotConfigured;
                const uint8_t ep = in[0];
                if (ep != 0x02 && ep != 0x81) return usbio::kStatusNotFound;
                if (s.unbindable.count(ep)) return usbio::kStatusRequestFailed;
                endpoint_ = ep;
                return usbio::kSuccess;
            }
            default:  // unbind
                if (endpoint_ < 0) return usbio::kStatusNotBound;
                endpoint_ = -1;
                return usbio::kSuccess;
        }
    }

    std::unique_ptr<usbio::Transfer> BeginIoctl(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                                                uint32_t outSize) override {
        std::lock_guard<std::mutex> lock(st_->m);
        Slot& s = Get();
        Record(s, code, in, inSize, outSize);
        if (Stale(s)) return Done(usbio::kStatusNoDevice);
        switch (code) {
            case usbio::kIoctlGetDescriptor: {
                if (!in || inSize != usbio::kDescriptorRequestSize || U32(in) > 3)
                    return Done(usbio::kStatusInvalidParameter);
                const uint8_t type = in[4];
                const uint8_t index = in[5];
                std::optional<std::vector<uint8_t>> d;
                if (type == 1 && !s.deviceDescriptorUnreadable) d = s.device.DeviceDescriptor();
                if (type == 3 && !s.unreadableStrings.count(index)) d = s.device.StringDescriptor(index);
                if (!d) return Done(usbio::kStatusRequestFailed);
                return Data(std::move(*d), out, outSize);
            }
            case usbio::kIoctlClassOrVendorInRequest: {
                if (!in || inSize != usbio::kVendorRequestHeaderSize) return Done(usbio::kStatusInvalidParameter);
                if (U32(in + 4) != usbio::kRequestTypeVendor || U32(in + 8) != 0)
                    return Done(usbio::kStatusRequestFailed);
                if (s.hangs > 0) {
                    --s.hangs;
                    return std::make_unique<EmulatedTransfer>(st_, usbio::kSuccess, std::vector<uint8_t>{}, out,
                                                              outSize, -1);
                }
                if (s.timeouts > 0) {
                    --s.timeouts;
                    return Done(usbio::kStatusTimeout);
                }
                if (s.stalls > 0) {
                    --s.stalls;
                    return Done(usbio::kStatusRequestFailed);
                }
                std::optional<std::vector<uint8_t>> answer =
                    s.device.VendorIn(in[13], U16(in + 14), U16(in + 16), static_cast<uint16_t>(std::min(outSize, 0xFFFFu)));
                if (!answer) return Done(usbio::kStatusRequestFailed);
                if (s.shortRead && !answer->empty()) answer->pop_back();
                if (s.garbleEcho && !answer->empty()) (*answer)[0] ^= 0xFF;
                return Data(std::move(*answer), out, outSize);
            }
            case usbio::kIoctlClassOrVendorOutRequest:
                if (!in || inSize != usbio::kVendorRequestHeaderSize) return Done(usbio::kStatusInvalidParameter);
                return Done(usbio::kSuccess);
            case usbio::kIoctlGetDriverInfo:
                // Interface version 1.00, backend 2 (emulated).
                return Data({0x00, 0x01, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, out, outSize);
            case usbio::kIoctlResetPipe:
                return Done(endpoint_ >= 0 ? usbio::kSuccess : usbio::kStatusNotBound);
            default:
                return Done(usbio::kStatusInvalidParameter);
        }
    }

    Status WritePipe(const uint8_t* data, uint32_t len, uint32_t* written) override {
        if (written) *written = 0;
        std::unique_lock<std::mutex> lock(st_->m);
        Slot* s = &Get();
        if (Stale(*s)) return usbio::kStatusNoDevice;
        if (endpoint_ != 0x02) return usbio::kStatusNotBound;
        if (s->gateClosed) {
            ++s->heldWrites;
            st_->cv.notify_all();
            const bool through =
                st_->cv.wait_for(lock, kGateLimit, [&] { return !s->gateClosed || s->gatePermits > 0 || Stale(*s); });
            --s->heldWrites;
            if (!through) return usbio::kStatusIoError;
            if (Stale(*s)) return usbio::kStatusNoDevice;
            if (s->gateClosed) --s->gatePermits;
        }
        if (s->bulkOutFailAfter >= 0 && s->bulkOutBytes + len > static_cast<uint64_t>(s->bulkOutFailAfter))
            return usbio::kStatusIoError;
        s->bulkOut.emplace_back(data, data + len);
        s->bulkOutBytes += len;
        const FrameOutcome outcome = s->device.BulkOut(data, len);
        if (outcome.restartMode) st_->Restart(*s, *outcome.restartMode);
        if (written) *written = len;
        st_->cv.notify_all();
        return usbio::kSuccess;
    }

    std::unique_ptr<usbio::Transfer> BeginReadPipe(uint8_t* data, uint32_t len) override {
        std::lock_guard<std::mutex> lock(st_->m);
        Slot& s = Get();
        s.bulkInRequests.push_back(len);
        if (Stale(s)) return Done(usbio::kStatusNoDevice);
        if (endpoint_ != 0x81) return Done(usbio::kStatusNotBound);
        return std::make_unique<EmulatedTransfer>(st_, slot_, generation_, data, len);
    }

private:
    Slot& Get() const { return *st_->slots[static_cast<size_t>(slot_)]; }
    bool Stale(const Slot& s) const { return !s.present || !s.plugged || s.generation != generation_; }

    void Record(Slot& s, uint32_t code, const uint8_t* in, uint32_t inSize, uint32_t outSize) {
        s.requests.push_back({code, in ? std::vector<uint8_t>(in, in + inSize) : std::vector<uint8_t>{}, outSize, id_});
    }

    std::unique_ptr<usbio::Transfer> Done(Status status) {
        return std::make_unique<EmulatedTransfer>(st_, status, std::vector<uint8_t>{}, nullptr, 0, 0);
    }
    std::unique_ptr<usbio::Transfer> Data(std::vector<uint8_t> bytes, uint8_t* out, uint32_t outSize) {
        return std::make_unique<EmulatedTransfer>(st_, usbio::kSuccess, std::move(bytes), out, outSize, 0);
    }

    std::shared_ptr<State> st_;
    int slot_;
    int generation_;
    int id_;
    int endpoint_ = -1;
};

}  // namespace

EmulatedUsbDriver::EmulatedUsbDriver() : state_(std::make_shared<State>()) {}
EmulatedUsbDriver::~EmulatedUsbDriver() = default;

int EmulatedUsbDriver::AddDevice(const OlderUsbDeviceSettings& settings) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->slots.push_back(std::make_unique<Slot>(settings));
    return static_cast<int>(state_->slots.size()) - 1;
}

void EmulatedUsbDriver::Unplug(int device) {
    std::lock_guard<std::mutex> lock(state_->m);
    Slot& s = *state_->slots.at(static_cast<size_t>(device));
    s.plugged = false;
    s.present = false;
    s.configOwner = 0;
    state_->cv.notify_all();
}

void EmulatedUsbDriver::SetFault(int device, UsbioFault fault, int value) {
    std::lock_guard<std::mutex> lock(state_->m);
    Slot& s = *state_->slots.at(static_cast<size_t>(device));
    switch (fault) {
        case UsbioFault::Timeout:
            s.timeouts = value;
            break;
        case UsbioFault::Stall:
            s.stalls = value;
            break;
        case UsbioFault::Hang:
            s.hangs = value;
            break;
        case UsbioFault::ShortRead:
            s.shortRead = value != 0;
            break;
        case UsbioFault::GarbleEcho:
            s.garbleEcho = value != 0;
            break;
        case UsbioFault::ConfiguredElsewhere:
            s.configuredElsewhere = value != 0;
            break;
        case UsbioFault::ConfigurationUnreadable:
            s.configurationUnreadable = value != 0;
            break;
        case UsbioFault::StringUnreadable:
            s.unreadableStrings.insert(value);
            break;
        case UsbioFault::DeviceDescriptorUnreadable:
            s.deviceDescriptorUnreadable = value != 0;
            break;
        case UsbioFault::PipeNotBindable:
            s.unbindable.insert(value);
            break;
        case UsbioFault::AlternateSetting1Only:
            s.alternate1Only = value != 0;
            break;
        case UsbioFault::BulkOutFailsAfter:
            s.bulkOutFailAfter = value;
            break;
        case UsbioFault::CannotOpen:
            s.cannotOpen = value != 0;
            break;
        case UsbioFault::StayInBootLoader:
            s.stayInBootLoader = value != 0;
            break;
        case UsbioFault::NeverReturn:
            s.neverReturn = value != 0;
            break;
        case UsbioFault::Busy:
            s.device.SetBusy(value);
            break;
        case UsbioFault::StatusError:
            s.device.SetStatusError(value != 0);
            break;
    }
}

bool EmulatedUsbDriver::SetFault(int device, std::string_view name, int value) {
    const std::optional<UsbioFault> fault = UsbioFaultFromName(name);
    if (!fault) return false;
    SetFault(device, *fault, value);
    return true;
}

void EmulatedUsbDriver::ClearFaults(int device) {
    std::lock_guard<std::mutex> lock(state_->m);
    Slot& s = *state_->slots.at(static_cast<size_t>(device));
    s.timeouts = s.stalls = s.hangs = 0;
    s.shortRead = s.garbleEcho = s.configuredElsewhere = s.deviceDescriptorUnreadable = false;
    s.configurationUnreadable = false;
    s.unreadableStrings.clear();
    s.unbindable.clear();
    s.alternate1Only = s.cannotOpen = s.stayInBootLoader = s.neverReturn = false;
    s.bulkOutFailAfter = -1;
    s.device.SetBusy(0);
    s.device.SetStatusError(false);
}

void EmulatedUsbDriver::SetRawString(int device, uint8_t index, std::vector<uint8_t> descriptor) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->slots.at(static_cast<size_t>(device))->device.SetRawString(index, std::move(descriptor));
}

void EmulatedUsbDriver::QueueBulkIn(int device, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(state_->m);
    Slot& s = *state_->slots.at(static_cast<size_t>(device));
    s.bulkIn.insert(s.bulkIn.end(), bytes.begin(), bytes.end());
}

void EmulatedUsbDriver::SetBulkOutGate(int device, bool closed) {
    std::lock_guard<std::mutex> lock(state_->m);
    Slot& s = *state_->slots.at(static_cast<size_t>(device));
    s.gateClosed = closed;
    s.gatePermits = 0;
    state_->cv.notify_all();
}

void EmulatedUsbDriver::AllowBulkOut(int device, int writes) {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->slots.at(static_cast<size_t>(device))->gatePermits += writes;
    state_->cv.notify_all();
}

std::vector<EmulatedUsbDriver::Request> EmulatedUsbDriver::Requests(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->requests;
}

size_t EmulatedUsbDriver::CountRequests(int device, uint32_t code) const {
    std::lock_guard<std::mutex> lock(state_->m);
    const auto& r = state_->slots.at(static_cast<size_t>(device))->requests;
    return static_cast<size_t>(std::count_if(r.begin(), r.end(), [&](const Request& q) { return q.code == code; }));
}

std::vector<std::vector<uint8_t>> EmulatedUsbDriver::BulkOutWrites(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->bulkOut;
}

std::vector<uint32_t> EmulatedUsbDriver::BulkInRequests(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->bulkInRequests;
}

bool EmulatedUsbDriver::WaitForBulkOutWrites(int device, size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(state_->m);
    const Slot& s = *state_->slots.at(static_cast<size_t>(device));
    return state_->cv.wait_for(lock, limit, [&] { return s.bulkOut.size() >= count; });
}

bool EmulatedUsbDriver::WaitForHeldWrite(int device, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(state_->m);
    const Slot& s = *state_->slots.at(static_cast<size_t>(device));
    return state_->cv.wait_for(lock, limit, [&] { return s.heldWrites > 0 && s.gatePermits == 0; });
}

std::vector<std::vector<uint8_t>> EmulatedUsbDriver::Frames(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->device.Frames();
}

std::optional<std::vector<uint8_t>> EmulatedUsbDriver::UpdateData(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->device.UpdateData();
}

int EmulatedUsbDriver::OpenHandles(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->openHandles;
}

bool EmulatedUsbDriver::Configured(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->configOwner != 0;
}

bool EmulatedUsbDriver::BootLoader(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->device.BootLoader();
}

bool EmulatedUsbDriver::ServiceModeActive(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->device.ServiceModeActive();
}

int EmulatedUsbDriver::Restarts(int device) const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->slots.at(static_cast<size_t>(device))->restarts;
}

uint64_t EmulatedUsbDriver::Polls() const { return state_->polls.load(); }
uint64_t EmulatedUsbDriver::CancelledTransfers() const { return state_->cancelled.load(); }

usbio::Enumeration EmulatedUsbDriver::DeviceInterface(int index, std::string* devicePath) {
    std::lock_guard<std::mutex> lock(state_->m);
    int seen = 0;
    for (size_t i = 0; i < state_->slots.size(); ++i) {
        Slot& s = *state_->slots[i];
        state_->Refresh(s);
        if (!s.present) continue;
        if (seen++ == index) {
            *devicePath = kPathPrefix + std::to_string(i);
            return usbio::Enumeration::Found;
        }
    }
    return usbio::Enumeration::End;
}

std::unique_ptr<usbio::Handle> EmulatedUsbDriver::OpenPath(const std::string& devicePath, bool /*overlapped*/,
                                                           usbio::Status* error) {
    if (error) *error = usbio::kStatusNoDevice;
    const std::string prefix = kPathPrefix;
    if (devicePath.compare(0, prefix.size(), prefix) != 0) return nullptr;
    const std::string number = devicePath.substr(prefix.size());
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 6)
        return nullptr;
    const size_t index = std::stoul(number);
    std::lock_guard<std::mutex> lock(state_->m);
    if (index >= state_->slots.size()) return nullptr;
    Slot& s = *state_->slots[index];
    state_->Refresh(s);
    if (!s.present) return nullptr;
    if (s.cannotOpen) {
        if (error) *error = usbio::kStatusAccessDenied;
        return nullptr;
    }
    ++s.openHandles;
    return std::make_unique<EmulatedHandle>(state_, static_cast<int>(index), s.generation, state_->nextHandle++);
}

}  // namespace quillon_sim
