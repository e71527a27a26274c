// Gathers the USB bus from sysfs: root hubs (usbN) and their controllers, hubs with their
// port folders, the devices on the ports with their descriptors, strings and drivers.
// Names of devices without a product string come from the udev hardware database; driver
// files from the kernel's module lists under /lib/modules/<release>.
#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_info.h"
#include "transport/usb_bus_tree.h"

namespace velmora::usbreport {
namespace {

namespace fs = std::filesystem;

constexpr size_t kAttributeLimit = 4096;
constexpr size_t kDescriptorsLimit = 65536;
constexpr size_t kDescriptionSize = 512;  // a description keeps at most 511 characters
constexpr int kMaxHubDepth = 16;          // USB allows 7 tiers; deeper means a looping tree
constexpr long kMaxPorts = 255;           // a hub descriptor counts its ports in one byte
constexpr std::string_view kSysfsDevices = "/sys/bus/usb/devices";

// Reads at most limit bytes of a file; none when it cannot be opened or read.
std::optional<std::string> ReadFile(const fs::path& path, size_t limit) {
    // O_NONBLOCK: a FIFO in a fixture tree must not stall the report.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string data;
    char chunk[4096];
    while (data.size() < limit) {
        const size_t want = std::min(sizeof chunk, limit - data.size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        data.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

// A text attribute without its line end.
std::optional<std::string> ReadAttribute(const fs::path& path) {
    auto text = ReadFile(path, kAttributeLimit);
    if (text)
        while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    return text;
}

// A whole attribute as a number in base; none when it is missing or not a number.
std::optional<long> ReadNumber(const fs::path& path, int base) {
    const auto text = ReadAttribute(path);
    if (!text) return std::nullopt;
    const char* begin = text->c_str();
    while (*begin == ' ') ++begin;
    if (!std::isxdigit(static_cast<unsigned char>(*begin))) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(begin, &end, base);
    while (*end == ' ') ++end;
    if (*end != '\0') return std::nullopt;
    return value;
}

// Device strings go into log lines: control characters would break the lines apart.
std::string Printable(std::string text) {
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    if (text.size() > kDescriptionSize - 1) {
        size_t end = kDescriptionSize - 1;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        text.resize(end);
    }
    return text;
}

std::optional<std::string> ReadDescription(const fs::path& dir) {
    auto product = ReadAttribute(dir / "product");
    if (!product || product->empty()) return std::nullopt;
    return Printable(*product);
}

// Up to four leading numbers of a version text ("2.1.3-k" gives 2.1.3.0); none when the text
// does not start with a number or a part does not fit in 16 bits.
std::optional<std::array<uint16_t, 4>> ParseVersion(const std::string& text) {
    std::array<uint16_t, 4> parts{};
    size_t i = 0;
    for (size_t n = 0; n < parts.size(); ++n) {
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (n == 0) return std::nullopt;
            break;
        }
        unsigned long value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            value = value * 10 + static_cast<unsigned long>(text[i] - '0');
            if (value > 0xFFFF) return std::nullopt;
            ++i;
        }
        parts[n] = static_cast<uint16_t>(value);
        if (i + 1 < text.size() && text[i] == '.' && std::isdigit(static_cast<unsigned char>(text[i + 1])))
            ++i;
        else
            break;
    }
    return parts;
}

// The names the udev hardware database gives a modalias, as "vendor model".
class HardwareNames {
public:
    HardwareNames() = default;
    HardwareNames(const HardwareNames&) = delete;
    HardwareNames& operator=(const HardwareNames&) = delete;
    ~HardwareNames() {
        if (hwdb_) udev_hwdb_unref(hwdb_);
        if (udev_) udev_unref(udev_);
    }

    std::optional<std::string> Lookup(const std::string& modalias) {
        if (modalias.empty() || !Open()) return std::nullopt;
        std::string vendor, model;
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_hwdb_get_properties_list_entry(hwdb_, modalias.c_str(), 0)) {
            const std::string_view name = udev_list_entry_get_name(entry);
            const char* value = udev_list_entry_get_value(entry);
            if (!value) continue;
            if (name == "ID_MODEL_FROM_DATABASE") model = value;
            if (name == "ID_VENDOR_FROM_DATABASE") vendor = value;
        }
        if (model.empty()) return std::nullopt;  // a vendor alone does not name a device
        return Printable(vendor.empty() ? model : vendor + " " + model);
    }

private:
    bool Open() {
        if (!tried_) {
            tried_ = true;
            udev_ = udev_new();
            if (udev_) hwdb_ = udev_hwdb_new(udev_);
        }
        return hwdb_ != nullptr;
    }

    bool tried_ = false;
    udev* udev_ = nullptr;
    udev_hwdb* hwdb_ = nullptr;
};

// Kernel module name of a module file name: "cdc-acm.ko.xz" -> "cdc_acm".
std::string ModuleNameOfFile(const std::string& path) {
    std::string name = fs::path(path).filename().string();
    const size_t ko = name.find(".ko");
    if (ko != std::string::npos) name.resize(ko);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// Module files as the kernel's module lists name them, relative to the modules folder:
// loadable ones from modules.dep, those built into the kernel from modules.builtin.
class ModuleFiles {
public:
    explicit ModuleFiles(std::optional<fs::path> folder) : folder_(std::move(folder)) {}

    std::optional<std::string> Find(const std::string& module) {
        if (!loaded_) Load();
        const auto it = files_.find(module);
        if (it == files_.end()) return std::nullopt;
        return it->second;
    }

private:
    void Load() {
        loaded_ = true;
        if (!folder_) return;
        ReadList(*folder_ / "modules.dep", true);
        ReadList(*folder_ / "modules.builtin", false);
    }

    void ReadList(const fs::path& list, bool dependencies) {
        std::ifstream in(list);
        std::string line;
        while (std::getline(in, line)) {
            if (dependencies) {
                const size_t colon = line.find(':');
                if (colon == std::string::npos) continue;
                line.resize(colon);
            }
            if (line.empty()) continue;
            files_.emplace(ModuleNameOfFile(line), line);  // the first listing wins
        }
    }

    std::optional<fs::path> folder_;
    bool loaded_ = false;
    std::map<std::string, std::string> files_;
};

// Root hubs are named usb<bus>.
bool IsRootHubName(const std::string& name) {
    return name.size() > 3 && name.compare(0, 3, "usb") == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); });
}

