// The channel to one device, over the generic USB driver (older family) or over a virtual
// COM port (newer family).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"
#include "transport/com_port.h"
#include "transport/device_communication.h"
#include "transport/usb_driver_access.h"

namespace velmora {

// What the download thread works on. The channel writes every field before the thread
// starts; while it runs only downloaded and stop are shared.
struct DownloadBlock {
    usbio::Handle* device = nullptr;     // the channel's device handle (not owned)
    usbio::Handle* writePipe = nullptr;  // the channel's write pipe (not owned)
    ComHandle com = kInvalidComHandle;   // the channel's COM handle (not owned)
    std::unique_ptr<uint8_t[]> data;     // the image, released by the thread when it ends
    int totalSize = 0;
    std::atomic<int> downloaded{0};      // bytes sent and published; -1 after a failed block
    platform::NamedMutex* mutex = nullptr;
    std::atomic<bool> stop{false};       // set by the channel: send no further block
    std::atomic<bool> finished{false};   // set by the thread as its last step
};

// Thread body: sends the image in 100 blocks; returns 0.
int UpdateThread(DownloadBlock* block);

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
    // True while the channel reaches its device through the USB driver.
    bool UsesUsbDriver() const { return UsbioMode(); }

private:
    bool ComMode() const { return m_hCom != kInvalidComHandle && m_hWritePipe == nullptr; }
    bool UsbioMode() const { return m_hCom == kInvalidComHandle && m_hWritePipe != nullptr; }
    // 1 a device was opened; 0 the stage found none (the COM stage follows).
    int OpenUsbioStage(const char* model_serialNumber, int* exErrorValue);
    int OpenComStage(const char* model_serialNumber, int* exErrorValue);
    // Checks a found device against the requested "MMM" or "MMM-SSSSSS". 1 match; else the
    // extended error number to report.
    int MatchRequest(const char* model_serialNumber, int errModel, int errSerial) const;
    void CloseComPort();
    // Unbinds and closes both pipes; whatever cannot be unbound is closed all the same.
    void ClosePipes();
    // Pipes, device handle and interface detail released.
    void ReleaseUsbio();
    // Asks a running download thread to stop, waits for it and drops the download mutex.
    void EndDownloadThread();

    // Download thread, its block and the mutex guarding the block's counter.
    std::thread m_hThread;
    std::unique_ptr<DownloadBlock> m_download;
    std::unique_ptr<platform::NamedMutex> m_hDownloadMutex;
    int m_downloadResult = 0;  // final result once the finishing work ran, else 0
    // USB-driver route: the device handle and the two pipes of the older family.
    UsbHandle m_hDevice;
    UsbHandle m_hWritePipe;
    UsbHandle m_hReadPipe;
    UsbDetail m_hInterfaceDetail;
    int m_openedFlag = 0;
    ComHandle m_hCom = kInvalidComHandle;
};

// What the last Open of any channel met on the COM ports, for messages to the user.
struct OpenDiagnostics {
    int portsFound = 0;         // ports of both product ids
    int portsIdentified = 0;    // ports whose device answered the identification
    std::string failedPort;     // the last port that could not be opened
    int failedErrno = 0;        // and the system's reason
    std::string openedPort;     // the port of the device the open took
    // Devices that answered their identification on a port but were not the one asked for:
    // "660 (serial D55555) on /dev/ttyACM1".
    std::vector<std::string> otherDevices;
};
const OpenDiagnostics& LastOpenDiagnostics();

// A new, closed channel for OpenV2.
CDeviceCommunication* NewUsbChannel();

}  // namespace velmora
