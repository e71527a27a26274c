// Gathers the USB bus on Windows with the system's public means: the present device interfaces
// of the host-controller class (SetupAPI); per controller its driver key and root hub name;
// per hub its node information and, port by port, the connection information (extended form,
// else the older one), the driver key of the device and, for a hub, its name. Descriptions and
// driver services come from the device-node tree (configuration manager), found by driver key;
// a service's driver file from its ImagePath in the registry, and that file's version from its
// version resource. Names arrive as UTF-16 and are kept as UTF-8.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>
#include <usbioctl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/utf16.h"
#include "transport/usb_bus_tree.h"

namespace velmora::usbreport {
namespace {

// GUID_DEVINTERFACE_USB_HOST_CONTROLLER
constexpr GUID kHostControllerClass = {0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};
constexpr size_t kPropertySize = 512;   // description, service and driver key buffers
constexpr DWORD kImagePathSize = 128;
constexpr int kMaxHubDepth = 16;        // USB allows 7 tiers
constexpr size_t kPipeEntries = 30;     // room of the connection record

// Device texts go into log lines: control characters would break them apart.
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

// The two-step name requests: a fixed record (its first `prefix` bytes set, then ActualLength)
// gives the length, a buffer of that length the UTF-16 name. firstStepFailed tells which step
// failed. checkLength: a first-step length not larger than the fixed record is a failure.
std::optional<std::string> NameRequest(HANDLE h, DWORD code, ULONG portNumber, bool withPort, bool checkLength,
                                       bool* firstStepFailed = nullptr) {
    const size_t lengthOffset = withPort ? sizeof(ULONG) : 0;
    const size_t fixed = lengthOffset + sizeof(ULONG) + sizeof(WCHAR);  // 6 or 10 bytes
    std::vector<uint8_t> record(fixed, 0);
    if (withPort) std::memcpy(record.data(), &portNumber, sizeof portNumber);
    DWORD n = 0;
    if (firstStepFailed) *firstStepFailed = true;
    if (!::DeviceIoControl(h, code, record.data(), static_cast<DWORD>(fixed), record.data(),
                           static_cast<DWORD>(fixed), &n, nullptr))
        return std::nullopt;
    ULONG actual = 0;
    std::memcpy(&actual, record.data() + lengthOffset, sizeof actual);
    if ((checkLength && actual <= fixed) || actual < fixed || actual > 65536) return std::nullopt;
    if (firstStepFailed) *firstStepFailed = false;
    std::vector<uint8_t> full(actual, 0);
    if (withPort) std::memcpy(full.data(), &portNumber, sizeof portNumber);
    if (!::DeviceIoControl(h, code, full.data(), actual, full.data(), actual, &n, nullptr)) return std::nullopt;
    const size_t nameOffset = lengthOffset + sizeof(ULONG);
    const size_t units = (actual - nameOffset) / sizeof(WCHAR);
    std::vector<wchar_t> name(units + 1, L'\0');
    std::memcpy(name.data(), full.data() + nameOffset, units * sizeof(WCHAR));
    return platform::Narrow(name.data());
}

// A device-node property as text, none when it cannot be read.
std::optional<std::wstring> NodeProperty(DEVINST node, ULONG property) {
    wchar_t buffer[kPropertySize / sizeof(wchar_t)] = {};
    ULONG size = sizeof buffer - sizeof(wchar_t);
    if (::CM_Get_DevNode_Registry_PropertyW(node, property, nullptr, buffer, &size, 0) != CR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer);
}

// Depth-first through the device-node tree for the node whose driver key is driverKey.
std::optional<DEVINST> FindNode(const std::string& driverKey) {
    const std::wstring wanted = platform::Widen(driverKey);
    DEVINST node = 0;
    if (::CM_Locate_DevNodeW(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return std::nullopt;
    for (;;) {
        if (const auto key = NodeProperty(node, CM_DRP_DRIVER); key && _wcsicmp(key->c_str(), wanted.c_str()) == 0)
            return node;
        DEVINST next = 0;
        if (::CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
            node = next;
            continue;
        }
        for (;;) {
            if (::CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
                node = next;
                break;
            }
            if (::CM_Get_Parent(&next, node, 0) != CR_SUCCESS) return std::nullopt;
            node = next;
        }
    }
}

class Key {
public:
    Key() = default;
    ~Key() {
        if (h_) ::RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    bool Open(HKEY parent, const wchar_t* name) {
        if (::RegOpenKeyExW(parent, name, 0, KEY_QUERY_VALUE, &h_) == ERROR_SUCCESS) return true;
        h_ = nullptr;
        return false;
    }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

std::optional<std::wstring> ServiceImagePath(const std::wstring& service) {
    Key system, control, services, key;
    if (!system.Open(HKEY_LOCAL_MACHINE, L"SYSTEM") || !control.Open(system.get(), L"CurrentControlSet") ||
        !services.Open(control.get(), L"Services") || !key.Open(services.get(), service.c_str()))
        return std::nullopt;
    wchar_t path[kImagePathSize / sizeof(wchar_t) + 1] = {};
    DWORD size = kImagePathSize;
    if (::RegQueryValueExW(key.get(), L"ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(path);
}

// The file an ImagePath names: "\SystemRoot\..." and "System32\..." below the Windows folder,
// "\??\" stripped.
std::wstring ImageFile(std::wstring path) {
    wchar_t windows[MAX_PATH] = {};
    const bool haveWindows = ::GetWindowsDirectoryW(windows, MAX_PATH) != 0;
    if (path.rfind(L"\\??\\", 0) == 0) return path.substr(4);
    if (haveWindows && _wcsnicmp(path.c_str(), L"\\SystemRoot\\", 12) == 0) return windows + path.substr(11);
    if (haveWindows && _wcsnicmp(path.c_str(), L"System32\\", 9) == 0) return std::wstring(windows) + L"\\" + path;
    return path;
}

std::optional<std::array<uint16_t, 4>> FileVersion(const std::wstring& file) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<uint8_t> data(size);
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info || len < sizeof *info)
        return std::nullopt;
    return std::array<uint16_t, 4>{HIWORD(info->dwProductVersionMS), LOWORD(info->dwProductVersionMS),
                                   HIWORD(info->dwProductVersionLS), LOWORD(info->dwProductVersionLS)};
}

// Description and service of the device whose driver key is given.
void LookUp(const std::string& driverKey, std::optional<std::string>* description,
            std::optional<ServiceInfo>* service) {
    const auto node = FindNode(driverKey);
    if (!node) return;
    if (const auto text = NodeProperty(*node, CM_DRP_DEVICEDESC)) *description = Printable(platform::Narrow(text->c_str()));
    if (const auto name = NodeProperty(*node, CM_DRP_SERVICE)) {
        ServiceInfo info;
        info.name = platform::Narrow(name->c_str());
        if (const auto image = ServiceImagePath(*name)) {
            info.imagePath = Printable(platform::Narrow(image->c_str()));
            info.version = FileVersion(ImageFile(*image));
        }
        *service = std::move(info);
    }
}

class Walker {
public:
    UsbHub Hub(const std::string& name, int depth) {
        UsbHub hub;
        hub.name = name;
        Handle h(::CreateFileW(platform::Widen("\\\\.\\" + name).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        USB_NODE_INFORMATION node{};
        DWORD n = 0;
        if (depth > kMaxHubDepth || !h.ok() ||
            !::DeviceIoControl(h.get(), IOCTL_USB_GET_NODE_INFORMATION, &node, sizeof node, &node, sizeof node, &n,
                               nullptr)) {
            hub.readable = false;
            return hub;
        }
        hub.numberOfPorts = node.u.HubInformation.HubDescriptor.bNumberOfPorts;
        for (int number = 1; number <= hub.numberOfPorts; ++number) {
            UsbPort port;
            port.number = number;
            if (!Connection(h.get(), port)) continue;  // neither form answered: no line
            if (port.status != kNoDevice) {
                bool firstStepFailed = false;
                const auto key = NameRequest(h.get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
                                             static_cast<ULONG>(number), true, true, &firstStepFailed);
                if (key) {
                    port.driverLookup = DriverLookup::Found;
                    LookUp(*key, &port.description, &port.service);
                } else {
                    port.driverLookup = firstStepFailed ? DriverLookup::NotInstalled : DriverLookup::Failed;
                }
            }
            if (port.isHub) {
                if (const auto external = NameRequest(h.get(), IOCTL_USB_GET_NODE_CONNECTION_NAME,
                                                      static_cast<ULONG>(number), true, true))
                    port.hub = std::make_unique<UsbHub>(Hub(*external, depth + 1));
            }
            hub.ports.push_back(std::move(port));
        }
        return hub;
    }

private:
    // The connection information of a port: the extended form, else the older one.
    static bool Connection(HANDLE hub, UsbPort& port) {
        const size_t size = sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + kPipeEntries * sizeof(USB_PIPE_INFO);
        std::vector<uint8_t> buffer(size, 0);
        auto* ex = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION_EX*>(buffer.data());
        ex->ConnectionIndex = static_cast<ULONG>(port.number);
        DWORD n = 0;
        if (::DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, ex, static_cast<DWORD>(size), ex,
                              static_cast<DWORD>(size), &n, nullptr)) {
            Fill(port, ex->DeviceDescriptor, ex->DeviceIsHub, ex->ConnectionStatus);
            return true;
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        auto* plain = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer.data());
        plain->ConnectionIndex = static_cast<ULONG>(port.number);
        if (::DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, plain, static_cast<DWORD>(size), plain,
                              static_cast<DWORD>(size), &n, nullptr)) {
            Fill(port, plain->DeviceDescriptor, plain->DeviceIsHub, plain->ConnectionStatus);
            return true;
        }
        return false;
    }

    static void Fill(UsbPort& port, const USB_DEVICE_DESCRIPTOR& d, BOOLEAN isHub, USB_CONNECTION_STATUS status) {
        port.idVendor = d.idVendor;
        port.idProduct = d.idProduct;
        port.bcdUSB = d.bcdUSB;
        port.isHub = isHub != FALSE;
        port.status = static_cast<int>(status);
    }
};

}  // namespace

UsbBusTree GatherUsbBus(const std::string&) {
    UsbBusTree tree;
    HDEVINFO set = ::SetupDiGetClassDevsW(&kHostControllerClass, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return tree;
    Walker walker;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interface{};
        interface.cbSize = sizeof interface;
        if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &kHostControllerClass, index, &interface)) break;
        DWORD size = 0;
        ::SetupDiGetDeviceInterfaceDetailW(set, &interface, nullptr, 0, &size, nullptr);
        if (size <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint8_t> buffer(size, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!::SetupDiGetDeviceInterfaceDetailW(set, &interface, detail, size, nullptr, nullptr)) continue;
        Handle controllerHandle(::CreateFileW(detail->DevicePath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        if (!controllerHandle.ok()) continue;  // left out without a line
        UsbHostController controller;
        controller.devicePath = platform::Narrow(detail->DevicePath);
        if (const auto key = NameRequest(controllerHandle.get(), IOCTL_GET_HCD_DRIVERKEY_NAME, 0, false, true))
            LookUp(*key, &controller.description, &controller.service);
        else
            controller.driverKeyFailed = true;
        if (const auto root = NameRequest(controllerHandle.get(), IOCTL_USB_GET_ROOT_HUB_NAME, 0, false, false))
            controller.rootHubs.push_back(walker.Hub(*root, 1));
        else
            controller.rootHubNameFailed = true;
        tree.controllers.push_back(std::move(controller));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return tree;
}

std::string DefaultUsbDevicesRoot() { return {}; }

}  // namespace velmora::usbreport
