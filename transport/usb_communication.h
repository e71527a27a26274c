// The channel to one device, over the generic USB driver (older family) or over a virtual
// COM port (newer family).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transport/com_port.h"
#include "transport/device_communication.h"

namespace velmora {

class CUSBCommunication : public CDeviceCommunication {
public:
    CUSBCommunication();
    ~CUSBCommunication() override;

    int Open(const char* model_serialNumber, int ignored, int* exErrorValue) override;
    int Close() override;
    int ListAvailableDevices(std::vector<uint8_t>* deviceList, int ignored) override;
    int GetListOfAvailableDevices(std::vector<uint8_t>* deviceList) override;
    int IsOpen() override;
    int Identify() override;
    int GetDownloadProgress() override;
    int Transact(int bRequest, const uint8_t* cmd, int cmdLen, int replyLen, std::vector<uint8_t>* reply) override;
    int Read(uint8_t* data, uint32_t len) override;
    int Write(const uint8_t* frame, int len, int waitReady, int delayMs) override;
    int StartDownload(std::unique_ptr<uint8_t[]> data, int size) override;

    // The port the channel holds in COM mode (kInvalidComHandle otherwise).
    ComHandle ComPort() const { return m_hCom; }

private:
    bool ComMode() const { return m_hCom != kInvalidComHandle && m_hWritePipe == nullptr; }
    bool UsbioMode() const { return m_hCom == kInvalidComHandle && m_hWritePipe != nullptr; }
    int OpenComStage(const char* model_serialNumber, int* exErrorValue);
    // Checks a found device against the requested "MMM" or "MMM-SSSSSS". 1 match; else the
    // extended error number to report.
    int MatchRequest(const char* model_serialNumber, int errModel, int errSerial) const;
    void CloseComPort();

    // USB-driver route: the device handle and the two pipes of the older family.
    void* m_hDevice = nullptr;
    void* m_hWritePipe = nullptr;
    void* m_hReadPipe = nullptr;
    void* m_hInterfaceDetail = nullptr;
    int m_openedFlag = 0;
    ComHandle m_hCom = kInvalidComHandle;
};

// What the last Open of any channel met on the COM ports, for messages to the user.
struct OpenDiagnostics {
    int portsFound = 0;         // ports of both product ids
    int portsIdentified = 0;    // ports whose device answered the identification
    std::string failedPort;     // the last port that could not be opened
    int failedErrno = 0;        // and the system's reason
};
const OpenDiagnostics& LastOpenDiagnostics();

// A new, closed channel for OpenV2.
CDeviceCommunication* NewUsbChannel();

}  // namespace velmora
