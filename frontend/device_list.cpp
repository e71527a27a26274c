#include "frontend/device_list.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devlib/velmora.h"
#include "platform/system_info.h"
#include "transport/com_port.h"
#include "transport/usb_communication.h"

namespace frontend {

namespace {

std::string Line(const std::string& port, const velmora::DeviceInfo& info) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%-24s %4u-%03u  %-6.6s  %5.2f     %s\n", port.c_str(), info.model, info.variant,
                  info.serial, info.version / 100.0, info.runsApplication == 1 ? "application" : "Bootware");
    std::string line = buf;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = '?';
    return line;
}

// Opens the device behind one port (the port override names only it) and describes it.
bool DescribePort(uint16_t productId, const std::string& path, std::string* out) {
    char list[16];
    std::snprintf(list, sizeof list, "%04X=", productId);
    platform::SetEnv(velmora::kComPortsVariable, list + path);
    const int id = velmora::OpenV2(1, nullptr, nullptr);
    if (id < 0) {
        *out += path + std::string(24 > path.size() ? 24 - path.size() : 0, ' ') + " no answer (" +
                velmora::DescribeLastOpenFailure() + ")\n";
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
