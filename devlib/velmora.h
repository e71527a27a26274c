// The public functions of the Velmora device-access library. Every function takes the device
// id that OpenV2 returned and answers with a library code: 1 success, negative failures.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "devlib/library.h"
#include "devlib/records.h"

namespace velmora {

// Device functions.
int OpenV2(int kindOfCommunicationChannel, const char* model_serialNumber, const char* bluetoothDeviceAddress);
int Close(int deviceID);
int GetDeviceInfo(int deviceID, DeviceInfo* info);
int GetDeviceStatus(int deviceID, DeviceStatus* status);
int GetFileSystemInfo(int deviceID, int fileSystemFileIndex, FileSystemInfo* info);
int GetDeviceParameter(int deviceID, DeviceParameter* parameter);
int CreateFileOnSDCard(int deviceID, uint16_t sizeOfFileName, const char* fileName);
int AppendFileData(int deviceID, uint16_t size, const uint8_t* data);
int CloseFile(int deviceID);

// Service-module functions.
int ActivateSFModuleMode(int deviceID, const char* accessCode, int activate, int highVoltage);
int GetSFModuleStatus(int deviceID, SFModuleStatus* status);
int GetSFDeviceSensors(int deviceID, SFDeviceSensors* sensors);
int GetSFDeviceTestfunction(int deviceID, SFDeviceTestfunction* testfunction);
int GetSFDeviceStatisticV2(int deviceID, SFDeviceStatisticV2* statistic);
int SetSFDeviceUpdateData(int deviceID, const uint8_t* data, SFUpdateDataHeader header);
int GetSFDeviceUpdateData(int deviceID, int block, uint8_t* data /* 4096 */);
int GetSFPrintHeadData(int deviceID, SFPrintHeadData* printHead);

// The extended error number (16001..16009) of the last OpenV2, 0 when it succeeded or none ran.
int LastOpenErrorValue();
// Why the last OpenV2 found no device, in words for a message: the extended error and, when
// a port could not be opened, the port and the system's reason (busy, no permission).
std::string DescribeLastOpenFailure();

// Replaces the channel OpenV2 creates (tests). An empty function restores the USB channel.
using ChannelFactory = std::function<CDeviceCommunication*()>;
void SetChannelFactoryForTest(ChannelFactory factory);

// A copy of a device text field for a log line: every byte at an odd index that is below
// 0x20 or not below 0x80 becomes a blank, and so does every other control character (below
// 0x20, 0x7F), so that no device text starts a log line of its own; the text ends at its
// first zero byte at an even index, at the end of the field at the latest.
std::string SanitizedLogText(const char* field, size_t size);

}  // namespace velmora
