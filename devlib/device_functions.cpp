// Device functions: look up the channel, call its member, write one log line.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "devlib/velmora.h"
#include "platform/port_diagnosis.h"
#include "transport/device_communication.h"
#include "transport/usb_communication.h"

namespace velmora {
namespace {

ChannelFactory& Factory() {
    static ChannelFactory factory;
    return factory;
}

int g_lastOpenError = 0;

// The channel's address as the log shows it (32 bits).
unsigned Address(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

void SetChannelFactoryForTest(ChannelFactory factory) { Factory() = std::move(factory); }

int LastOpenErrorValue() { return g_lastOpenError; }

std::string DescribeLastOpenFailure() {
    const OpenDiagnostics& d = LastOpenDiagnostics();
    std::string text;
    switch (g_lastOpenError) {
        case 16001:
            text = "the device found is of another model";
            break;
        case 16002:
            text = "the requested device text begins with '-'";
            break;
        case 16003:
            text = "the device found has another serial number";
            break;
        case 16008:
            text = "another program holds the device access lock";
            break;
        case 16009:
            text = "the library was not started";
            break;
        default:
            text = d.portsFound == 0 ? "no Norvik device is connected" : "no device answered";
            break;
    }
    if (!d.failedPort.empty()) {
        text += "; port " + d.failedPort + " could not be opened: ";
        switch (d.failedErrno) {
            case EBUSY:
                text += "it is in use by another program";
                break;
            case EACCES:
            case EPERM:
                text += "permission denied";
                break;
            default:
                text += std::strerror(d.failedErrno);
                break;
        }
        for (const std::string& finding : platform::DiagnosePortFailure(d.failedPort, d.failedErrno))
            text += "; " + finding;
    }
    return text;
}

namespace {

// A control character of a device text, which must not reach a log line: a line feed would
// start a line of its own.
bool LogControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

char LogChar(char c) { return LogControl(static_cast<unsigned char>(c)) ? ' ' : c; }

// A request may carry a device's serial number (the device list asks for model-serial).
std::string SanitizedText(std::string text) {
    for (char& c : text) c = LogChar(c);
    return text;
}

}  // namespace

std::string SanitizedLogText(const char* field, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (i % 2 == 1 && (c < 0x20 || c >= 0x80)) c = ' ';
        if (c == 0) break;
        out.push_back(LogChar(static_cast<char>(c)));
    }
    return out;
}

int OpenV2(int kindOfCommunicationChannel, const char* model_serialNumber, const char* bluetoothDeviceAddress) {
    DeviceTable& table = Table();
    int deviceID = -1;
    for (int i = 0; i < kMaxDevices; ++i)
        if (!table.devices[i]) {
            deviceID = i;
            break;
        }
    if (deviceID < 0) return -5;

    CDeviceCommunication* channel = Factory() ? Factory()() : NewUsbChannel();
    if (!channel) return -1;
    table.devices[deviceID] = channel;
    int exErrorValue = 0;
    int result = channel->Open(model_serialNumber, 0, &exErrorValue) == 0 ? -1 : 1;
    if (result != 1) {
        delete channel;
        table.devices[deviceID] = nullptr;
    }
    g_lastOpenError = result == 1 ? 0 : exErrorValue;
    if (char* log = LogEntry())
        LogPrintf(log,
                  "OpenV2 / kindOfCommunicationChannel %d / model_serialNumber %s / bluetoothDeviceAddress %s / "
                  "returnValue %d / deviceID %d / device[%d] 0x%08x / exErrorValue %d",
                  kindOfCommunicationChannel,
                  model_serialNumber ? SanitizedText(model_serialNumber).c_str() : "(null)",
                  bluetoothDeviceAddress ? bluetoothDeviceAddress : "(null)", result, deviceID, deviceID,
                  Address(table.devices[deviceID]), exErrorValue);
    return result == 1 ? deviceID : -1;
}

int Close(int deviceID) {
    CDeviceCommunication* channel = DeviceChannel(deviceID);
    if (char* log = LogEntry()) LogPrintf(log, "Close / deviceID %d / device 0x%08x", deviceID, Address(channel));
    if (!channel) return 1;
    if (channel->IsOpen()) channel->Close();
    delete channel;
    Table().devices[deviceID] = nullptr;
    return 1;
}

int GetDeviceInfo(int deviceID, DeviceInfo* info) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    info->version = c->version;
    info->model = c->model;
    info->variant = c->variant;
    info->runsApplication = c->runsApplication;
    for (int i = 0; i < 6; ++i) info->serial[i] = c->serial[i];
    if (char* log = LogEntry())
        LogPrintf(log,
                  "GetDeviceInfo   / returnValue %d / deviceID %d / model %d-%03d / serialNr %c%c%c%c%c%c / %s "
                  "%02.02f",
                  1, deviceID, info->model, info->variant, LogChar(info->serial[0]), LogChar(info->serial[1]),
                  LogChar(info->serial[2]), LogChar(info->serial[3]), LogChar(info->serial[4]),
                  LogChar(info->serial[5]),
                  info->runsApplication == 1 ? "FWVersion" : "BWVersion", info->version / 100.0);
    return 1;
}

int GetDeviceStatus(int deviceID, DeviceStatus* status) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->GetDeviceStatus(status);
    if (char* log = LogEntry())
        LogPrintf(log,
                  "GetDeviceStatus / returnValue %d / deviceID %d / stats %02d / warning %02d / corError %02d / "
                  "error %03d / akku %d / phLevel %d / Print counter %d / user Priner Counter %d / Busy %d",
                  result, deviceID, status->stats, status->warning, status->corError, status->error, status->akku,
                  status->phLevel, status->printCounter, status->userPrinerCounter, status->Busy);
    return result;
}