// What a device's "driver" entry says.
enum class DriverEntry { Absent, Unreadable, Bound };

DriverEntry ReadDriverName(const fs::path& dir, std::string* name) {
    std::error_code ec;
    const fs::path link = dir / "driver";
    if (!fs::exists(fs::symlink_status(link, ec))) return DriverEntry::Absent;
    const fs::path target = fs::read_symlink(link, ec);
    if (ec || target.filename().empty()) return DriverEntry::Unreadable;
    *name = target.filename().string();
    return DriverEntry::Bound;
}

class Walker {
public:
    explicit Walker(const std::string& root) : root_(root), modules_(ModulesFolder(root)) {}

    UsbBusTree Walk() {
        UsbBusTree tree;
        std::map<std::string, size_t> controllerIndex;
        for (const auto& [bus, entry] : RootHubEntries()) {
            std::error_code ec;
            const fs::path hubDir = fs::canonical(entry, ec);
            if (ec) {
                // The root hub cannot be reached, nor its controller.
                UsbHostController lost;
                lost.devicePath = entry.string();
                lost.rootHubNameFailed = true;
                tree.controllers.push_back(std::move(lost));
                continue;
            }
            const fs::path controllerDir = hubDir.parent_path();
            auto [it, added] = controllerIndex.emplace(controllerDir.string(), tree.controllers.size());
            if (added) tree.controllers.push_back(Controller(controllerDir, hubDir));
            tree.controllers[it->second].rootHubs.push_back(Hub(hubDir, 1));
        }
        return tree;
    }

private:
    // The modules folder of the system whose sysfs is at root, when root is such a sysfs
    // path: <system>/lib/modules/<release of <system>/proc>.
    static std::optional<fs::path> ModulesFolder(std::string root) {
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        if (root.size() < kSysfsDevices.size() ||
            root.compare(root.size() - kSysfsDevices.size(), kSysfsDevices.size(), kSysfsDevices) != 0)
            return std::nullopt;
        std::string system = root.substr(0, root.size() - kSysfsDevices.size());
        if (system.empty()) system = "/";
        const auto release = ReadAttribute(fs::path(system) / "proc/sys/kernel/osrelease");
        if (!release || release->empty() || release->find('/') != std::string::npos || *release == "." ||
            *release == "..")
            return std::nullopt;
        return fs::path(system) / "lib/modules" / *release;
    }

