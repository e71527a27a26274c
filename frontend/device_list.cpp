#include "frontend/device_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/velmora.h"
#include "platform/system_info.h"
#include "platform/terminal_text.h"
#include "platform/usb_location.h"
#include "transport/com_port.h"
#include "transport/usb_communication.h"

namespace frontend {

namespace {

// Text padded with blanks to width columns, a column per UTF-8 character.
std::string Padded(std::string text, size_t width) {
    size_t columns = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
    if (columns < width) text.append(width - columns, ' ');
    return text;
}

using Row = std::vector<std::string>;

// The port and the serial come from the system and the device: filtered for the terminal.
Row DeviceRow(const std::string& port, const velmora::DeviceInfo& info) {
    const std::string serial =
        platform::TerminalField(std::string_view(info.serial, strnlen(info.serial, sizeof info.serial)));
    char model[32], version[32];
    std::snprintf(model, sizeof model, "%u-%03u", info.model, info.variant);
    std::snprintf(version, sizeof version, "%.2f", info.version / 100.0);
    return {platform::TerminalField(port), model, serial, version, info.runsApplication == 1 ? "application" : "Bootware",
            // This program installs the Norvik 1150's firmware only.
            info.model == 1160 ? "" : "not updated by this program"};
}

// Opens the device behind one port (the port override names only it) and reads its identity.
FoundDevice OpenPort(uint16_t productId, const std::string& path) {
    FoundDevice found;
    found.port = path;
    char list[16];
    std::snprintf(list, sizeof list, "%04X=", productId);
    platform::SetEnv(velmora::kComPortsVariable, list + path);
    const int id = velmora::OpenV2(1, nullptr, nullptr);
    if (id < 0) {
        found.failure = velmora::DescribeLastOpenFailure();
        return found;
    }
    found.answered = velmora::GetDeviceInfo(id, &found.info) == 1;
    velmora::Close(id);
    return found;
}

// The rows under their header, each column as wide as its widest cell; a row of two cells (a
// port that did not answer) runs on past the columns.
std::string Table(const std::vector<Row>& rows) {
    const Row header = {"PORT", "MODEL", "SERIAL", "FIRMWARE", "RUNNING", ""};
    std::vector<size_t> widths(header.size(), 0);
    const auto width = [](const std::string& s) {
        size_t columns = 0;
        for (char c : s)
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
        return columns;
    };
    for (size_t c = 0; c < header.size(); ++c) widths[c] = width(header[c]);
    for (const Row& r : rows)
        if (r.size() == header.size())
            for (size_t c = 0; c < r.size(); ++c) widths[c] = std::max(widths[c], width(r[c]));
    std::string out;
    const auto line = [&](const Row& r) {
        std::string text;
        for (size_t c = 0; c < r.size(); ++c) text += (c ? "  " : "") + (r.size() == header.size() ? Padded(r[c], widths[c]) : r[c]);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    };
    line(header);
    for (const Row& r : rows) line(r);
    return out;
}

}  // namespace

std::vector<FoundDevice> FindDevices(const std::vector<std::string>& skip) {
    velmora::InitLibrary();
    const char* override = std::getenv(velmora::kComPortsVariable);
    const std::string saved = override ? override : "";
    std::vector<FoundDevice> devices;

    // Newer family: every port of both product ids, each opened on its own, once (a port named
    // with --port stands for both ids).
    std::vector<std::pair<uint16_t, std::string>> ports;
    for (uint16_t pid : {velmora::kComProductId660, velmora::kComProductId1160}) {
        int numbers[velmora::kMaxComPortNumber] = {};
        const int n = velmora::FindComPorts(pid, numbers, velmora::kMaxComPortNumber);
        for (int i = 0; i < n; ++i) {
            const std::string path = velmora::ComPortPath(static_cast<uint8_t>(numbers[i]));
            if (std::none_of(ports.begin(), ports.end(), [&path](const auto& p) { return p.second == path; }))
                ports.emplace_back(pid, path);
        }
    }
    for (const auto& [pid, path] : ports) {
        // A port the user named (the override) is the stable name; else its by-path link.
        const std::string stable = override ? path : platform::StablePortPath(path);
        if (std::find(skip.begin(), skip.end(), path) != skip.end() ||
            (!stable.empty() && std::find(skip.begin(), skip.end(), stable) != skip.end()))
            continue;
        FoundDevice found = OpenPort(pid, path);
        found.stablePort = stable;
        found.usbLocation = platform::UsbLocationOfPort(path);
        devices.push_back(std::move(found));
    }
    if (override)
        platform::SetEnv(velmora::kComPortsVariable, saved);
    else
        platform::UnsetEnv(velmora::kComPortsVariable);

    // Older family behind the USB driver, by model and serial number.
    std::unique_ptr<velmora::CDeviceCommunication> channel(velmora::NewUsbChannel());
    std::vector<uint8_t> records;
    const int n = channel->GetListOfAvailableDevices(&records);
    for (int i = 0; i < n; ++i) {
        const uint8_t* r = records.data() + 12 * i;
        const unsigned model = r[2] | r[3] << 8;
        if (model == 660 || model == 1160) continue;  // found above by port
        char request[32];
        std::snprintf(request, sizeof request, "%u-%.6s", model, reinterpret_cast<const char*>(r + 4));
        const int id = velmora::OpenV2(1, request, nullptr);
        if (id < 0) continue;
        FoundDevice found;
        found.port = "USB driver";
        found.answered = velmora::GetDeviceInfo(id, &found.info) == 1;
        velmora::Close(id);
        devices.push_back(std::move(found));
    }
    return devices;
}

int ListDevices(std::string* out) {
    std::vector<Row> rows;
    int answered = 0;
    const std::vector<FoundDevice> devices = FindDevices();
    for (const FoundDevice& d : devices) {
        if (d.answered) {
            rows.push_back(DeviceRow(d.port, d.info));
            ++answered;
        } else {
            rows.push_back({platform::TerminalField(d.port), "no answer (" + platform::TerminalField(d.failure) + ")"});
        }
    }
    *out += Table(rows);
    if (devices.empty()) *out += "(no Norvik device found)\n";
    return answered;
}

}  // namespace frontend
