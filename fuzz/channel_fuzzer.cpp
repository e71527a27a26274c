// The channel's COM route over a scripted port: the device answers with the input. Open runs
// the identification (device-information reply and identity text); then the channel carries
// requests, short requests, pre-framed frames, data frames with their acknowledgement, reads
// and queries, each checking the reply header or acknowledgement it gets.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "devlib/velmora.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/scripted_port.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "transport/usb_communication.h"
#include "transport/usbio_driver.h"

using namespace velmora;

namespace {

class NoEvents : public platform::EventSink {
public:
    bool Report(const platform::Event&) override { return true; }
};

// A USB driver without devices: the open search goes straight to the COM ports.
class NoUsbDevices : public usbio::Driver {
public:
    usbio::Enumeration DeviceInterface(int, std::string*) override { return usbio::Enumeration::End; }
    std::unique_ptr<usbio::Handle> OpenPath(const std::string&, bool, usbio::Status* error) override {
        *error = usbio::kStatusNoDevice;
        return nullptr;
    }
};

struct Query {
    uint8_t cmd[6];
    int replyLen;
};
// Requests of the newer family with the reply lengths the library asks for.
constexpr Query kQueries[] = {
    {{0x05, 0x3F, 0x20, 0x53, 0, 0}, 30},   {{0x05, 0x3F, 0x20, 0x44, 1, 0}, 64},
    {{0x05, 0x3F, 0x20, 0x70, 0, 0}, 64},   {{0x05, 0x3F, 0x69, 0x69, 0, 0}, 16},
    {{0x05, 0x3F, 0x69, 0x73, 0, 0}, 22},   {{0x05, 0x3F, 0x69, 0x54, 0, 0}, 18},
    {{0x05, 0x3F, 0x69, 0x53, 0, 0}, 998},  {{0x05, 0x3F, 0x69, 0x44, 0, 0}, 26},
    {{0x05, 0x3F, 0x69, 0x75, 2, 0}, 4096}, {{0x05, 0x3F, 0x20, 0x69, 0, 0}, 32},
};

bool TransactResultValid(int r, int replyLen, const std::vector<uint8_t>& reply) {
    if (r > 0) return r == replyLen && reply.size() == static_cast<size_t>(replyLen);
    return r >= -4;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static NoEvents events;
    static NoUsbDevices driver;
    static platform::VirtualClock clock;
    char dir[] = "/tmp/quillon-fuzz-channel-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    setenv("VELMORA_COMMON_APPDATA", dir, 1);  // no log marker: the log stays off
    setenv("VELMORA_LOCK_DIR", dir, 1);
    setenv("VELMORA_COM_PORTS", (std::string("0A1F=") + fuzz::kScriptedPortPath).c_str(), 1);
    platform::SetEventSink(&events);
    platform::SetClock(&clock);
    usbio::SetDriver(&driver);
    InitLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t setup = in.Byte();
    const int ops = in.Byte() % 9;
    std::vector<uint8_t> op;
    for (int i = 0; i < ops * 3; ++i) op.push_back(in.Byte());
    fuzz::PortScript script;
    script.hangUpAtEnd = (setup & 1) != 0;
    script.readPiece = (setup & 2) ? 1 + (setup >> 4) : 0;
    script.writeLimit = (setup & 4) ? (setup >> 3) * 16u : SIZE_MAX;
    script.stream = in.Rest();
    fuzz::SetPortScript(script);

    CUSBCommunication ch;
    int ex = 0;
    if (ch.Open(nullptr, 0, &ex) != 1) return 0;
    if (ch.ComPort() == kInvalidComHandle) std::abort();

    std::vector<uint8_t> reply;
    for (int i = 0; i < ops; ++i) {
        const uint8_t kind = op[3 * i], a = op[3 * i + 1], b = op[3 * i + 2];
        switch (kind % 8) {
            case 0: {  // a request with its reply header check
                const Query& q = kQueries[a % 10];
                const int r = ch.Transact(-1, q.cmd, 6, q.replyLen, &reply);
                if (!TransactResultValid(r, q.replyLen, reply)) std::abort();
                break;
            }
            case 1: {  // a data frame and its acknowledgement
                std::vector<uint8_t> frame = {0x01, 0x00, 0, 0, 0x05, 0x20, 0x66, 0x61};
                frame.resize(8 + a, b);
                frame[2] = static_cast<uint8_t>(4 + a);
                const int r = ch.Write(frame.data(), static_cast<int>(frame.size()), 0, 0);
                if (r != 1 && r != -2 && r != -3) std::abort();
                break;
            }
            case 2: {  // short request 'r'
                const uint8_t cmd[4] = {0x05, 0x3F, 0x20, 'r'};
                const int r = ch.Transact(-1, cmd, 4, a, &reply);
                if (r > 1 || r < -4 || (r >= 0 && reply.size() != a + 4u)) std::abort();
                break;
            }
            case 3: {  // pre-framed frame
                const uint8_t frame[8] = {0x01, 0x00, 0x04, 0x00, 0x05, 0x20, a, 'R'};
                const int r = ch.Transact(-1, frame, 8, 0, &reply);
                if (r != 1 && r != 0 && r != -10 && r != -3) std::abort();
                break;
            }
            case 4: {  // a read of raw bytes
                std::vector<uint8_t> buffer(1 + a);
                const int r = ch.Read(buffer.data(), static_cast<uint32_t>(buffer.size()));
                if (r != 1 && r != -2) std::abort();
                break;
            }
            case 5: {  // a query with its parser on top
                DeviceStatus status{};
                SFModuleStatus module{};
                SFDeviceSensors sensors{};
                if (a & 1) ch.GetDeviceStatus(&status);
                if (a & 2) ch.GetSFModuleStatus(&module);
                if (a & 4) ch.GetSFDeviceSensors(&sensors);
                break;
            }
            case 6: {  // identification again
                const int r = ch.Identify();
                if (r != 1 && (r < -4 || r > -1)) std::abort();
                break;
            }
            default: {  // the update-data page read-back
                std::vector<uint8_t> page(kUpdateDataBlockSize);
                ch.GetSFDeviceUpdateData(b, page.data());
                break;
            }
        }
    }
    ch.Close();
    return 0;
}
