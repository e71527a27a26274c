// The channel to one opened device: its identity and the eleven operations every route
// implements. The library's command functions are plain members that reach the device only
// through these operations.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devlib/records.h"

namespace velmora {

class CDeviceCommunication {
public:
    CDeviceCommunication() = default;
    CDeviceCommunication(const CDeviceCommunication&) = delete;
    CDeviceCommunication& operator=(const CDeviceCommunication&) = delete;
    // The library closes a channel before it deletes it; nothing is left for a destructor.
    virtual ~CDeviceCommunication() = default;

    // Slot 0. model_serialNumber: "MMM" for any device of model MMM, "MMM-SSSSSS" for one
    // device, null for the first found. 1 opened, 0 not; *exErrorValue gets the last
    // extended error number (16001..16009).
    virtual int Open(const char* model_serialNumber, int ignored, int* exErrorValue) = 0;
    // Slot 1. 1 closed, 0 nothing to close.
    virtual int Close() = 0;
    // Slot 2. Forwards to GetListOfAvailableDevices.
    virtual int ListAvailableDevices(std::vector<uint8_t>* deviceList, int ignored) = 0;
    // Slot 3. Number of devices found (12-byte records in *deviceList), 0 none,
    // -3 no memory.
    virtual int GetListOfAvailableDevices(std::vector<uint8_t>* deviceList) = 0;
    // Slot 4. 1 open, 0 not.
    virtual int IsOpen() = 0;
    // Slot 5. 1 identity filled; -1 no valid answer; -2 write/read failed; -3 reply not
    // parsed; -4 no memory.
    virtual int Identify() = 0;
    // Slot 6. Share of a running download, see the download thread.
    virtual int GetDownloadProgress() = 0;
    // Slot 7. bRequest -1 when not used; replyLen = payload bytes expected. Payload length
    // > 0 with *reply holding it; 0 no reply; -1 no route; -2 header mismatch; -3 write or
    // read failed; -4 no memory; pre-framed data frame: 1 accepted, -10 refused.
    virtual int Transact(int bRequest, const uint8_t* cmd, int cmdLen, int replyLen,
                         std::vector<uint8_t>* reply) = 0;
    // Slot 8. 1 read and verified; -1 not open or no route; -2 short; -3 checksum wrong.
    virtual int Read(uint8_t* data, uint32_t len) = 0;
    // Slot 9. 1 written and accepted; -2 not open, write failed or not acknowledged;
    // -3 device not ready or reports an error.
    virtual int Write(const uint8_t* frame, int len, int waitReady, int delayMs) = 0;
    // Slot 10. Hands the image to the download thread (ownership passes).
    virtual int StartDownload(std::unique_ptr<uint8_t[]> data, int size) = 0;

    // Commands of the device's model family (devlib/commands.cpp). They reach the device only
    // through Transact and Write and return library codes.
    int GetDeviceStatus(DeviceStatus* status);
    int GetFileSystemInfo(int fileSystemFileIndex, FileSystemInfo* info);
    int GetDeviceParameter(DeviceParameter* parameter);
    int GetSFModuleStatus(SFModuleStatus* status);
    int GetSFDeviceSensors(SFDeviceSensors* sensors);
    int GetSFDeviceTestfunction(SFDeviceTestfunction* testfunction);
    int GetSFDeviceStatisticV2(SFDeviceStatisticV2* statistic);
    int GetSFPrintHeadData(SFPrintHeadData* printHead);
    int GetSFDeviceUpdateData(int block, uint8_t* data /* 4096 */);
    int ActivateSFModuleMode(int activate);
    int SendUpdateMode(int mode);
    int SetSFDeviceUpdateData(const uint8_t* data, SFUpdateDataHeader header);
    int CreateFileOnSDCard(uint16_t sizeOfFileName, const char* fileName);
    int AppendFileData(uint16_t size, const uint8_t* data);
    int CloseFile();
    // 1 when the device reports ready within the budget, else 0.
    int WaitWhileBusy();

    // Identity of the connected device, written by Open/Identify and the reply parsers.
    uint16_t model = 0;
    uint16_t variant = 0;
    uint16_t version = 0;       // hundredths: 123 is 1.23
    uint8_t runsApplication = 1;  // 0 while the boot loader runs
    char serial[7] = {};
    // Read by the lock-checked commands: when 1 they return -10. Nothing sets it.
    uint32_t libraryFlag = 0;
};

}  // namespace velmora
