// CUSBCommunication: finds and opens a device, identifies it, and carries commands and frames
// over the route it was opened on.
#include "transport/usb_communication.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "devlib/commands.h"
#include "devlib/library.h"
#include "platform/clock.h"

namespace velmora {
namespace {

constexpr uint16_t kProduct660 = 0x0A1E;
constexpr uint16_t kProduct1160 = 0x0A1F;
constexpr int kMaxPorts = 100;

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

}  // namespace

CUSBCommunication::CUSBCommunication() = default;

CUSBCommunication::~CUSBCommunication() {
    // The library closes a channel before deleting it; a port still held is released anyway.
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

int CUSBCommunication::Open(const char* model_serialNumber, int /*ignored*/, int* exErrorValue) {
    int exError = exErrorValue ? *exErrorValue : 0;
    g_openDiagnostics = OpenDiagnostics();
    m_hDevice = nullptr;
    m_hInterfaceDetail = nullptr;
    m_hWritePipe = nullptr;
    m_hReadPipe = nullptr;

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

    // The USB-driver stage for the older family is not available yet: the search goes
    // straight to the COM ports.
    int result = OpenComStage(model_serialNumber, &exError);

    mutex->Unlock();
    if (exErrorValue) *exErrorValue = exError;
    m_openedFlag = result;
    return result;
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
        if (!request) return 1;
        const int match = MatchRequest(request, 16001, 16003);
        if (match == 1) return 1;
        *exError = match;
        Log(match == 16002 ? "CUSBCommunication::Open / Error 09"
            : match == 16003 ? "CUSBCommunication::Open / Error 10"
                             : "CUSBCommunication::Open / Error 08");
        CloseComPort();
    }
    return 0;
}

int CUSBCommunication::Close() {
    if (m_hWritePipe && m_hReadPipe && m_hDevice && m_hInterfaceDetail) {
        // USB-driver route: not available yet, nothing of it is ever held.
        m_openedFlag = 0;
        return 1;
    }
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

    // The USB-driver devices come first once that route exists.

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
        // USB-driver route: not available yet.
        return -1;
    }
    static const uint8_t infoRequest[12] = {0x1B, 0x64, 0x3F, 0x20};
    auto mapped = [](int t) {
        switch (t) {
            case -2:
                return -3;
            case -3:
                return -2;
            case -4:
                return -4;
            default:
                return -1;
        }
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

    // Route A, vendor request on the USB driver: not available yet (no write pipe is ever set).

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

    // General request.
    if (m_hCom == kInvalidComHandle || cmdLen > 16) return -1;
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
    if (ComMode()) return ReadCOM(m_hCom, data, len) == 1 ? 1 : -2;
    // USB-driver route: not available yet.
    return -1;
}

int CUSBCommunication::Write(const uint8_t* frame, int len, int /*waitReady*/, int /*delayMs*/) {
    if (!m_openedFlag || !frame || len < 0) return -2;
    if (ComMode()) {
        if (WriteCOM(m_hCom, frame, static_cast<uint32_t>(len)) != 1) return -2;
        uint8_t ack[8] = {};
        if (ReadCOM(m_hCom, ack, sizeof ack) != 1) return -2;
        if (len < 8 || ack[0] != 0x02 || ack[4] != 0x05 || ack[5] != 0x21 || ack[6] != frame[6] || ack[7] != frame[7])
            return -2;
        return 1;
    }
    // USB-driver route (with the readiness wait and the status check): not available yet.
    return -2;
}

int CUSBCommunication::GetDownloadProgress() {
    // The download thread of the older family is not available yet: no download runs.
    return -1;
}

int CUSBCommunication::StartDownload(std::unique_ptr<uint8_t[]> /*data*/, int /*size*/) {
    // Not started: the download thread of the older family is not available yet.
    return 0;
}

}  // namespace velmora
