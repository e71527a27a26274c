#include "tests/usbio/umockdev/umockdev_bus.h"

#include <dlfcn.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace umocktest {
namespace {

constexpr const char* kDeviceNode = "/dev/bus/usb/001/002";
constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kEndpointOut = 0x02;

// Configuration 1: one vendor-specific interface with bulk IN 0x81 and bulk OUT 0x02.
const std::vector<uint8_t> kConfiguration = {
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration, 32 bytes in all
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0, alternate 0
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN, 64-byte packets
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              // bulk OUT
};

quillon_sim::OlderUsbDeviceSettings Settings() {
    quillon_sim::OlderUsbDeviceSettings s;
    s.model = 640;
    s.serial = "A12345";
    s.productId = 0x0640;
    return s;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02X", x);
        out += b;
    }
    return out;
}

// The sysfs record of the device, as umockdev-record writes one.
std::string Record(const quillon_sim::OlderUsbDevice& device) {
    std::vector<uint8_t> descriptors = device.DeviceDescriptor();
    descriptors.insert(descriptors.end(), kConfiguration.begin(), kConfiguration.end());
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
           "N: bus/usb/001/002\n"
           "E: DEVNAME=/dev/bus/usb/001/002\n"
           "E: DEVTYPE=usb_device\n"
           "E: SUBSYSTEM=usb\n"
           "E: BUSNUM=001\n"
           "E: DEVNUM=002\n"
           "E: MAJOR=189\n"
           "E: MINOR=1\n"
           "E: PRODUCT=2e4c/640/185\n"
           "A: busnum=1\n"
           "A: devnum=2\n"
           "A: dev=189:1\n"
           "A: speed=12\n"
           "A: bConfigurationValue=1\n"
           "A: bNumConfigurations=1\n"
           "A: idVendor=2e4c\n"
           "A: idProduct=0640\n"
           "H: descriptors=" +
           Hex(descriptors) + "\n";
}

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    GError* error = nullptr;
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(data, offset, len, &error);
    if (error) g_error_free(error);
    return out;
}

// The resolved pieces of one request, given back once it is complete.
struct Resolved {
    std::vector<UMockdevIoctlData*> held;
    UMockdevIoctlData* Add(UMockdevIoctlData* d) {
        if (d) held.push_back(d);
        return d;
    }
    ~Resolved() {
        for (UMockdevIoctlData* d : held) g_object_unref(d);
    }
};

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedBus*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

}  // namespace

// Runs this program again under umockdev's preload (once), so that CTest, its test discovery
// and a person starting it by hand need no wrapper. In a sanitizer build the preload comes
// before the sanitizer's runtime, which it must be told to accept.
__attribute__((constructor)) void RunUnderUmockdev() {
    if (std::getenv("QUILLON_UMOCKDEV_REEXEC")) return;
    setenv("QUILLON_UMOCKDEV_REEXEC", "1", 1);
    std::string preload = "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD")) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string a; std::getline(cmdline, a, '\0');) args.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    // Without the preload the tests skip and say why.
}

bool EmulatedBus::Available() {
    // Loaded, not merely named in LD_PRELOAD (the package that has it may be missing);
    // umockdev_in_mock_environment() only answers once a test bed exists.
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (!preload) return false;
    dlclose(preload);
    return true;
}

EmulatedBus* EmulatedBus::Get() {
    static EmulatedBus* bus = Available() ? new EmulatedBus() : nullptr;
    return bus;
}

EmulatedBus::EmulatedBus() : device_(std::make_unique<quillon_sim::OlderUsbDevice>(Settings())) {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, Record(*device_).c_str(), &error))
        throw std::runtime_error(error ? error->message : "umockdev: device record refused");
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed, kDeviceNode, handler, &error))
        throw std::runtime_error(error ? error->message : "umockdev: ioctl handler refused");
    // The test bed lives as long as the program: libusb keeps the device for its lifetime.
}

void EmulatedBus::Reset() {
    std::lock_guard<std::mutex> lock(m_);
    device_ = std::make_unique<quillon_sim::OlderUsbDevice>(Settings());
    urbs_.clear();
    bulkIn_.clear();
    setups_.clear();
    bulk_.clear();
    bulkOut_.clear();
    claimed_.clear();
    discarded_ = 0;
    missControl_ = 0;
    goneAfterOut_.reset();
    goneAtIn_ = false;
    gone_ = false;
}

