// The USB bus report: writes a gathered UsbBusTree as indented lines with a driver column.
#include "transport/usb_bus_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "transport/usb_bus_tree.h"

namespace velmora {
namespace usbreport {
namespace {

constexpr int kMaxIndent = 127;     // the indent is one space per level, below 128
constexpr int kDriverColumn = 80;   // where the driver column starts on short lines

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, again);
        out.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return out;
}

// Characters, not bytes: a UTF-8 name keeps the driver column in place.
int DisplayLength(const std::string& text) {
    int n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Cuts text to at most max bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, size_t max) {
    if (text.size() <= max) return;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

class ReportWriter {
public:
    // Adds one line that ends in \r\n; an overlong line is cut before its line end.
    void Add(std::string line) {
        if (line.size() > kMaxReportLine) {
            CutUtf8(line, kMaxReportLine - 2);
            line += "\r\n";
        }
        lines_.push_back(std::move(line));
    }

    void Error(const char* where) { Add(Format("!E Unknown problem in %s !!\r\n", where)); }

    void AppendReportLine(int level, const std::string& text, const ServiceInfo* service) {
        const std::string indent(static_cast<size_t>(level < kMaxIndent ? level : kMaxIndent), ' ');
        const int fill = kDriverColumn - DisplayLength(text) - level;
        const std::string filler(fill > 0 ? static_cast<size_t>(fill) : 0, ' ');
        if (service && service->imagePath) {
            if (service->version) {
                const auto& v = *service->version;
                Add(Format("  %s%s %s(\\%s  rev.%u.%u.%u.%u)\r\n", indent.c_str(), text.c_str(),
                           filler.c_str(), service->imagePath->c_str(), unsigned{v[0]}, unsigned{v[1]},
                           unsigned{v[2]}, unsigned{v[3]}));
            } else {
                Add(Format("  %s%s %s(\\%s\r\n", indent.c_str(), text.c_str(), filler.c_str(),
                           service->imagePath->c_str()));
            }
        } else {
            Add(Format("  %s%s\r\n", indent.c_str(), text.c_str()));
        }
    }

    void CountConnected() { ++connected_; }

    // Header, as many whole lines as fit, and the closing count, which always fits.
    int Finish(char* buffer) const {
        const std::string head = "   USB bus:\r\n";
        const std::string foot = Format("   %d devices connected to USB\r\n", connected_);
        std::string out = head;
        size_t room = kUsbBusReportSize - 1 - head.size() - foot.size();
        for (const std::string& line : lines_) {
            if (line.size() > room) break;  // cut here: no later line either
            out += line;
            room -= line.size();
        }
        out += foot;
        std::memcpy(buffer, out.data(), out.size());
        buffer[out.size()] = '\0';
        return connected_;
    }

private:
    std::vector<std::string> lines_;
    int connected_ = 0;
};

void EnumerateHubPorts(ReportWriter& report, int level, const UsbHub& hub);

void EnumerateHub(ReportWriter& report, int level, const UsbHub& hub, const UsbPort* portInfo,
                  const std::string* displayName, const ServiceInfo* service) {
    ++level;
    if (!hub.readable || level > kMaxIndent) {
        report.Error("EnumerateHub");
        return;
    }
    std::string text;
    if (portInfo)
        text = Format(" [Port%d] %s ", portInfo->number, ConnectionStatusText(portInfo->status).c_str());
    text += displayName ? *displayName : hub.name;
    text += Format(" (%d ports)", hub.numberOfPorts);
    report.AppendReportLine(level, text, service);
    EnumerateHubPorts(report, level, hub);
}

void EnumerateHubPorts(ReportWriter& report, int level, const UsbHub& hub) {
    ++level;
    for (const UsbPort& port : hub.ports) {
        if (port.status == kConnected) report.CountConnected();

        // An empty port has neither driver nor description.
        const ServiceInfo* service = nullptr;
        const std::string* description = nullptr;
        if (port.status != kNoDevice) {
            switch (port.driverLookup) {
                case DriverLookup::NotInstalled:
                    report.Error("GetDriverKeyName (no driver installed)");
                    break;
                case DriverLookup::Failed:
                    report.Error("GetDriverKeyName");
                    break;
                case DriverLookup::Found:
                    if (port.service) service = &*port.service;
                    break;
            }
            if (port.description) description = &*port.description;
        }

        if (port.isHub) {
            if (port.hub) {
                EnumerateHub(report, level, *port.hub, &port, description, service);
                continue;
            }
            report.Error("GetExternalHubName");
        }

        if (port.idVendor == 0 && !description) continue;
        const std::string status = ConnectionStatusText(port.status);
        const unsigned vid = port.idVendor, pid = port.idProduct;
        const unsigned major = port.bcdUSB >> 8, minor = port.bcdUSB & 0xFFu;
        const std::string line =
            description ? Format("  [Port%d] %s %s   (%4.4X/%4.4X)  rev.:%X.%X", port.number, status.c_str(),
                                 description->c_str(), vid, pid, major, minor)
                        : Format("  [Port%d] %s Unknown device   (%4.4X/%4.4X)  rev.:%X.%X", port.number,
                                 status.c_str(), vid, pid, major, minor);
        report.AppendReportLine(level, line, service);
    }
}

}  // namespace

std::string ConnectionStatusText(int status) {
    switch (status) {
        case kNoDevice: return "-";
        case kConnected: return "->";
        case kEnumerationFailed: return "!Error Enum:";
        case kGeneralFailure: return "!Error general:";
        case kOverCurrent: return "!Ouver Current:";
        case kNotEnoughPower: return "!Error not enough powered:";
        default: return Format("!Error status %d:", status);
    }
}

int ComposeUsbBusReport(const UsbBusTree& tree, char* buffer) {
    ReportWriter report;
    for (const UsbHostController& controller : tree.controllers) {
        if (controller.driverKeyFailed) report.Error("GetHCDDriverKeyName");
        const std::string& name = controller.description ? *controller.description : controller.devicePath;
        const std::string displayName = Format("  %s->RootHub", name.c_str());
        if (controller.rootHubNameFailed) report.Error("GetRootHubName");
        const ServiceInfo* service = controller.service ? &*controller.service : nullptr;
        for (const UsbHub& rootHub : controller.rootHubs)
            EnumerateHub(report, 0, rootHub, nullptr, &displayName, service);
    }
    return report.Finish(buffer);
}

}  // namespace usbreport

int BuildUsbBusReport(char* buffer) { return BuildUsbBusReport(buffer, usbreport::DefaultUsbDevicesRoot()); }

int BuildUsbBusReport(char* buffer, const std::string& root) {
    return usbreport::ComposeUsbBusReport(usbreport::GatherUsbBus(root), buffer);
}

}  // namespace velmora
