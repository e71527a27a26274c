// A small sysfs-shaped tree in a temporary folder: controllers, root hubs with port folders,
// devices with descriptors, strings and drivers, the module folders and the kernel's module
// lists, all as real files and symbolic links laid out as the kernel lays them out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace busreport_test {

namespace fs = std::filesystem;

struct FakeDevice {
    uint16_t idVendor = 0x2E4C;
    uint16_t idProduct = 0x0A1F;
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    std::string product;          // empty: no product string
    std::string driver;           // driver of interface 1.0; empty: none bound
    std::string configuration = "1";  // empty: no active configuration
    int maxchild = 0;             // ports of a hub
};

class FakeSysfs {
public:
    FakeSysfs();
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    // The folder the walk starts at: <base>/sys/bus/usb/devices.
    std::string Root() const;
    const fs::path& Base() const { return base_; }

    void Write(const fs::path& path, const std::string& content) const;
    // A relative symbolic link at link that points to target, as sysfs makes them.
    void Link(const fs::path& link, const fs::path& target) const;

    // A driver folder /sys/bus/<bus>/drivers/<name>; with a module, its module link and that
    // module's version file (none when version is empty).
    fs::path Driver(const std::string& bus, const std::string& name, const std::string& module = "",
                    const std::string& version = "") const;
    // Lines of <base>/lib/modules/<release>/<list>; the release comes from <base>/proc.
    void ModuleList(const std::string& list, const std::string& lines) const;

    // A host controller folder /sys/devices/<path> bound to a driver (none when empty).
    fs::path Controller(const std::string& path, const std::string& driver) const;
    // Root hub usb<bus> below a controller, with ports port folders.
    fs::path RootHub(const fs::path& controller, int bus, int ports,
                     const std::string& product = "xHCI Host Controller") const;
    // A device on a port of a hub (root hub or external hub); a hub gets its port folders.
    fs::path Device(const fs::path& hub, int port, const FakeDevice& device) const;
    // The port folder of a hub.
    fs::path PortFolder(const fs::path& hub, int port) const;

private:
    fs::path base_;
};

// The report of the fixture tree.
std::string Report(const FakeSysfs& sysfs, int* connected = nullptr);

}  // namespace busreport_test
