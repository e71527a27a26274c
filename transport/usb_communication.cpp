// CUSBCommunication: finds and opens a device, identifies it, and carries commands and frames
// over the route it was opened on.
#include "transport/usb_communication.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "devlib/commands.h"
#include "devlib/library.h"
#include "platform/clock.h"

namespace velmora {
namespace {

constexpr uint16_t kProduct660 = 0x0A1E;
constexpr uint16_t kProduct1160 = 0x0A1F;
constexpr int kMaxPorts = 100;
constexpr uint32_t kDownloadMutexWaitMs = 500;
constexpr int kDownloadBlocks = 100;
constexpr int kReopenAttempts = 12;

OpenDiagnostics g_openDiagnostics;

void Log(const char* line) {
    if (LogEntry()) LogWriteLine(line);
}

// Reads exactly len bytes into a fresh buffer; false when the port did not deliver them.
bool ReadExactly(ComHandle h, std::vector<uint8_t>* buffer, size_t len) {
    try {
        buffer->assign(len, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return ReadCOM(h, buffer->data(), static_cast<uint32_t>(len)) == 1;
}

uint32_t BE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The configuration probe with its log lines: true when no holder has configured the device.
// A failed probe counts as not configured.
bool FreeToConfigure(usbio::Handle* device) {
    Log("CUSBCommunication::GetListOfAvailableDevices / IsUSBMultibleDeviceAlreadyConfigured() Before");
    const int value = IsUSBMultibleDeviceAlreadyConfigured(device);
    if (value < 0) LogUsbError("IsUSBMultibleDevicesAlreadyConfigured failed");
    if (value == 1) {
        Log("CUSBCommunication::GetListOfAvailableDevices / IsUSBMultibleDeviceAlreadyConfigured() After / Failed");
        return false;
    }
    Log("CUSBCommunication::GetListOfAvailableDevices / IsUSBMultibleDeviceAlreadyConfigured() After / Success");
    return true;
}

// The text of a string descriptor, or nothing when the device refused it.
std::optional<std::string> ReadText(usbio::Handle* device, uint8_t index) {
    std::array<uint8_t, kDescriptorBufferSize> buffer{};
    if (!USBGetDescriptor(index, device, kDescriptorString, &buffer)) return std::nullopt;
    buffer.back() = 0;
    return std::string(reinterpret_cast<const char*>(buffer.data()));
}

// bcdDevice of the device descriptor (bytes 12 low, 13 high), or nothing when unreadable.
std::optional<uint16_t> ReadBcdDevice(usbio::Handle* device) {
    std::array<uint8_t, kDescriptorBufferSize> buffer{};
    if (!USBGetDescriptor(0, device, kDescriptorDevice, &buffer)) return std::nullopt;
    return static_cast<uint16_t>(buffer[13] << 8 | buffer[12]);
}

// Characters [from, from + count) of text, as far as it reaches.
std::string Part(const std::string& text, size_t from, size_t count) {
    return from < text.size() ? text.substr(from, count) : std::string();
}

uint16_t DecimalValue(const std::string& text) { return static_cast<uint16_t>(std::atoi(text.c_str())); }

// The product text names the model in characters 0-2 and the variant in 4-6; "-BW" from
// character 7 on marks the boot loader.
struct ProductText {
    std::string model;
    std::string variant;
    bool bootLoader;
};

ProductText SplitProduct(const std::string& product) {
    return {Part(product, 0, 3), Part(product, 4, 3), product.size() > 7 && product.find("-BW", 7) != std::string::npos};
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

void CopySerial(char* serial, const std::string& text) {
    std::memset(serial, 0, 7);
    std::memcpy(serial, text.data(), std::min<size_t>(text.size(), 6));
}

}  // namespace

CUSBCommunication::CUSBCommunication() = default;

CUSBCommunication::~CUSBCommunication() {
    // The library closes a channel before deleting it; whatever is still held goes anyway,
    // a running download first, so that it never writes through a closed pipe.
    EndDownloadThread();
    ReleaseUsbio();
    if (m_hCom != kInvalidComHandle) CloseCOM(m_hCom);
}

const OpenDiagnostics& LastOpenDiagnostics() { return g_openDiagnostics; }

CDeviceCommunication* NewUsbChannel() { return new (std::nothrow) CUSBCommunication(); }

int CUSBCommunication::MatchRequest(const char* request, int errModel, int errSerial) const {
    if (std::strchr(request, '-')) {
        if (request[0] == '-') return 16002;
        char text[32];
        std::snprintf(text, sizeof text, "%03d-%s", model, serial);
        return std::strcmp(request, text) == 0 ? 1 : errSerial;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%03d", model);
    return std::strcmp(request, text) == 0 ? 1 : errModel;
}

void CUSBCommunication::CloseComPort() {
    if (m_hCom != kInvalidComHandle) CloseCOM(m_hCom);
    m_hCom = kInvalidComHandle;
}

void CUSBCommunication::ClosePipes() {
    // A pipe the driver would not unbind is closed all the same: the channel keeps nothing
    // it no longer uses.
    USBCloseEP(std::move(m_hWritePipe)).reset();
    USBCloseEP(std::move(m_hReadPipe)).reset();
    m_hWritePipe.reset();
    m_hReadPipe.reset();
}

void CUSBCommunication::ReleaseUsbio() {
    ClosePipes();
    ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
}

void CUSBCommunication::EndDownloadThread() {
    if (m_hThread.joinable()) {
        if (m_download) m_download->stop = true;
        m_hThread.join();
    }
    m_hDownloadMutex.reset();
    if (m_download) m_download->mutex = nullptr;
}

int CUSBCommunication::Open(const char* model_serialNumber, int /*ignored*/, int* exErrorValue) {
    int exError = exErrorValue ? *exErrorValue : 0;
    g_openDiagnostics = OpenDiagnostics();
    // A download still running uses the handles that are about to be replaced.
    EndDownloadThread();
    m_hWritePipe.reset();
    m_hReadPipe.reset();
    m_hDevice.reset();
    m_hInterfaceDetail.reset();

    platform::NamedMutex* mutex = LibraryMutex();
    if (!mutex) {
        Log("CUSBCommunication::Open / m_hVelmoraMutex is NULL");
        if (exErrorValue) *exErrorValue = 16009;
        m_openedFlag = 0;
        return 0;
    }
    if (mutex->Lock(kLibraryMutexWaitMs) != platform::WaitResult::Acquired) {
        Log("CUSBCommunication::Open / Mutex timed out");
        if (exErrorValue) *exErrorValue = 16008;
        m_openedFlag = 0;
        return 0;
    }

    int result = OpenUsbioStage(model_serialNumber, &exError);
    if (result == 1)
        CloseComPort();  // the channel holds one route only
    else
        result = OpenComStage(model_serialNumber, &exError);

    mutex->Unlock();
    if (exErrorValue) *exErrorValue = exError;
    m_openedFlag = result;
    return result;
}

int CUSBCommunication::OpenUsbioStage(const char* request, int* exError) {
    for (int index = 0; index < kMaxDeviceInterfaces; ++index) {
        if (OpenDeviceInterface(&m_hDevice, &m_hInterfaceDetail, index) != 1) {
            Log("CUSBCommunication::Open / Error 07");
            *exError = 16007;
            return 0;
        }
        usbio::Handle* device = m_hDevice.get();
        if (!FreeToConfigure(device)) {
            ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
            continue;
        }

        const std::optional<std::string> manufacturer = ReadText(device, 1);
        if (!manufacturer) {
            ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
            Log("CUSBCommunication::Open / Error 06");
            *exError = 16006;
            return 0;
        }
        if (!Contains(*manufacturer, "KALDER")) {
            ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
            continue;
        }

        const std::optional<std::string> product = ReadText(device, 2);
        if (!product) {
            ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
            Log("CUSBCommunication::Open / Error 05");
            *exError = 16006;
            return 0;
        }
        if (!Contains(*product, "610") && !Contains(*product, "640") && !Contains(*product, "660")) {
            ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
            continue;
        }
        const ProductText text = SplitProduct(*product);
        runsApplication = text.bootLoader ? 0 : 1;

        const std::optional<std::string> serialText = ReadText(device, 3);
        if (!serialText || !USBConfigureDevice(device)) {
            ReleaseDevice(&m_hDevice, &m_hInterfaceDetail);
            continue;
        }

        m_hWritePipe = USBOpenEP(m_hInterfaceDetail.get(), kWritePipeEndpoint);
        m_hReadPipe = USBOpenEP(m_hInterfaceDetail.get(), kReadPipeEndpoint);
        if (!m_hWritePipe || !m_hReadPipe) {
            ReleaseUsbio();
            Log("CUSBCommunication::Open / Error 04");
            *exError = 16005;
            return 0;
        }

        const std::optional<uint16_t> bcdDevice = ReadBcdDevice(device);
        if (!bcdDevice) {
            ReleaseUsbio();
            Log("CUSBCommunication::Open / Error 03");
            *exError = 16004;
            continue;
        }
        version = BcdVersion(*bcdDevice);
        model = DecimalValue(text.model);
        variant = DecimalValue(text.variant);
        CopySerial(serial, *serialText);

        if (!request) return 1;
        const int match = MatchRequest(request, 16001, 16003);
        if (match == 1) return 1;
        ReleaseUsbio();
        Log(match == 16002 ? "CUSBCommunication::Open / Error 09"
            : match == 16003 ? "CUSBCommunication::Open / Error 02"
                             : "CUSBCommunication::Open / Error 01");
        *exError = match;
    }
    return 0;
}

int CUSBCommunication::OpenComStage(const char* request, int* exError) {
    int ports[kMaxPorts] = {};
    const int n660 = FindComPorts(kProduct660, ports, kMaxPorts);
    if (char* log = LogEntry()) LogPrintf(log, "CUSBCommunication::Open / numAvailableComPorts (660) %d", n660);
    const int first = std::max(n660, 0);
    const int n1160 = FindComPorts(kProduct1160, ports + first, kMaxPorts - first);
    if (char* log = LogEntry()) LogPrintf(log, "CUSBCommunication::Open / numAvailableComPorts (1160) %d", n1160);
    const int total = first + std::max(n1160, 0);
    g_openDiagnostics.portsFound = total;
    if (char* log = LogEntry()) LogPrintf(log, "CUSBCommunication::Open / numAvailableComPorts (660+1160) %d", total);
    if (total == 0) {
        Log("CUSBCommunication::Open / Error 13");
        return 0;
    }

    for (int i = 0; i < total; ++i) {
        CloseComPort();
        m_hCom = OpenCOM(static_cast<uint8_t>(ports[i] % 256));
        Log("CUSBCommunication::OpenCOM NEW 128000________1");
        if (m_hCom == kInvalidComHandle) {
            g_openDiagnostics.failedPort = ComPortPath(static_cast<uint8_t>(ports[i] % 256));
            g_openDiagnostics.failedErrno = LastComOpenError();
            Log("CUSBCommunication::Open / Error 14");
            continue;
        }
        model = 0;
        version = 0;
        if (Identify() < 1) {
            // A port that did not identify is let go, so that it does not stay blocked.
            Log("CUSBCommunication::Open / Error 15");
            CloseComPort();
            continue;
        }
        ++g_openDiagnostics.portsIdentified;
        const std::string path = ComPortPath(static_cast<uint8_t>(ports[i] % 256));
        if (!request) {
            g_openDiagnostics.openedPort = path;
            return 1;
        }
        const int match = MatchRequest(request, 16001, 16003);
        if (match == 1) {
            g_openDiagnostics.openedPort = path;
            return 1;
        }
        char found[64];
        std::snprintf(found, sizeof found, "%d (serial %.6s) on ", model, serial);
        g_openDiagnostics.otherDevices.push_back(found + path);
        *exError = match;
        Log(match == 16002 ? "CUSBCommunication::Open / Error 09"
            : match == 16003 ? "CUSBCommunication::Open / Error 10"
                             : "CUSBCommunication::Open / Error 08");
        CloseComPort();
    }
    return 0;
}

int CUSBCommunication::Close() {
    EndDownloadThread();
    if (m_hWritePipe && m_hReadPipe && m_hDevice && m_hInterfaceDetail) {
        ReleaseUsbio();
        m_openedFlag = 0;
        return 1;
    }
    // Nothing of a half-held driver route survives a Close.
    ReleaseUsbio();
    if (m_hCom != kInvalidComHandle) {
        m_openedFlag = 0;
        CloseComPort();
        platform::GetClock().SleepMs(100);
        return 1;
    }
    return 0;
}

int CUSBCommunication::IsOpen() { return m_openedFlag; }

int CUSBCommunication::ListAvailableDevices(std::vector<uint8_t>* deviceList, int /*ignored*/) {
    return GetListOfAvailableDevices(deviceList);
}

int CUSBCommunication::GetListOfAvailableDevices(std::vector<uint8_t>* deviceList) {
    Log("CUSBCommunication::GetListOfAvailableDevices NEW 128000 !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
    struct Found {
        uint16_t model;
        char serial[7];
    };
    std::vector<Found> found;

    // Devices behind the USB driver first: every interface index is probed (a gap does not
    // end the walk) and released again.
    {
        platform::NamedMutexHold hold(LibraryMutex(), kLibraryMutexWaitMs);
        for (int index = 0; hold.Held() && index < kMaxDeviceInterfaces; ++index) {
            UsbHandle device;
            UsbDetail detail;
            if (OpenDeviceInterface(&device, &detail, index) != 1) continue;
            if (FreeToConfigure(device.get())) {
                const std::optional<std::string> manufacturer = ReadText(device.get(), 1);
                const std::optional<std::string> product =
                    manufacturer && Contains(*manufacturer, "KALDER") ? ReadText(device.get(), 2) : std::nullopt;
                if (product && (Contains(*product, "610") || Contains(*product, "640"))) {
                    const std::optional<std::string> serialText = ReadText(device.get(), 3);
                    if (serialText && USBConfigureDevice(device.get()) && ReadBcdDevice(device.get())) {
                        Found f{};
                        f.model = DecimalValue(SplitProduct(*product).model);
                        CopySerial(f.serial, *serialText);
                        found.push_back(f);
                    }
                }
            }
            ReleaseDevice(&device, &detail);
        }
    }

    int ports[kMaxPorts] = {};
    const int n = FindComPorts(kProduct1160, ports, kMaxPorts);
    for (int i = 0; i < n; ++i) {
        ComHandle h = OpenCOM(static_cast<uint8_t>(ports[i] % 256));
        Log("CUSBCommunication::OpenCOM NEW 128000________2");
        if (h == kInvalidComHandle) continue;
        static const uint8_t request[10] = {0x03, 0x00, 0x24, 0x00, 0x05, 0x3F, 0x20, 0x69, 0x00, 0x00};
        uint8_t answer[40] = {};
        if (WriteCOM(h, request, sizeof request) == 1 && ReadCOM(h, answer, sizeof answer) == 1) {
            Found f{};
            unsigned value = 0;
            for (int b = 8; b < 24 && answer[b] != '-'; ++b)
                if (answer[b] >= '0' && answer[b] <= '9') value = value * 10 + (answer[b] - '0');
            f.model = static_cast<uint16_t>(value);
            std::memcpy(f.serial, answer + 24, 6);
            found.push_back(f);
        }
        CloseCOM(h);
    }

    if (found.empty()) return 0;
    try {
        deviceList->assign(found.size() * 12, 0);
    } catch (const std::bad_alloc&) {
        return -3;
    }
    for (size_t i = 0; i < found.size(); ++i) {
        uint8_t* r = deviceList->data() + 12 * i;
        r[0] = 1;
        r[2] = static_cast<uint8_t>(found[i].model);
        r[3] = static_cast<uint8_t>(found[i].model >> 8);
        std::memcpy(r + 4, found[i].serial, 7);
    }
    return static_cast<int>(found.size());
}

int CUSBCommunication::Identify() {
    if (m_hDevice) {
        // Driver route: the identity comes from the descriptors, as Open reads them. Nothing
        // changes unless all three are readable.
        platform::NamedMutexHold hold(LibraryMutex(), kLibraryMutexWaitMs);
        if (!hold.Held()) return -1;
        const std::optional<std::string> product = ReadText(m_hDevice.get(), 2);
        if (!product) return -1;
        const std::optional<std::string> serialText = ReadText(m_hDevice.get(), 3);
        const std::optional<uint16_t> bcdDevice = serialText ? ReadBcdDevice(m_hDevice.get()) : std::nullopt;
        if (!bcdDevice) return -1;
        const ProductText text = SplitProduct(*product);
        model = DecimalValue(text.model);
        variant = DecimalValue(text.variant);
        runsApplication = text.bootLoader ? 0 : 1;
        CopySerial(serial, *serialText);
        version = BcdVersion(*bcdDevice);
        return 1;
    }
    static const uint8_t infoRequest[12] = {0x1B, 0x64, 0x3F, 0x20};
    // No answer (0, or any result without a library code of its own) means no valid answer.
    auto mapped = [](int t) {
        const int code = MapTransactResult(t);
        return code == 1 ? -1 : code;
    };
    std::vector<uint8_t> reply;
    int t = Transact(-1, infoRequest, 12, 24, &reply);
    if (t <= 0) return mapped(t);
    if (ParseIdentityReply(reply.data(), t, &model, &variant, &version, &runsApplication, serial) != 1) return -3;
    if (model == 660 || model == 1160) {
        static const uint8_t textRequest[6] = {0x05, 0x3F, 0x20, 0x69, 0x00, 0x00};
        t = Transact(-1, textRequest, 6, 32, &reply);
        if (t <= 0) return -3;
        if (ParseIdentityText(reply.data(), t, &model, &variant, &version, &runsApplication, serial) != 1) return -3;
    }
    return 1;
}

int CUSBCommunication::Transact(int bRequest, const uint8_t* cmd, int cmdLen, int replyLen,
                                std::vector<uint8_t>* reply) {
    if (!cmd || cmdLen < 1 || replyLen < 0 || !reply) return -1;

    // Route A: an ESC command as a vendor request on the USB driver. wValue and wIndex are the
    // big-endian pairs 6..3 bytes from the end; the device answers with the echo of the
    // command's first bytes and the payload.
    if (cmd[0] == 0x1B && m_openedFlag == 1 && m_hWritePipe && cmdLen >= 6) {
        int64_t length = static_cast<int64_t>(replyLen) + cmdLen - 4;
        int echo = 4;
        if (cmd[1] == '?') {
            length -= 2;
            echo = 2;
        } else if (cmd[1] == 0x69 && ((cmd[2] == 0x54 && cmd[3] == 0x53) || (cmd[2] == 0x73 && cmd[3] == 0x6D)) &&
                   cmd[4] == 0x3F && cmd[5] == 0x20) {
            length += 2;
            echo = 6;
        }
        if (length < echo) return -3;
        const uint16_t wValue = static_cast<uint16_t>(cmd[cmdLen - 6] << 8 | cmd[cmdLen - 5]);
        const uint16_t wIndex = static_cast<uint16_t>(cmd[cmdLen - 4] << 8 | cmd[cmdLen - 3]);
        std::vector<uint8_t> answer;
        bool answered;
        {
            platform::NamedMutexHold hold(LibraryMutex(), kLibraryMutexWaitMs);
            if (!hold.Held()) return 0;
            // A length beyond what a vendor request carries is refused there.
            answered = USBVendorRequest(m_hDevice.get(), static_cast<uint8_t>(bRequest & 0xFF), wValue, wIndex,
                                        static_cast<int32_t>(std::min<int64_t>(length, kVendorRequestMaxLength + 1)),
                                        &answer);
        }
        if (!answered) return -3;
        const size_t e = static_cast<size_t>(echo);
        if (answer.size() < e) return -3;
        if (!std::equal(cmd, cmd + echo, answer.begin())) return -2;
        // A shorter answer is a failed read: the missing bytes are not made up.
        if (answer.size() < static_cast<size_t>(length)) return -3;
        try {
            reply->assign(answer.begin() + echo, answer.begin() + static_cast<std::ptrdiff_t>(length));
        } catch (const std::bad_alloc&) {
            return -4;
        }
        return static_cast<int>(length) - echo;
    }

    // Route B: the device-information request over the COM port.
    if (bRequest == -1 && cmdLen >= 4 && cmd[0] == 0x1B && cmd[1] == 0x64 && cmd[2] == 0x3F && cmd[3] == 0x20) {
        static const uint8_t frame[16] = {0x01, 0x00, 0x00, 0x20, 0x1B, 0x64, 0x3F, 0x20,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20};
        if (WriteCOM(m_hCom, frame, sizeof frame) != 1) return 0;
        std::vector<uint8_t> answer;
        if (!ReadExactly(m_hCom, &answer, 32)) return 0;
        if (answer[0] != 0x1B || answer[1] != 0x64 || answer[2] != 0x3F || answer[3] != 0x20) return 0;
        reply->assign(answer.begin() + 4, answer.end());
        return 28;
    }

    // Route C: a data frame that is already framed.
    if (cmdLen >= 8 && cmd[4] == 0x05 && cmd[7] == 'R') {
        if (cmdLen > 65536 || WriteCOM(m_hCom, cmd, static_cast<uint32_t>(cmdLen)) != 1) return -3;
        if (!ReadExactly(m_hCom, reply, 8)) return -3;
        const std::vector<uint8_t>& a = *reply;
        if (a[0] == 0x05 && a[3] == 0x04 && a[4] == 0x00) return 1;
        if (a[0] == 0x05 && a[3] == 0x04 && a[4] == 0x01) return -10;
        return 0;
    }
    if (cmd[0] != 0x05) return -1;

    // Short request 'r' (exactly four command bytes).
    if (cmdLen == 4 && cmd[3] == 'r') {
        const uint8_t frame[8] = {0x03, 0x00, static_cast<uint8_t>(replyLen), static_cast<uint8_t>(replyLen >> 8),
                                  cmd[0], cmd[1], cmd[2], cmd[3]};
        if (WriteCOM(m_hCom, frame, sizeof frame) != 1) return -3;
        if (!ReadExactly(m_hCom, reply, static_cast<size_t>(replyLen) + 4)) return -3;
        return (*reply)[0] == 0x06 ? 1 : 0;
    }

    // General request: the reply echoes the fourth command byte, so a shorter command has
    // no route.
    if (m_hCom == kInvalidComHandle || cmdLen < 4 || cmdLen > 16) return -1;
    const int length = cmdLen - 2 + replyLen;
    uint8_t frame[20] = {0x03, 0x00, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    std::memcpy(frame + 4, cmd, static_cast<size_t>(cmdLen));
    if (WriteCOM(m_hCom, frame, static_cast<uint32_t>(cmdLen + 4)) != 1) return -3;
    std::vector<uint8_t> answer;
    try {
        answer.resize(static_cast<size_t>(replyLen) + 8);
    } catch (const std::bad_alloc&) {
        return -4;
    }
    if (ReadCOM(m_hCom, answer.data(), static_cast<uint32_t>(answer.size())) != 1) return -3;
    if (answer[0] != 0x04 || answer[4] != 0x05 || answer[5] != 0x3F || answer[7] != cmd[3]) return -2;
    reply->assign(answer.begin() + 8, answer.end());
    return replyLen;
}

int CUSBCommunication::Read(uint8_t* data, uint32_t len) {
    if (!m_openedFlag) return -1;
    if (UsbioMode()) {
        if (!data && len > 0) return -1;
        uint32_t n;
        {
            platform::NamedMutexHold hold(LibraryMutex(), kLibraryMutexWaitMs);
            if (!hold.Held()) return -2;  // nothing was read
            n = USBRead(m_hReadPipe.get(), data, len);
        }
        if (n < len) return -2;
        // The last four bytes carry the ByteSum of all bytes before them, big-endian.
        if (len < 4) return -3;
        return ByteSum(data, len - 4) == BE32(data + len - 4) ? 1 : -3;
    }
    if (ComMode()) return ReadCOM(m_hCom, data, len) == 1 ? 1 : -2;
    return -1;
}

int CUSBCommunication::Write(const uint8_t* frame, int len, int waitReady, int delayMs) {
    if (!m_openedFlag || !frame || len < 0) return -2;
    if (ComMode()) {
        if (WriteCOM(m_hCom, frame, static_cast<uint32_t>(len)) != 1) return -2;
        uint8_t ack[8] = {};
        if (ReadCOM(m_hCom, ack, sizeof ack) != 1) return -2;
        if (len < 8 || ack[0] != 0x02 || ack[4] != 0x05 || ack[5] != 0x21 || ack[6] != frame[6] || ack[7] != frame[7])
            return -2;
        return 1;
    }
    if (!UsbioMode()) return -2;
    uint32_t written;
    {
        platform::NamedMutexHold hold(LibraryMutex(), kLibraryMutexWaitMs);
        if (!hold.Held()) return -2;
        written = USBWrite(m_hDevice.get(), m_hWritePipe.get(), frame, static_cast<uint32_t>(len));
    }
    if (written < static_cast<uint32_t>(len)) return -2;
    if (waitReady == 1 && WaitWhileBusy() == 0) return -3;
    if (delayMs == -1) return 1;
    if (delayMs > 0) platform::GetClock().SleepMs(static_cast<uint32_t>(delayMs));
    // Bit 0 of the status record's first byte (the low byte of stats) reports a device error.
    DeviceStatus status{};
    if (GetDeviceStatus(&status) == 1 && (status.stats & 0x0001) == 0) return 1;
    return -3;
}

// ---------------------------------------------------------------------------------------
// Download of an image for the older family

int UpdateThread(DownloadBlock* b) {
    const int total = b->totalSize;
    const int blockSize = total / kDownloadBlocks;
    // The thread's own count of the bytes sent is the offset of the next block. The shared
    // counter only publishes it, so a late mutex delays the progress shown but never makes
    // a block go out twice or be skipped.
    int sent = 0;
    bool failed = false;
    for (int block = 0; block < kDownloadBlocks; ++block) {
        if (b->stop) {
            failed = true;
            break;
        }
        const int size = block == kDownloadBlocks - 1 ? blockSize + total % kDownloadBlocks : blockSize;
        const uint8_t* start = b->data.get() + sent;
        int count;
        if (b->com == kInvalidComHandle && b->writePipe) {
            count = static_cast<int>(USBWrite(b->device, b->writePipe, start, static_cast<uint32_t>(size)));
        } else {
            count = WriteCOM(b->com, start, static_cast<uint32_t>(size)) == 1 ? size : 0;
            if (char* log = LogEntry())
                LogPrintf(log, "UpdateThread / downloadBlockSize %d / downloadedSize %d", size, count);
        }
        if (count != size) {
            failed = true;
            break;
        }
        sent += size;
        platform::NamedMutexHold hold(b->mutex, kDownloadMutexWaitMs);
        if (hold.Held()) b->downloaded = sent;
    }
    // The final state must reach the counter: the thread waits for the mutex in further
    // rounds, unless the channel asks it to end.
    const int final = failed ? -1 : sent;
    while (b->downloaded.load() != final) {
        platform::NamedMutexHold hold(b->mutex, kDownloadMutexWaitMs);
        if (hold.Held() || b->stop) b->downloaded = final;
    }
    b->data.reset();
    b->finished = true;
    return 0;
}

int CUSBCommunication::StartDownload(std::unique_ptr<uint8_t[]> data, int size) {
    if (!data || size <= 0) return -1;
    // One download at a time; a finished thread is collected before the next one starts.
    if (m_hThread.joinable() && m_download && !m_download->finished) return -1;
    if (m_hThread.joinable()) m_hThread.join();
    m_hDownloadMutex.reset();
    m_download.reset();
    m_downloadResult = 0;

    char name[50];
    std::snprintf(name, sizeof name, "VelmoraMutexForFirmwareUpdate%s", ModuleTag());
    std::unique_ptr<platform::NamedMutex> mutex = platform::CreateNamedMutex(name);
    if (!mutex) return -2;

    auto block = std::unique_ptr<DownloadBlock>(new (std::nothrow) DownloadBlock);
    if (!block) return -1;
    block->device = m_hDevice.get();
    block->writePipe = m_hWritePipe.get();
    block->com = m_hCom;
    block->data = std::move(data);
    block->totalSize = size;
    block->downloaded = 0;
    block->mutex = mutex.get();
    try {
        m_hThread = std::thread(UpdateThread, block.get());
    } catch (const std::system_error&) {
        return -1;
    }
    m_download = std::move(block);
    m_hDownloadMutex = std::move(mutex);
    return 1;
}

int CUSBCommunication::GetDownloadProgress() {
    // The finishing work runs once; later calls report its result.
    if (m_downloadResult != 0) return m_downloadResult;
    DownloadBlock* b = m_download.get();
    if (!b) return -1;  // no download was started
    if (b->downloaded.load() == -1) {
        // The thread has ended after the failed block: its handle and the mutex go now.
        EndDownloadThread();
        return -1;
    }
    int downloaded;
    if (m_hDownloadMutex) {
        platform::NamedMutexHold hold(m_hDownloadMutex.get(), kDownloadMutexWaitMs);
        if (!hold.Held()) return -1;
        downloaded = b->downloaded.load();
    } else {
        downloaded = b->downloaded.load();  // the thread has ended and its mutex is gone
    }
    if (downloaded == -1) {
        // The block failed since the look above: the thread is ending; wait for it as there.
        EndDownloadThread();
        return -1;
    }
    const int percent = static_cast<int>(static_cast<int64_t>(downloaded) * 100 / b->totalSize);
    if (percent != 100) return percent;

    // Everything is sent: the thread ends, the device leaves update mode and restarts into
    // its application.
    EndDownloadThread();
    auto finish = [this](int result) {
        m_downloadResult = result;
        return result;
    };
    if (SendUpdateMode(0) != 1) return finish(-2);
    platform::Clock& clock = platform::GetClock();
    clock.SleepMs(500);
    Close();
    bool reopened = false;
    for (int attempt = 0; attempt < kReopenAttempts && !reopened; ++attempt) {
        clock.SleepMs(1000);
        int exError = 0;
        reopened = Open(nullptr, 0, &exError) == 1;
    }
    if (!reopened) return finish(-3);
    clock.SleepMs(100);
    return finish(runsApplication != 1 ? -5 : 100);
}

}  // namespace velmora
