// Service-module functions: the access gate, the process-wide service-mode entry and the SF
// queries and update data.
#include <string>

#include "devlib/access_code.h"
#include "devlib/md5.h"
#include "devlib/velmora.h"
#include "platform/clock.h"
#include "transport/device_communication.h"

namespace velmora {

int ActivateSFModuleMode(int deviceID, const char* accessCode, int activate, int highVoltage) {
    if (char* log = LogEntry()) LogPrintf(log, "ActivateSFModuleMode");
    if (!accessCode || Md5::HexDigest(accessCode) != kServiceAccessDigest) {
        platform::GetClock().SleepMs(100);
        return -11;
    }
    Table().serviceMode = activate;
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->ActivateSFModuleMode(activate);
    if (char* log = LogEntry())
        LogPrintf(log, "ActivateSFModuleMode / returnValue %d / deviceID %d / activate %d / highVoltage %d", result,
                  deviceID, activate, highVoltage);
    return result == -3 ? 1 : result;
}

int GetSFModuleStatus(int deviceID, SFModuleStatus* s) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = c->GetSFModuleStatus(s);
    if (char* log = LogEntry())
        LogPrintf(log,
                  "GetSFModuleStatus / returnValue %d / deviceID %d / format %d / SF-Modul active state %d / "
                  "transferNOKOK %d / kindOfUpdate %d / transferStatus %d / stateOfTestfunctionAndActuators %d / "
                  "testfunctionLoopCounter %d / testfunctionBattery %d / testfunctionPHTemperature %d / BWVersion "
                  "%02.02f / BWSopro %d",
                  result, deviceID, s->format, s->active, s->transferNOKOK, s->kindOfUpdate, s->transferStatus,
                  s->stateOfTestfunctionAndActuators, s->testfunctionLoopCounter, s->testfunctionBattery,
                  s->testfunctionPHTemperature, s->BWVersion / 100.0, s->BWSopro);
    return result;
}

namespace {

// Look up, call, log "<name> / returnValue %d / deviceID %d", return the member's result.
template <typename Call>
int Simple(const char* name, int deviceID, Call call) {
    CDeviceCommunication* c = DeviceChannel(deviceID);
    if (!c) return -1;
    const int result = call(*c);
    if (char* log = LogEntry()) LogPrintf(log, "%s / returnValue %d / deviceID %d", name, result, deviceID);
    return result;
}

bool ServiceModeOn() { return Table().serviceMode != 0; }

}  // namespace

int GetSFDeviceSensors(int deviceID, SFDeviceSensors* sensors) {
    return Simple("GetSFDeviceSensors", deviceID, [&](CDeviceCommunication& c) { return c.GetSFDeviceSensors(sensors); });
}

int GetSFDeviceTestfunction(int deviceID, SFDeviceTestfunction* testfunction) {
    if (!ServiceModeOn()) return -11;
    return Simple("GetSFDeviceTestfunction", deviceID,
                  [&](CDeviceCommunication& c) { return c.GetSFDeviceTestfunction(testfunction); });
}

int GetSFDeviceStatisticV2(int deviceID, SFDeviceStatisticV2* statistic) {
    return Simple("GetSFDeviceStatisticV2", deviceID,
                  [&](CDeviceCommunication& c) { return c.GetSFDeviceStatisticV2(statistic); });
}

int SetSFDeviceUpdateData(int deviceID, const uint8_t* data, SFUpdateDataHeader header) {
    if (!ServiceModeOn()) return -11;
    return Simple("SetSFDeviceUpdateData", deviceID,
                  [&](CDeviceCommunication& c) { return c.SetSFDeviceUpdateData(data, header); });
}

int GetSFDeviceUpdateData(int deviceID, int block, uint8_t* data) {
    // Without service mode or without a device: a negative code, no traffic, no log line.
    if (!ServiceModeOn()) return -11;
    return Simple("GetSFDeviceUpdateData", deviceID,
                  [&](CDeviceCommunication& c) { return c.GetSFDeviceUpdateData(block, data); });
}

int GetSFPrintHeadData(int deviceID, SFPrintHeadData* printHead) {
    return Simple("GetSFPrintHeadData", deviceID, [&](CDeviceCommunication& c) { return c.GetSFPrintHeadData(printHead); });
}

}  // namespace velmora
