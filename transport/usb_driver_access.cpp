// The layer above the USB driver: request layouts, repetitions, poll budgets, piece sizes,
// descriptor conversion and the log lines. Backends only carry the requests out.
#include "transport/usb_driver_access.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "devlib/library.h"
#include "platform/clock.h"

namespace velmora {
namespace {

thread_local uint32_t t_lastUsbError = 0;

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 18-byte class-or-vendor request header: vendor request to the device, short transfer
// allowed.
std::array<uint8_t, usbio::kVendorRequestHeaderSize> VendorHeader(uint8_t bRequest, uint16_t wValue,
                                                                  uint16_t wIndex) {
    std::array<uint8_t, usbio::kVendorRequestHeaderSize> h{};
    PutU32(h.data(), usbio::kShortTransferOk);
    PutU32(h.data() + 4, usbio::kRequestTypeVendor);
    PutU32(h.data() + 8, 0);  // recipient: device
    h[12] = 0;                // reserved type bits
    h[13] = bRequest;
    PutU16(h.data() + 14, wValue);
    PutU16(h.data() + 16, wIndex);
    return h;
}

// The 260-byte configuration request: configuration index 0, one interface (0) with the
// given alternate setting and transfers of up to 65,536 bytes.
std::array<uint8_t, usbio::kConfigurationRequestSize> ConfigurationRequest(uint16_t alternateSetting) {
    std::array<uint8_t, usbio::kConfigurationRequestSize> r{};
    PutU16(r.data(), 0);
    PutU16(r.data() + 2, 1);
    PutU16(r.data() + 4, 0);
    PutU16(r.data() + 6, alternateSetting);
    PutU32(r.data() + 8, 65536);
    return r;
}

}  // namespace

uint32_t LastUsbError() { return t_lastUsbError; }
void SetLastUsbError(uint32_t status) { t_lastUsbError = status; }

void ChannelLog(const char* format, ...) {
    char text[kChannelLogSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (char* log = LogEntry()) LogPrintf(log, "USBCommunication / %s", text);
}

void LogUsbError(const char* format, ...) {
    char text[kUsbErrorTextSize + 1];
    int n = std::snprintf(text, sizeof text, "GetLastError(0x%08X) ", LastUsbError());
    if (n < 0) n = 0;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + n, sizeof text - static_cast<size_t>(n), format, args);
    va_end(args);
    ChannelLog("USB  !E %s", text);
}

usbio::Status USBIoctl(usbio::Handle* handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                       uint32_t outSize, uint32_t* count) {
    if (count) *count = 0;
    if (!handle) {
        SetLastUsbError(usbio::kStatusInvalidParameter);
        return usbio::kStatusInvalidParameter;
    }
    platform::Clock& clock = platform::GetClock();
    uint32_t moved = 0;
    usbio::Status status;
    {
        // The transfer is destroyed (and so cancelled, if still pending) before its buffer
        // goes back to the caller.
        std::unique_ptr<usbio::Transfer> transfer = handle->BeginIoctl(
            code, static_cast<const uint8_t*>(in), inSize, static_cast<uint8_t*>(out), outSize);
        status = transfer->Poll(&moved);
        for (uint32_t polls = 0;
             (status == usbio::kIoPending || status == usbio::kIoIncomplete) && polls < kIoctlMaxPolls; ++polls) {
            const usbio::Status s = transfer->Poll(&moved);
            if (s == usbio::kSuccess) {
                status = usbio::kSuccess;
            } else {
                status = s;
                clock.SleepMs(1);
            }
        }
        if (status != usbio::kSuccess) moved = 0;
    }
    if (count) *count = std::min(moved, outSize);
    if (status != usbio::kSuccess) SetLastUsbError(status);
    return status;
}

int OpenDeviceInterface(UsbHandle* device, UsbDetail* detail, int index) {
    usbio::Driver& driver = usbio::GetDriver();
    std::string path;
    switch (driver.DeviceInterface(index, &path)) {
        case usbio::Enumeration::End:
            return 0;
        case usbio::Enumeration::Unavailable: {
            // Without the set of device interfaces the driver's own numbered names remain.
            char legacy[64];
            std::snprintf(legacy, sizeof legacy, "\\\\.\\USBIO_Device%d", index);
            path = legacy;
            break;
        }
        case usbio::Enumeration::Found:
            if (path.empty()) {
                SetLastUsbError(kStatusDetailSizeZero);
                LogUsbError("GetDeviceInterfaceDetail:%X", kStatusDetailSizeZero);
                return 0;
            }
            break;
    }
    UsbDetail newDetail(new (std::nothrow) UsbInterfaceDetail{path});
    if (!newDetail) {
        LogUsbError("GetDeviceInterfaceDetail: USBIO_DETAIL_FAILED");
        return 0;
    }

    usbio::Status error = usbio::kStatusNoDevice;
    UsbHandle handle = driver.OpenPath(path, true, &error);
    if (!handle) {
        SetLastUsbError(error);
        LogUsbError("CreateFile: %X", kStatusCannotOpenPath);
        return 0;
    }
    uint8_t info[usbio::kDriverInfoSize] = {};
    if (USBIoctl(handle.get(), usbio::kIoctlGetDriverInfo, nullptr, 0, info, sizeof info, nullptr) !=
        usbio::kSuccess) {
        ReleaseDevice(&handle, &newDetail);
        return 0;
    }
    *device = std::move(handle);
    *detail = std::move(newDetail);
    return 1;
}

void ReleaseDevice(UsbHandle* device, UsbDetail* detail) {
    if (device && *device) {
        (*device)->Ioctl(usbio::kIoctlUnconfigureDevice, nullptr, 0, nullptr, 0, nullptr);
        device->reset();
    }
    if (detail) detail->reset();
}

int IsUSBMultibleDeviceAlreadyConfigured(usbio::Handle* device) {
    if (!device) return -1;
    uint8_t value = 0;
    uint32_t count = 0;
    const usbio::Status s = device->Ioctl(usbio::kIoctlGetConfiguration, nullptr, 0, &value, 1, &count);
    if (s != usbio::kSuccess || count < 1) {
        SetLastUsbError(s != usbio::kSuccess ? s : usbio::kStatusIoError);
        return -1;
    }
    return value;
}

bool USBConfigureDevice(usbio::Handle* device) {
    for (uint16_t alternateSetting : {uint16_t{0}, uint16_t{1}}) {
        const auto request = ConfigurationRequest(alternateSetting);
        const usbio::Status s =
            device ? device->Ioctl(usbio::kIoctlSetConfiguration, request.data(), request.size(), nullptr, 0, nullptr)
                   : usbio::kStatusInvalidParameter;
        if (s == usbio::kSuccess) return true;
        SetLastUsbError(s);
    }
    LogUsbError("USBConfigureDevice SetConfiguration");
    return false;
}

UsbHandle USBOpenEP(const UsbInterfaceDetail* detail, uint8_t endpoint) {
    usbio::Status bind = usbio::kStatusInvalidParameter;
    UsbHandle pipe;
    if (detail) pipe = usbio::GetDriver().OpenPath(detail->devicePath, (endpoint & 0x80) != 0, &bind);
    if (pipe) {
        bind = pipe->Ioctl(usbio::kIoctlBindPipe, &endpoint, 1, nullptr, 0, nullptr);
        USBIoctl(pipe.get(), usbio::kIoctlResetPipe, nullptr, 0, nullptr, 0, nullptr);
    }
    if (!pipe || bind != usbio::kSuccess) {
        SetLastUsbError(bind);
        LogUsbError("USBOpenEP(%X) BindPipe", endpoint);
        return nullptr;
    }
    return pipe;
}

UsbHandle USBCloseEP(UsbHandle pipe) {
    if (!pipe) return nullptr;
    const usbio::Status s = pipe->Ioctl(usbio::kIoctlUnbindPipe, nullptr, 0, nullptr, 0, nullptr);
    if (s == usbio::kSuccess) return nullptr;
    SetLastUsbError(s);
    return pipe;
}

uint32_t USBWrite(usbio::Handle* device, usbio::Handle* pipe, const uint8_t* data, uint32_t len) {
    // The zero-length vendor OUT request announces the data; its result does not matter.
    const auto header = VendorHeader(0, 0, 0);
    if (device)
        USBIoctl(device, usbio::kIoctlClassOrVendorOutRequest, header.data(), header.size(), nullptr, 0, nullptr);

    uint32_t written = 0;
    while (written < len) {
        const uint32_t piece = std::min(kUsbWritePiece, len - written);
        uint32_t n = 0;
        usbio::Status s = pipe && data ? pipe->WritePipe(data + written, piece, &n) : usbio::kStatusNotBound;
        // A write that reports success without taking a byte would repeat for ever.
        if (s == usbio::kSuccess && n == 0) s = usbio::kStatusIoError;
        if (s != usbio::kSuccess) {
            SetLastUsbError(s);
            LogUsbError("USBWrite (written= %d[Bytes])", static_cast<int>(written));
            break;
        }
        written += std::min(n, piece);
    }
    return written;
}

uint32_t USBReadBudget(uint32_t len) { return 50 + static_cast<uint32_t>(0.02192 * static_cast<double>(len)); }

uint32_t USBRead(usbio::Handle* pipe, uint8_t* data, uint32_t len) {
    if (!pipe || (!data && len > 0)) return 0;
    platform::Clock& clock = platform::GetClock();
    const uint32_t asked = len;
    int64_t budget = USBReadBudget(len);
    uint32_t read = 0;
    uint32_t remaining = len;
    uint32_t lastPiece = 0;
    usbio::Status state = usbio::kSuccess;
    while (remaining > 0) {
        const uint32_t piece = std::min(remaining, kUsbReadPiece);
        uint32_t n = 0;
        {
            // Destroying the transfer cancels a read still pending: it never completes into
            // memory that is handed back afterwards.
            std::unique_ptr<usbio::Transfer> transfer = pipe->BeginReadPipe(data + read, piece);
            usbio::Status s = transfer->Poll(&n);
            if (s == usbio::kSuccess) {
                state = usbio::kSuccess;
            } else if (s == usbio::kIoPending || s == usbio::kIoIncomplete) {
                state = s;
                while ((state == usbio::kIoPending || state == usbio::kIoIncomplete) && budget > 0) {
                    s = transfer->Poll(&n);
                    if (s == usbio::kSuccess) {
                        state = usbio::kSuccess;
                    } else {
                        state = s;
                        clock.SleepMs(1);
                        --budget;
                    }
                }
            } else {
                state = s;
            }
            if (state != usbio::kSuccess) n = 0;
        }
        n = std::min(n, piece);
        if (state != usbio::kSuccess) SetLastUsbError(state);
        lastPiece = n;
        remaining -= n;
        read += n;
        if (budget <= 0 || (state != usbio::kSuccess && state != usbio::kIoIncomplete)) {
            ChannelLog("(USBRead: soll: %d Bytes | ist: %d Bytes | letzteAnzGelesenerBytes: %d | timeout: %d)",
                       static_cast<int>(asked), static_cast<int>(read), static_cast<int>(lastPiece),
                       static_cast<int>(budget));
            break;
        }
    }
    if (remaining > 0)
        ChannelLog("(USBRead: .......Abbruch ! soll: %d Bytes | ist: %d Bytes | timeout: %d)", static_cast<int>(asked),
                   static_cast<int>(read), static_cast<int>(budget));
    return read;
}

bool USBVendorRequest(usbio::Handle* device, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, int32_t wLength,
                      std::vector<uint8_t>* reply) {
    if (wLength > kVendorRequestMaxLength || wLength < 0) {
        ChannelLog("USBVendorRequest / Vendor request length too big");
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(wLength));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const auto header = VendorHeader(bRequest, wValue, wIndex);
    uint32_t count = 0;
    auto issue = [&] {
        return USBIoctl(device, usbio::kIoctlClassOrVendorInRequest, header.data(), header.size(), buffer.data(),
                        static_cast<uint32_t>(wLength), &count);
    };
    usbio::Status s = issue();
    if (s == usbio::kStatusRequestFailed) {
        ChannelLog("!w USBVendorRequest Driver status code err= 0x%08X", s);
        s = issue();
    }
    for (int retry = 1; s == usbio::kStatusTimeout && retry <= kVendorTimeoutRepeats; ++retry) {
        ChannelLog("!w USBVendorRequest (Timeout occured / Pass through number %d) Driver status code err= 0x%08X",
                   retry, s);
        s = issue();
    }
    if (s == usbio::kSuccess) {
        // Only what the device sent: a short answer is not padded with older bytes.
        buffer.resize(std::min<size_t>(count, buffer.size()));
        *reply = std::move(buffer);
        return true;
    }
    LogUsbError("USBVendorRequest Driver status code (err= 0x%08X | bRequest: %d | wValue: %d | wIndex: %d | wLength: %d",
                s, bRequest, wValue, wIndex, static_cast<int>(wLength));
    return false;
}

bool USBGetDescriptor(uint8_t index, usbio::Handle* device, uint8_t type,
                      std::array<uint8_t, kDescriptorBufferSize>* buffer) {
    const uint8_t request[usbio::kDescriptorRequestSize] = {0, 0, 0, 0, type, index, 0, 0};
    // Every request starts from an empty buffer, so that a failed one never shows the
    // previous descriptor.
    buffer->fill(0);
    const usbio::Status s = USBIoctl(device, usbio::kIoctlGetDescriptor, request, sizeof request, buffer->data(),
                                     static_cast<uint32_t>(buffer->size()), nullptr);
    if (s != usbio::kSuccess) {
        LogUsbError("USBGetDescriptor Driver status code (err= 0x%08X)", s);
        if (s == usbio::kStatusRequestFailed) return false;
    }
    if (type == kDescriptorString) {
        // bLength as a signed byte: above 127 the text is empty. One character per UTF-16
        // code unit (its low byte), 31 at most.
        const int bLength = static_cast<int8_t>((*buffer)[0]);
        const int length = std::clamp((bLength - 2) / 2, 0, static_cast<int>(kDescriptorBufferSize / 2 - 1));
        std::array<uint8_t, kDescriptorBufferSize> text{};
        for (int i = 0; i < length; ++i) text[static_cast<size_t>(i)] = (*buffer)[2 + 2 * static_cast<size_t>(i)];
        *buffer = text;
    }
    return true;
}

}  // namespace velmora
