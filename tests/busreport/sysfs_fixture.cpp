#include "sysfs_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "transport/usb_bus_report.h"

namespace busreport_test {

namespace {
bool IsRootHub(const fs::path& hub) { return hub.filename().string().rfind("usb", 0) == 0; }
}  // namespace

FakeSysfs::FakeSysfs() {
    std::string pattern = (fs::temp_directory_path() / "busreport-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
    fs::create_directories(base_ / "sys/bus/usb/devices");
    Write(base_ / "proc/sys/kernel/osrelease", "6.1.0-test\n");
}

FakeSysfs::~FakeSysfs() {
    std::error_code ec;
    fs::remove_all(base_, ec);
}

std::string FakeSysfs::Root() const { return (base_ / "sys/bus/usb/devices").string(); }

void FakeSysfs::Write(const fs::path& path, const std::string& content) const {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void FakeSysfs::Link(const fs::path& link, const fs::path& target) const {
    fs::create_directories(link.parent_path());
    fs::create_symlink(fs::relative(target, link.parent_path()), link);
}

fs::path FakeSysfs::Driver(const std::string& bus, const std::string& name, const std::string& module,
                           const std::string& version) const {
    const fs::path dir = base_ / "sys/bus" / bus / "drivers" / name;
    fs::create_directories(dir);
    if (!module.empty() && !fs::exists(fs::symlink_status(dir / "module"))) {
        const fs::path moduleDir = base_ / "sys/module" / module;
        fs::create_directories(moduleDir);
        if (!version.empty()) Write(moduleDir / "version", version + "\n");
        Link(dir / "module", moduleDir);
    }
    return dir;
}

void FakeSysfs::ModuleList(const std::string& list, const std::string& lines) const {
    Write(base_ / "lib/modules/6.1.0-test" / list, lines);
}

fs::path FakeSysfs::Controller(const std::string& path, const std::string& driver) const {
    const fs::path dir = base_ / "sys/devices" / path;
    fs::create_directories(dir);
    if (!driver.empty()) Link(dir / "driver", base_ / "sys/bus/pci/drivers" / driver);
    return dir;
}

fs::path FakeSysfs::RootHub(const fs::path& controller, int bus, int ports, const std::string& product) const {
    const std::string name = "usb" + std::to_string(bus);
    const fs::path dir = controller / name;
    fs::create_directories(dir);
    Write(dir / "maxchild", std::to_string(ports) + "\n");
    Write(dir / "product", product + "\n");
    Write(dir / "bConfigurationValue", "1\n");
    const fs::path interface = dir / (std::to_string(bus) + "-0:1.0");
    fs::create_directories(interface);
    for (int port = 1; port <= ports; ++port) {
        const fs::path portDir = interface / (name + "-port" + std::to_string(port));
        Write(portDir / "connect_type", "hotplug\n");
        Write(portDir / "state", "not attached\n");
    }
    Link(base_ / "sys/bus/usb/devices" / name, dir);
    return dir;
}

fs::path FakeSysfs::PortFolder(const fs::path& hub, int port) const {
    const std::string name = hub.filename().string();
    const std::string interface = IsRootHub(hub) ? name.substr(3) + "-0:1.0" : name + ":1.0";
    return hub / interface / (name + "-port" + std::to_string(port));
}

fs::path FakeSysfs::Device(const fs::path& hub, int port, const FakeDevice& device) const {
    const std::string hubName = hub.filename().string();
    const std::string name =
        IsRootHub(hub) ? hubName.substr(3) + "-" + std::to_string(port) : hubName + "." + std::to_string(port);
    const fs::path dir = hub / name;
    fs::create_directories(dir);

    const std::vector<unsigned char> descriptor = {
        18, 1, static_cast<unsigned char>(device.bcdUSB & 0xFF), static_cast<unsigned char>(device.bcdUSB >> 8),
        device.deviceClass, 0, 0, 64,
        static_cast<unsigned char>(device.idVendor & 0xFF), static_cast<unsigned char>(device.idVendor >> 8),
        static_cast<unsigned char>(device.idProduct & 0xFF), static_cast<unsigned char>(device.idProduct >> 8),
        0x00, 0x01, 1, 2, 3, 1};
    Write(dir / "descriptors", std::string(descriptor.begin(), descriptor.end()));
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x\n", device.idVendor);
    Write(dir / "idVendor", hex);
    std::snprintf(hex, sizeof hex, "%04x\n", device.idProduct);
    Write(dir / "idProduct", hex);
    Write(dir / "bConfigurationValue", device.configuration + "\n");
    Write(dir / "maxchild", std::to_string(device.maxchild) + "\n");
    if (!device.product.empty()) Write(dir / "product", device.product + "\n");
    Link(dir / "driver", Driver("usb", "usb", "usbcore"));

    if (!device.configuration.empty()) {
        const fs::path interface = dir / (name + ":" + device.configuration + ".0");
        fs::create_directories(interface);
        if (!device.driver.empty()) Link(interface / "driver", Driver("usb", device.driver));
        for (int p = 1; p <= device.maxchild; ++p) {
            const fs::path portDir = interface / (name + "-port" + std::to_string(p));
            Write(portDir / "connect_type", "hotplug\n");
            Write(portDir / "state", "not attached\n");
        }
    }

    const fs::path portDir = PortFolder(hub, port);
    Write(portDir / "state", device.configuration.empty() ? "addressed\n" : "configured\n");
    Link(portDir / "device", dir);
    Link(base_ / "sys/bus/usb/devices" / name, dir);
    return dir;
}

std::string Report(const FakeSysfs& sysfs, int* connected) {
    std::vector<char> buffer(velmora::kUsbBusReportSize, 'x');
    const int n = velmora::BuildUsbBusReport(buffer.data(), sysfs.Root());
    if (connected) *connected = n;
    return std::string(buffer.data());
}

}  // namespace busreport_test