std::vector<SetupPacket> EmulatedBus::Setups() {
    std::lock_guard<std::mutex> lock(m_);
    return setups_;
}
std::vector<BulkUrb> EmulatedBus::BulkUrbs() {
    std::lock_guard<std::mutex> lock(m_);
    return bulk_;
}
std::vector<uint8_t> EmulatedBus::BulkOutBytes() {
    std::lock_guard<std::mutex> lock(m_);
    return bulkOut_;
}
int EmulatedBus::Discarded() {
    std::lock_guard<std::mutex> lock(m_);
    return discarded_;
}
std::vector<int> EmulatedBus::ClaimedInterfaces() {
    std::lock_guard<std::mutex> lock(m_);
    return claimed_;
}
void EmulatedBus::QueueBulkIn(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_);
    bulkIn_.insert(bulkIn_.end(), bytes.begin(), bytes.end());
    FeedBulkIn();
}
void EmulatedBus::MissControlTransfers(int n) {
    std::lock_guard<std::mutex> lock(m_);
    missControl_ = n;
}
void EmulatedBus::GoneAfterBulkOut(uint32_t bytes) {
    std::lock_guard<std::mutex> lock(m_);
    goneAfterOut_ = bytes;
}
void EmulatedBus::GoneAtNextBulkIn() {
    std::lock_guard<std::mutex> lock(m_);
    goneAtIn_ = true;
}
bool EmulatedBus::Gone() {
    std::lock_guard<std::mutex> lock(m_);
    return gone_;
}

// Caller holds m_. Bulk IN URBs complete, in order, with what the device has (a short
// packet ends a transfer early, as on the wire).
void EmulatedBus::FeedBulkIn() {
    for (Urb& u : urbs_) {
        if (u.done || u.endpoint != kEndpointIn || bulkIn_.empty()) continue;
        const size_t n = std::min<size_t>(u.length, bulkIn_.size());
        u.in.assign(bulkIn_.begin(), bulkIn_.begin() + static_cast<std::ptrdiff_t>(n));
        bulkIn_.erase(bulkIn_.begin(), bulkIn_.begin() + static_cast<std::ptrdiff_t>(n));
        u.done = true;
        u.status = 0;
    }
}

// Caller holds m_. The device's answer to a control transfer (buffer: setup packet, data).
void EmulatedBus::Answer(Urb& urb, const std::vector<uint8_t>& buffer) {
    const SetupPacket& s = setups_.back();
    std::optional<std::vector<uint8_t>> data;
    if (s.requestType == 0x80 && s.request == 0x06) {  // GET_DESCRIPTOR
        const uint8_t type = static_cast<uint8_t>(s.value >> 8);
        const uint8_t index = static_cast<uint8_t>(s.value);
        if (type == 1) data = device_->DeviceDescriptor();
        if (type == 2) data = kConfiguration;
        if (type == 3) data = device_->StringDescriptor(index);
    } else if (s.requestType == 0xC0) {  // vendor IN to the device
        data = device_->VendorIn(s.request, s.value, s.index, s.length);
    } else if (s.requestType == 0x40 && buffer.size() == 8) {  // vendor OUT without data
        data = std::vector<uint8_t>();
    }
    urb.done = true;
    if (!data) {
        urb.status = -EPIPE;  // the device stalls what it does not know
        return;
    }
    if (data->size() > s.length) data->resize(s.length);
    urb.in = *data;
}

// Caller holds m_. The device leaves the bus: the kernel ends its pending URBs, and every
// later request fails.
void EmulatedBus::Unplug() {
    gone_ = true;
    for (Urb& u : urbs_) {
        if (u.done) continue;
        u.done = true;
        u.status = -ESHUTDOWN;
    }
}