    // The usbN entries of root in bus order.
    std::vector<std::pair<long, fs::path>> RootHubEntries() const {
        std::vector<std::pair<long, fs::path>> hubs;
        std::error_code ec;
        for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (!IsRootHubName(name)) continue;
            hubs.emplace_back(std::strtol(name.c_str() + 3, nullptr, 10), it->path());
        }
        std::sort(hubs.begin(), hubs.end());
        return hubs;
    }

    UsbHostController Controller(const fs::path& dir, const fs::path& firstRootHub) {
        UsbHostController controller;
        controller.devicePath = dir.string();
        // The hardware database knows the controller by its bus ids; the root hub names
        // the controller's kind ("xHCI Host Controller").
        if (const auto modalias = ReadAttribute(dir / "modalias")) controller.description = names_.Lookup(*modalias);
        if (!controller.description) controller.description = ReadDescription(firstRootHub);
        std::string driver;
        if (ReadDriverName(dir, &driver) == DriverEntry::Bound)
            controller.service = Service(dir, driver);
        else
            controller.driverKeyFailed = true;
        return controller;
    }

    ServiceInfo Service(const fs::path& deviceDir, const std::string& driver) {
        ServiceInfo service;
        service.name = driver;
        std::error_code ec;
        const fs::path module = deviceDir / "driver" / "module";
        const fs::path target = fs::read_symlink(module, ec);
        if (ec || target.filename().empty()) {
            // A built-in driver without a module entry: only its name is known.
            service.imagePath = driver;
            return service;
        }
        const std::string moduleName = target.filename().string();
        service.imagePath = modules_.Find(moduleName).value_or(moduleName);
        if (const auto version = ReadAttribute(module / "version")) service.version = ParseVersion(*version);
        return service;
    }

    // The interface folders of a device ("1-3:1.0", ...; "1-0:1.0" of root hub usb1) in
    // configuration and interface order.
    static std::vector<fs::path> Interfaces(const fs::path& deviceDir) {
        const std::string name = deviceDir.filename().string();
        const std::string prefix = IsRootHubName(name) ? name.substr(3) + "-0:" : name + ":";
        std::vector<std::pair<std::pair<long, long>, fs::path>> found;
        std::error_code ec;
        for (fs::directory_iterator it(deviceDir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string entry = it->path().filename().string();
            if (entry.compare(0, prefix.size(), prefix) != 0) continue;
            char* dot = nullptr;
            const long config = std::strtol(entry.c_str() + prefix.size(), &dot, 10);
            const long number = (*dot == '.') ? std::strtol(dot + 1, nullptr, 10) : 0;
            found.push_back({{config, number}, it->path()});
        }
        std::sort(found.begin(), found.end());
        std::vector<fs::path> interfaces;
        for (auto& entry : found) interfaces.push_back(std::move(entry.second));
        return interfaces;
    }

    // The driver of a device: that of its first interface with one, else a driver bound to the
    // whole device other than the generic "usb" one that every device has.
    void FindDriver(const fs::path& deviceDir, UsbPort& port) {
        std::vector<fs::path> candidates = Interfaces(deviceDir);
        candidates.push_back(deviceDir);
        for (const fs::path& dir : candidates) {
            std::string driver;
            switch (ReadDriverName(dir, &driver)) {
                case DriverEntry::Absent:
                    continue;
                case DriverEntry::Unreadable:
                    port.driverLookup = DriverLookup::Failed;
                    return;
                case DriverEntry::Bound:
                    if (dir == deviceDir && driver == "usb") continue;
                    port.driverLookup = DriverLookup::Found;
                    port.service = Service(dir, driver);
                    return;
            }
        }
        port.driverLookup = DriverLookup::NotInstalled;
    }

    void Device(const fs::path& deviceDir, UsbPort& port, int depth) {
        int deviceClass = -1;
        const auto descriptors = ReadFile(deviceDir / "descriptors", kDescriptorsLimit);
        if (descriptors && descriptors->size() >= 18 && (*descriptors)[1] == 1) {
            const auto byte = [&](size_t i) { return static_cast<uint16_t>(static_cast<unsigned char>((*descriptors)[i])); };
            port.bcdUSB = static_cast<uint16_t>(byte(2) | byte(3) << 8);
            deviceClass = byte(4);
            port.idVendor = static_cast<uint16_t>(byte(8) | byte(9) << 8);
            port.idProduct = static_cast<uint16_t>(byte(10) | byte(11) << 8);
        } else {
            port.idVendor = static_cast<uint16_t>(ReadNumber(deviceDir / "idVendor", 16).value_or(0));
            port.idProduct = static_cast<uint16_t>(ReadNumber(deviceDir / "idProduct", 16).value_or(0));
            deviceClass = static_cast<int>(ReadNumber(deviceDir / "bDeviceClass", 16).value_or(-1));
            // "version" holds bcdUSB as " 2.00".
            if (const auto version = ReadAttribute(deviceDir / "version")) {
                unsigned major = 0, minor = 0;
                if (std::sscanf(version->c_str(), " %x.%x", &major, &minor) == 2)
                    port.bcdUSB = static_cast<uint16_t>((major & 0xFF) << 8 | (minor & 0xFF));
            }
        }

        // A device without an active configuration did not finish enumerating (a failed
        // set-configuration, or too little bus power); one that is not authorized is left so
        // on purpose.
        const auto configuration = ReadAttribute(deviceDir / "bConfigurationValue");
        const auto authorized = ReadAttribute(deviceDir / "authorized");
        const bool blocked = authorized && *authorized == "0";
        port.status = (configuration && configuration->empty() && !blocked) ? kEnumerationFailed : kConnected;

        port.description = ReadDescription(deviceDir);
        if (!port.description && port.idVendor != 0) {
            char key[32];
            std::snprintf(key, sizeof key, "usb:v%04Xp%04X", unsigned{port.idVendor}, unsigned{port.idProduct});
            port.description = names_.Lookup(key);
        }
        FindDriver(deviceDir, port);

        const auto maxchild = ReadNumber(deviceDir / "maxchild", 10);
        port.isHub = deviceClass == 9 || (maxchild && *maxchild > 0);
        // A hub without ports has no hub driver behind it: its hub cannot be reached.
        if (port.isHub && !(maxchild && *maxchild == 0))
            port.hub = std::make_unique<UsbHub>(Hub(deviceDir, depth + 1));
    }

    UsbHub Hub(const fs::path& hubDir, int depth) {
        UsbHub hub;
        hub.name = hubDir.string();
        const auto ports = ReadNumber(hubDir / "maxchild", 10);
        if (!ports || *ports < 0 || *ports > kMaxPorts || depth > kMaxHubDepth || !visited_.insert(hub.name).second) {
            hub.readable = false;
            return hub;
        }
        hub.numberOfPorts = static_cast<int>(*ports);

        // Port folders ("usb1-port3", "1-1-port3") live in the hub's interface folder.
        const std::string hubName = hubDir.filename().string();
        const std::string portPrefix = hubName + "-port";
        std::map<long, fs::path> portDirs;
        for (const fs::path& interface : Interfaces(hubDir)) {
            std::error_code ec;
            for (fs::directory_iterator it(interface, ec), end; !ec && it != end; it.increment(ec)) {
                const std::string name = it->path().filename().string();
                if (name.compare(0, portPrefix.size(), portPrefix) != 0) continue;
                char* rest = nullptr;
                const long number = std::strtol(name.c_str() + portPrefix.size(), &rest, 10);
                if (rest != name.c_str() + portPrefix.size() && *rest == '\0') portDirs.emplace(number, it->path());
            }
        }

        // Devices on the ports are named "<bus>-<port>" under a root hub, "<hub>.<port>" below.
        const std::string childPrefix = IsRootHubName(hubName) ? hubName.substr(3) + "-" : hubName + ".";
        for (int number = 1; number <= hub.numberOfPorts; ++number) {
            UsbPort port;
            port.number = number;
            const auto portDir = portDirs.find(number);
            std::error_code ec;
            fs::path deviceDir;
            if (portDir != portDirs.end() && fs::is_directory(portDir->second / "device", ec))
                deviceDir = fs::canonical(portDir->second / "device", ec);
            if (deviceDir.empty() || ec) {
                ec.clear();
                const fs::path child = hubDir / (childPrefix + std::to_string(number));
                deviceDir = fs::is_directory(child, ec) ? fs::canonical(child, ec) : fs::path();
                if (ec) deviceDir.clear();
            }
            if (!deviceDir.empty()) {
                Device(deviceDir, port, depth);
            } else if (portDir != portDirs.end()) {
                // No device, yet the port left "not attached": the device got stuck on its
                // way through enumeration.
                const auto state = ReadAttribute(portDir->second / "state");
                if (state && !state->empty() && *state != "not attached") port.status = kEnumerationFailed;
            }
            hub.ports.push_back(std::move(port));
        }
        return hub;
    }

    fs::path root_;
    ModuleFiles modules_;
    HardwareNames names_;
    std::set<std::string> visited_;
};

}  // namespace

UsbBusTree GatherUsbBus(const std::string& root) { return Walker(root).Walk(); }

std::string DefaultUsbDevicesRoot() {
    std::string root = platform::GetEnv("VELMORA_USB_DEVICES");
    return root.empty() ? std::string(kSysfsDevices) : root;
}

}  // namespace velmora::usbreport
