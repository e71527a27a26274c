#include "frontend/device_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/velmora.h"
#include "platform/system_info.h"
#include "platform/terminal_text.h"
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

// The port and the serial come from the system and the device: filtered for the terminal.
std::string Line(const std::string& port, const velmora::DeviceInfo& info) {
    const std::string serial =
        platform::TerminalField(std::string_view(info.serial, strnlen(info.serial, sizeof info.serial)));
    char model[32], version[32];
    std::snprintf(model, sizeof model, "%4u-%03u", info.model, info.variant);
    std::snprintf(version, sizeof version, "%5.2f", info.version / 100.0);
    return Padded(platform::TerminalField(port), 24) + " " + model + "  " + Padded(serial, 6) + "  " + version +
           "     " + (info.runsApplication == 1 ? "application" : "Bootware") + "\n";
}

// Opens the device behind one port (the port override names only it) and describes it.
bool DescribePort(uint16_t productId, const std::string& path, std::string* out) {
    char list[16];
    std::snprintf(list, sizeof list, "%04X=", productId);
    platform::SetEnv(velmora::kComPortsVariable, list + path);
    const int id = velmora::OpenV2(1, nullptr, nullptr);
    if (id < 0) {
        *out += Padded(platform::TerminalField(path), 24) + " no answer (" +
                platform::TerminalField(velmora::DescribeLastOpenFailure()) + ")\n";
        return false;
    }
    velmora::DeviceInfo info{};
    velmora::GetDeviceInfo(id, &info);
    *out += Line(path, info);
    velmora::Close(id);
    return true;
}

}  // namespace

int ListDevices(std::string* out) {
    velmora::InitLibrary();
    const char* override = std::getenv(velmora::kComPortsVariable);
    const std::string saved = override ? override : "";
    *out += "PORT                      MODEL     SERIAL  FIRMWARE  RUNNING\n";
    int answered = 0;

    // Newer family: every port of both product ids, each opened on its own.
    std::vector<std::pair<uint16_t, std::string>> ports;
    for (uint16_t pid : {velmora::kComProductId660, velmora::kComProductId1160}) {
        int numbers[velmora::kMaxComPortNumber] = {};
        const int n = velmora::FindComPorts(pid, numbers, velmora::kMaxComPortNumber);
        for (int i = 0; i < n; ++i) ports.emplace_back(pid, velmora::ComPortPath(static_cast<uint8_t>(numbers[i])));
    }
    for (const auto& [pid, path] : ports) answered += DescribePort(pid, path, out);
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
        if (model == 660 || model == 1160) continue;  // listed above by port
        char request[32];
        std::snprintf(request, sizeof request, "%u-%.6s", model, reinterpret_cast<const char*>(r + 4));
        const int id = velmora::OpenV2(1, request, nullptr);
        if (id < 0) continue;
        velmora::DeviceInfo info{};
        velmora::GetDeviceInfo(id, &info);
        *out += Line("USB driver", info);
        velmora::Close(id);
        ++answered;
    }
    if (ports.empty() && answered == 0) *out += "(no Norvik device found)\n";
    return answered;
}

}  // namespace frontend