bool EmulatedBus::Reap(void* c) {
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    auto it = std::find_if(urbs_.begin(), urbs_.end(), [](const Urb& u) { return u.done; });
    if (it == urbs_.end()) {
        umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return true;
    }
    const Urb urb = *it;
    urbs_.erase(it);
    Resolved r;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // The host's pointer variable gets the URB's address; the URB itself its outcome.
    UMockdevIoctlData* pointer = r.Add(Resolve(arg, 0, sizeof(void*)));
    std::memcpy(pointer->data, &urb.address, sizeof urb.address);
    UMockdevIoctlData* u = r.Add(Resolve(pointer, 0, sizeof(usbdevfs_urb)));
    auto* host = reinterpret_cast<usbdevfs_urb*>(u->data);
    host->status = urb.status;
    // Control transfers count their data stage only; their direction is in the setup packet.
    const bool bulkOut = urb.type == USBDEVFS_URB_TYPE_BULK && (urb.endpoint & 0x80) == 0;
    host->actual_length = static_cast<int>(bulkOut && urb.status == 0 ? urb.length : urb.in.size());
    if (!urb.in.empty()) {
        const size_t offset = urb.type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
        UMockdevIoctlData* b = r.Add(Resolve(u, offsetof(usbdevfs_urb, buffer), offset + urb.in.size()));
        std::memcpy(b->data + offset, urb.in.data(), urb.in.size());
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

bool EmulatedBus::HandleIoctl(void* c) {
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_);
    auto finish = [&](long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return true;
    };
    Resolved r;
    switch (request) {
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return Reap(client);
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = r.Add(Resolve(arg, 0, sizeof(uint32_t)));
            std::memset(d->data, 0, sizeof(uint32_t));
            return finish(0, 0);
        }
        default:
            break;
    }
    if (gone_) return finish(-1, ENODEV);
    switch (request) {
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* d = r.Add(Resolve(arg, 0, sizeof(unsigned)));
            unsigned interface = 0;
            std::memcpy(&interface, d->data, sizeof interface);
            if (interface != 0) return finish(-1, ENOENT);
            if (request == USBDEVFS_CLAIMINTERFACE)
                claimed_.push_back(static_cast<int>(interface));
            else
                claimed_.erase(std::remove(claimed_.begin(), claimed_.end(), static_cast<int>(interface)),
                               claimed_.end());
            return finish(0, 0);
        }
        case USBDEVFS_SETINTERFACE: {
            UMockdevIoctlData* d = r.Add(Resolve(arg, 0, sizeof(usbdevfs_setinterface)));
            usbdevfs_setinterface s{};
            std::memcpy(&s, d->data, sizeof s);
            return s.interface == 0 && s.altsetting == 0 ? finish(0, 0) : finish(-1, EINVAL);
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
            return finish(0, 0);
        case USBDEVFS_GETDRIVER:
            return finish(-1, ENODATA);  // no kernel driver holds the interface
        case USBDEVFS_DISCARDURB: {
            uint64_t address = 0;
            std::memcpy(&address, arg->data, sizeof address);
            for (Urb& u : urbs_) {
                if (u.address != address || u.done) continue;
                u.done = true;
                u.status = -ENOENT;
                u.in.clear();
                ++discarded_;
                return finish(0, 0);
            }
            return finish(-1, EINVAL);
        }
        case USBDEVFS_SUBMITURB: {
            Urb urb;
            std::memcpy(&urb.address, arg->data, sizeof urb.address);
            UMockdevIoctlData* u = r.Add(Resolve(arg, 0, sizeof(usbdevfs_urb)));
            usbdevfs_urb host{};
            std::memcpy(&host, u->data, sizeof host);
            urb.type = host.type;
            urb.endpoint = host.endpoint;
            urb.length = static_cast<uint32_t>(host.buffer_length);
            std::vector<uint8_t> buffer;
            if (host.buffer_length > 0) {
                UMockdevIoctlData* b = r.Add(Resolve(u, offsetof(usbdevfs_urb, buffer), urb.length));
                buffer.assign(b->data, b->data + urb.length);
            }
            if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
                if (buffer.size() < 8) return finish(-1, EINVAL);
                SetupPacket s;
                s.requestType = buffer[0];
                s.request = buffer[1];
                s.value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
                s.index = static_cast<uint16_t>(buffer[4] | buffer[5] << 8);
                s.length = static_cast<uint16_t>(buffer[6] | buffer[7] << 8);
                setups_.push_back(s);
                if (missControl_ > 0)
                    --missControl_;  // stays pending
                else
                    Answer(urb, buffer);
            } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kEndpointOut) {
                bulk_.push_back({urb.endpoint, urb.length});
                bulkOut_.insert(bulkOut_.end(), buffer.begin(), buffer.end());
                device_->BulkOut(buffer.data(), static_cast<uint32_t>(buffer.size()));
                urb.done = true;
                if (goneAfterOut_ && bulkOut_.size() >= *goneAfterOut_) Unplug();
            } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kEndpointIn) {
                bulk_.push_back({urb.endpoint, urb.length});
                if (goneAtIn_) {
                    // Unplugged while the read is pending.
                    urbs_.push_back(std::move(urb));
                    Unplug();
                    return finish(0, 0);
                }
            } else {
                return finish(-1, EINVAL);
            }
            urbs_.push_back(std::move(urb));
            FeedBulkIn();
            return finish(0, 0);
        }
        default:
            return finish(-1, ENOTTY);
    }
}

}  // namespace umocktest
