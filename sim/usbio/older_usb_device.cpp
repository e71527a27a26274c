// Device side of the older family: what the firmware answers and takes.
#include "sim/usbio/older_usb_device.h"

#include <cstdio>
#include <cstring>

namespace quillon_sim {
namespace {

constexpr uint32_t kMaxFrameLength = 16u << 20;

// The device secures its answers and checks frames with the plain 32-bit sum of the bytes.
uint32_t Sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return s;
}

void Put16BE(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}

uint32_t Get32BE(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

std::vector<uint8_t> Utf16Descriptor(const std::string& text) {
    std::vector<uint8_t> d;
    d.push_back(static_cast<uint8_t>(2 + 2 * text.size()));
    d.push_back(3);
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// The commands whose answers the device knows, by request code: the bytes it echoes (the
// start of the host's command) and the length of its data.
struct Query {
    uint8_t request;
    std::vector<uint8_t> echo;
    size_t length;
};

const Query* FindQuery(uint8_t request) {
    static const Query queries[] = {
        {0xFF, {0x1B, 0x64, 0x3F, 0x20}, 24},              // identity
        {0, {0x1B, 0x3F}, 30},                              // status
        {1, {0x1B, 0x70, 0x3F, 0x20}, 180},                 // parameters
        {20, {0x1B, 0x69, 0x54, 0x53, 0x3F, 0x20}, 22},     // sensors
        {23, {0x1B, 0x69, 0x73, 0x6D, 0x3F, 0x20}, 30},     // service-module status
        {24, {0x1B, 0x69, 0x44, 0x3F}, 26},                 // print head
    };
    for (const Query& q : queries)
        if (q.request == request) return &q;
    return nullptr;
}

}  // namespace

OlderUsbDevice::OlderUsbDevice(OlderUsbDeviceSettings settings)
    : settings_(std::move(settings)), bootLoader_(settings_.bootLoader), rawStrings_(256) {}

std::string OlderUsbDevice::ProductText() const {
    std::string text = settings_.product;
    if (text.empty()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%03d-%03d", settings_.model, settings_.variant);
        text = buffer;
    }
    if (bootLoader_) text += "-BW";
    return text;
}

std::vector<uint8_t> OlderUsbDevice::DeviceDescriptor() const {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, 0x4C, 0x2E, 0, 0, 0, 0, 1, 2, 3, 1};
    d[10] = static_cast<uint8_t>(settings_.productId);
    d[11] = static_cast<uint8_t>(settings_.productId >> 8);
    d[12] = static_cast<uint8_t>(settings_.bcdDevice);
    d[13] = static_cast<uint8_t>(settings_.bcdDevice >> 8);
    return d;
}

std::optional<std::vector<uint8_t>> OlderUsbDevice::StringDescriptor(uint8_t index) const {
    if (rawStrings_[index]) return rawStrings_[index];
    switch (index) {
        case 0:
            return std::vector<uint8_t>{4, 3, 0x09, 0x04};
        case 1:
            return Utf16Descriptor(settings_.manufacturer);
        case 2:
            return Utf16Descriptor(ProductText());
        case 3:
            return Utf16Descriptor(settings_.serial);
        default:
            return std::nullopt;
    }
}

void OlderUsbDevice::SetRawString(uint8_t index, std::vector<uint8_t> descriptor) {
    rawStrings_[index] = std::move(descriptor);
}

std::vector<uint8_t> OlderUsbDevice::StatusData() {
    std::vector<uint8_t> s(30, 0);
    Put16BE(s, 0, (frameError_ || forcedError_) ? 0x0001 : 0x0000);  // bit 0: the last frame failed
    s[18] = 85;   // battery
    s[19] = 70;   // cartridge level
    s[24] = 3;    // print counter
    s[25] = busyAnswers_ > 0 ? 1 : 0;
    if (busyAnswers_ > 0) --busyAnswers_;
    return s;
}

std::optional<std::vector<uint8_t>> OlderUsbDevice::VendorIn(uint8_t bRequest, uint16_t /*wValue*/,
                                                              uint16_t /*wIndex*/, uint16_t wLength) {
    const Query* q = FindQuery(bRequest);
    if (!q) return std::nullopt;
    std::vector<uint8_t> data(q->length, 0);
    switch (bRequest) {
        case 0xFF: {
            Put16BE(data, 2, settings_.model);
            Put16BE(data, 4, settings_.variant);
            for (size_t i = 0; i < 6 && i < settings_.serial.size(); ++i) data[6 + i] = static_cast<uint8_t>(settings_.serial[i]);
            Put16BE(data, 12, settings_.bcdDevice);
            break;
        }
        case 0:
            data = StatusData();
            break;
        case 1: {
            Put16BE(data, 2, 1);   // print sequence
            Put16BE(data, 14, 30); // speed
            std::memcpy(data.data() + 34, "Arial", 5);
            data[84] = 16;
            data[85] = 0x01;
            std::memcpy(data.data() + 86, "Courier", 7);
            data[136] = 24;
            data[137] = 0x00;
            data[171] = 2;  // spitting
            break;
        }
        case 20:
            data[15] = 0xFF;  // no ESP32 on this board
            break;
        case 23:
            data[0] = 1;                      // format
            data[1] = serviceMode_ ? 1 : 0;   // service module active
            Put16BE(data, 12, 0x0064);        // boot loader version 1.00
            break;
        case 24:
            data[2] = 1;  // print cartridge
            break;
        default:
            break;
    }
    std::vector<uint8_t> answer = q->echo;
    answer.insert(answer.end(), data.begin(), data.end());
    const uint32_t sum = Sum(data.data(), data.size());
    for (int shift = 24; shift >= 0; shift -= 8) answer.push_back(static_cast<uint8_t>(sum >> shift));
    if (answer.size() > wLength) answer.resize(wLength);
    return answer;
}

FrameOutcome OlderUsbDevice::BulkOut(const uint8_t* data, uint32_t len) {
    FrameOutcome outcome;
    assembly_.insert(assembly_.end(), data, data + len);
    while (assembly_.size() >= 4) {
        const uint32_t length = Get32BE(assembly_.data());
        if (length < 8 || length > kMaxFrameLength) {
            // Not a frame: everything buffered is dropped.
            assembly_.clear();
            frameError_ = true;
            ++rejected_;
            outcome.complete = true;
            break;
        }
        const size_t total = static_cast<size_t>(length) + 4;
        if (assembly_.size() < total) break;
        std::vector<uint8_t> frame(assembly_.begin(), assembly_.begin() + static_cast<std::ptrdiff_t>(total));
        assembly_.erase(assembly_.begin(), assembly_.begin() + static_cast<std::ptrdiff_t>(total));
        TakeFrame(frame, &outcome);
    }
    return outcome;
}

void OlderUsbDevice::TakeFrame(const std::vector<uint8_t>& frame, FrameOutcome* outcome) {
    outcome->complete = true;
    frames_.push_back(frame);
    const size_t n = frame.size() - 12;  // data bytes between the command and the sum
    const uint8_t* command = frame.data() + 4;
    const uint8_t* data = frame.data() + 8;
    const bool sumGood = Sum(data, n) == Get32BE(frame.data() + 8 + n);
    auto is = [&](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        return command[0] == a && command[1] == b && command[2] == c && command[3] == d;
    };
    bool accepted = false;
    if (sumGood && is(0x1B, 0x69, 0x73, 0x6D) && n >= 2) {
        serviceMode_ = data[1] != 0;
        accepted = true;
    } else if (sumGood && is(0x1B, 0x69, 0x55, 0x41) && n >= 2) {
        outcome->restartMode = data[1];
        accepted = true;
    } else if (sumGood && is(0x1B, 0x69, 0x55, 0x64) && n >= 16 && bootLoader_) {
        updateData_ = std::vector<uint8_t>(data, data + n);
        accepted = true;
    }
    frameError_ = !accepted;
    if (!accepted) ++rejected_;
    outcome->accepted = accepted;
}

void OlderUsbDevice::Restart(int mode, bool stayInBootLoader) {
    bootLoader_ = mode != 0 || stayInBootLoader;
    assembly_.clear();
    frameError_ = false;
    serviceMode_ = false;
    busyAnswers_ = 0;
}

}  // namespace quillon_sim
