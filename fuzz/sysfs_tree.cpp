#include "fuzz/sysfs_tree.h"

#include <filesystem>
#include <string>

namespace fuzz {
namespace {

namespace fs = std::filesystem;
using busreport_test::FakeDevice;
using busreport_test::FakeSysfs;

const char* const kDrivers[] = {"", "cdc_acm", "usbhid", "hub", "usb-storage", "ftdi_sio"};
const char* const kAttributes[] = {"maxchild",  "bConfigurationValue", "idVendor", "idProduct", "product",
                                   "descriptors", "version",           "speed",    "bDeviceClass", "manufacturer"};
const char* const kPortAttributes[] = {"state", "connect_type"};

std::string Bytes(Input& in, size_t max) {
    const auto s = in.Take(in.Byte() % (max + 1));
    return {s.begin(), s.end()};
}

}  // namespace

std::unique_ptr<SysfsTree> BuildSysfsTree(Input& in) {
    auto tree = std::make_unique<SysfsTree>();
    try {
        tree->sysfs = std::make_unique<FakeSysfs>();
        FakeSysfs& s = *tree->sysfs;
        std::vector<fs::path> hubs;  // root hubs and external hubs, with their port counts
        std::vector<int> hubPorts;
        const int controllers = 1 + in.Byte() % 2;
        for (int c = 0; c < controllers; ++c) {
            const fs::path controller =
                s.Controller("pci0000:00/0000:00:1" + std::to_string(c) + ".0", in.Bool() ? "xhci_hcd" : "");
            const int roots = 1 + in.Byte() % 2;
            for (int r = 0; r < roots; ++r) {
                const int ports = in.Byte() % 5;
                hubs.push_back(s.RootHub(controller, 2 * c + r + 1, ports, Bytes(in, 24)));
                hubPorts.push_back(ports);
            }
        }
        const int devices = in.Byte() % 6;
        for (int d = 0; d < devices; ++d) {
            const size_t hub = in.Byte() % hubs.size();
            if (hubPorts[hub] == 0) continue;
            const int port = 1 + in.Byte() % hubPorts[hub];
            FakeDevice dev;
            dev.idVendor = in.Bool() ? 0x2E4C : in.U16();
            dev.idProduct = in.U16();
            dev.bcdUSB = in.U16();
            dev.deviceClass = in.Byte();
            dev.product = Bytes(in, 40);
            dev.driver = kDrivers[in.Byte() % 6];
            dev.configuration = in.Bool() ? "1" : (in.Bool() ? "" : "2");
            dev.maxchild = dev.deviceClass == 9 ? in.Byte() % 4 : 0;
            const fs::path name = hubs[hub] / (hubs[hub].filename().string().rfind("usb", 0) == 0
                                                   ? hubs[hub].filename().string().substr(3) + "-" + std::to_string(port)
                                                   : hubs[hub].filename().string() + "." + std::to_string(port));
            if (fs::exists(name)) continue;  // one device per port
            const fs::path dir = s.Device(hubs[hub], port, dev);
            tree->devices.push_back(dir);
            if (dev.maxchild > 0 && !dev.configuration.empty()) {
                hubs.push_back(dir);
                hubPorts.push_back(dev.maxchild);
            }
            // A serial port on the device's first interface.
            if (in.Bool() && !dev.configuration.empty()) {
                const std::string tty = "ttyACM" + std::to_string(d);
                const fs::path iface = dir / (dir.filename().string() + ":" + dev.configuration + ".0");
                const fs::path ttyDir = iface / "tty" / tty;
                fs::create_directories(ttyDir);
                s.Link(s.Base() / "sys/class/tty" / tty, ttyDir);
                s.Link(ttyDir / "device", iface);
            }
        }
        // Module lists and versions the driver column reads.
        if (in.Bool()) s.ModuleList("modules.dep", Bytes(in, 80));
        if (in.Bool()) s.ModuleList("modules.builtin", Bytes(in, 80));
        if (in.Bool()) s.Driver("usb", "cdc_acm", "cdc_acm", Bytes(in, 16));
        // Attributes overwritten with raw bytes.
        const int edits = in.Byte() % 8;
        for (int e = 0; e < edits && !tree->devices.empty(); ++e) {
            const fs::path& dir = tree->devices[in.Byte() % tree->devices.size()];
            const uint8_t which = in.Byte();
            if (which & 0x80) {
                const fs::path hub = dir.parent_path();
                const std::string hubName = hub.filename().string();
                const std::string iface = hubName.rfind("usb", 0) == 0 ? hubName.substr(3) + "-0:1.0" : hubName + ":1.0";
                const std::string own = dir.filename().string();
                const std::string portNumber = own.substr(own.find_last_of("-.") + 1);
                s.Write(hub / iface / (hubName + "-port" + portNumber) / kPortAttributes[which % 2], Bytes(in, 24));
            } else {
                s.Write(dir / kAttributes[which % 10], Bytes(in, 40));
            }
        }
    } catch (const std::exception&) {
        return nullptr;
    }
    return tree;
}

}  // namespace fuzz