int GetFileSystemInfo(int deviceID, int fileSystemFileIndex, FileSystemInfo* info) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->GetFileSystemInfo(fileSystemFileIndex, info);
    if (char* log = LogEntry())
        LogPrintf(log, "GetFileSystemInfo / returnValue %d / deviceID %d / fileSystemFileIndex %d / fileName %s",
                  result, deviceID, fileSystemFileIndex,
                  SanitizedLogText(info->fileName, sizeof info->fileName).c_str());
    return result;
}

int GetDeviceParameter(int deviceID, DeviceParameter* p) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->GetDeviceParameter(p);
    if (char* log = LogEntry())
        LogPrintf(log,
                  "GetDeviceParameter / returnValue %d / deviceID %d / printSeq %d / printDir 0x%04x / effects "
                  "0x%04x / encoder 0x%04x / forrun %05d,%05d,%05d,%05d / printDelay %04d,%04d,%04d,%04d / path "
                  "%05d / speed %03d / signals 0x%04x / function %d / Font1 %s %d 0x%02x / Font2 %s %d 0x%02x / "
                  "filename %s",
                  result, deviceID, p->printSeq, p->printDir, p->effects, p->encoder, p->forrun[0], p->forrun[1],
                  p->forrun[2], p->forrun[3], p->printDelay[0], p->printDelay[1], p->printDelay[2],
                  p->printDelay[3], p->path, p->speed, p->signals, p->function,
                  SanitizedLogText(p->font1Name, sizeof p->font1Name).c_str(), p->font1Size, p->font1Flags,
                  SanitizedLogText(p->font2Name, sizeof p->font2Name).c_str(), p->font2Size, p->font2Flags,
                  SanitizedLogText(p->filename, sizeof p->filename).c_str());
    return result;
}

int CreateFileOnSDCard(int deviceID, uint16_t sizeOfFileName, const char* fileName) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->CreateFileOnSDCard(sizeOfFileName, fileName);
    if (char* log = LogEntry())
        LogPrintf(log, "CreateFileOnSDCard / returnValue %d / deviceID %d / sizeOfFileNmae %d / fileName %s", result,
                  deviceID, sizeOfFileName, fileName ? std::string(fileName, sizeOfFileName).c_str() : "");
    return result;
}

int AppendFileData(int deviceID, uint16_t size, const uint8_t* data) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->AppendFileData(size, data);
    if (char* log = LogEntry()) LogPrintf(log, "AppendFileData / returnValue %d / deviceID %d", result, deviceID);
    return result;
}

int CloseFile(int deviceID) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->CloseFile();
    if (char* log = LogEntry()) LogPrintf(log, "CloseFile / returnValue %d / deviceID %d", result, deviceID);
    return result;
}

}  // namespace velmora
