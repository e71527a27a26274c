// Collection of the report data: the companion program's setting, the device reads in their
// order, the not-available values from the first failure on, and the start of the thread.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "devlib/velmora.h"
#include "platform/settings.h"
#include "report/report_thread.h"
#include "report/usage_report.h"

namespace report {
namespace {

void StatisticNotAvailable(ReportRecord* r) {
    r->statistic.printCounter = 0xFFFFFFFFu;  // -1
    r->statistic.options[0] = 255;
    r->statistic.errors[0] = 0;
}

void ParametersNotAvailable(ReportRecord* r) {
    r->parameters.printSeq = 65535;
    r->parameters.printDir = 65535;
    r->parameters.effects = 65535;
    r->parameters.signals = 65535;
    r->parameters.function = 65535;
    r->parameters.spitting = 255;
}

void PrintHeadNotAvailable(ReportRecord* r) { r->printHead.printCartridge = 255; }

void StatusNotAvailable(ReportRecord* r) {
    r->status.stats = 0xFFFF;
    r->status.storedImages = 255;
    r->status.phLevel = 255;
}

// "%02.02f-%03d" of version / 100, divided in single precision.
std::string FirmwareText(int version, int variant) {
    char text[64];
    const float v = static_cast<float>(version) / 100.0f;
    std::snprintf(text, sizeof text, "%02.02f-%03d", static_cast<double>(v), variant);
    return text;
}

// The setting read as a decimal integer: its leading number, 0 when it starts with none.
bool SettingIsZero(const std::string& value) {
    size_t i = 0;
    while (i < value.size() && std::isspace(static_cast<unsigned char>(value[i]))) ++i;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i)
        if (value[i] != '0') return false;
    return true;
}

}  // namespace

ReportStart CollectReportData(ReportRecord* report, int deviceID, const velmora::DeviceInfo& deviceInfo,
                              int imageVersion, int imageVariant, const ReportService& service) {
    report->failureFlags = 0;
    std::string value = "0";
    platform::ReadRegistryString(kSettingName, kSettingKey, &value);
    if (deviceInfo.runsApplication != 1) return ReportStart::NotReported;
    if (!SettingIsZero(value)) return ReportStart::NotReported;

    report->fileCount = 0;
    report->serialText.assign(deviceInfo.serial, strnlen(deviceInfo.serial, sizeof deviceInfo.serial));
    if (report->serialText.empty()) {
        report->failureFlags |= kNoSerial;
        report->serialText = "unknown";
        report->oldFirmwareText = "unknown";
        report->newFirmwareText = "unknown";
        ParametersNotAvailable(report);
        StatusNotAvailable(report);
        StatisticNotAvailable(report);
        PrintHeadNotAvailable(report);
        return StartReportThread(*report, service);
    }
    report->oldFirmwareText = FirmwareText(deviceInfo.version, deviceInfo.variant);
    report->newFirmwareText = FirmwareText(imageVersion, imageVariant);

    // Reads in this order; the first failure ends them, and its member and every member read
    // after it get their not-available values.
    if (velmora::GetDeviceParameter(deviceID, &report->parameters) < 1) {
        report->failureFlags |= kParameterFailed;
        ParametersNotAvailable(report);
        StatusNotAvailable(report);
        StatisticNotAvailable(report);
        PrintHeadNotAvailable(report);
        return StartReportThread(*report, service);
    }
    if (velmora::GetDeviceStatus(deviceID, &report->status) < 1) {
        report->failureFlags |= kStatusFailed;
        StatusNotAvailable(report);
        StatisticNotAvailable(report);
        PrintHeadNotAvailable(report);
        return StartReportThread(*report, service);
    }
    if (velmora::GetSFDeviceStatisticV2(deviceID, &report->statistic) < 1) {
        report->failureFlags |= kStatisticFailed;
        StatisticNotAvailable(report);
        PrintHeadNotAvailable(report);
        return StartReportThread(*report, service);
    }
    if (velmora::GetSFPrintHeadData(deviceID, &report->printHead) < 1) {
        report->failureFlags |= kPrintHeadFailed;
        PrintHeadNotAvailable(report);
        return StartReportThread(*report, service);
    }
    for (int index = 0; index < 255; ++index) {
        velmora::FileSystemInfo file{};
        if (velmora::GetFileSystemInfo(deviceID, index, &file) < 1) {
            report->fileCount = -1;
            break;
        }
        if (file.fileName[0] == 0) break;
        ++report->fileCount;
    }
    report->deviceInfoCopy = deviceInfo;
    return StartReportThread(*report, service);
}

}  // namespace report
