// COM port layer on Windows: the registry tells which COM ports belong to vendor 2E4C and a
// product id; a port is opened as \\.\COMn without sharing, its line settings read and written
// back unchanged and its total time-outs set, and bytes move with synchronous ReadFile and
// WriteFile, each bounded by those time-outs.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "platform/windows/device_names_windows.h"
#include "transport/com_port_os.h"

namespace velmora::com_os {
namespace {

constexpr size_t kKeyPathSize = 260;    // device key and instance key paths
constexpr size_t kSubkeyNameSize = 260;
constexpr size_t kClassNameSize = 200;
constexpr size_t kPortNameSize = 256;

// A registry key closed when it goes out of scope.
class Key {
public:
    Key() = default;
    ~Key() { Close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    bool Open(HKEY parent, const char* path) {
        Close();
        if (::RegOpenKeyExA(parent, path, 0, KEY_READ, &h_) == ERROR_SUCCESS) return true;
        h_ = nullptr;
        return false;
    }
    void Close() {
        if (h_) ::RegCloseKey(h_);
        h_ = nullptr;
    }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

// The number of subkeys of key, storing up to capacity of their names when names is given;
// -1 when the key cannot be queried.
int EnumSubkeys(std::vector<std::string>* names, size_t capacity, HKEY key) {
    char className[kClassNameSize] = {};
    DWORD classSize = sizeof className;
    DWORD subkeys = 0;
    if (::RegQueryInfoKeyA(key, className, &classSize, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    int count = 0;
    for (DWORD i = 0; i < subkeys; ++i) {
        char name[kSubkeyNameSize] = {};
        DWORD nameSize = sizeof name;
        if (::RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
        if (names && names->size() < capacity) names->emplace_back(name, nameSize);
        ++count;
    }
    return count;
}

// The number in the PortName value ("COM7" gives 7: the text from its fourth character on);
// -1 when there is no such value. A text without digits there gives 0.
int ReadPortName(HKEY key) {
    char value[kPortNameSize] = {};
    DWORD size = sizeof value - 1;  // room for a terminating zero the registry may not store
    if (::RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) !=
        ERROR_SUCCESS)
        return -1;
    return std::atoi(value + 3);
}

int Errno(DWORD error) {
    switch (error) {
        // A COM port that another handle holds refuses the open with "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return EBUSY;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        default:
            return EIO;
    }
}

HANDLE ToHandle(ComHandle h) { return reinterpret_cast<HANDLE>(h); }

// FindSystemComPorts without its answer to a lack of memory.
int FindInRegistry(uint16_t productId, int* ports, int capacity) {
    char deviceKey[kKeyPathSize];
    std::snprintf(deviceKey, sizeof deviceKey, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04x\\",
                  unsigned{kComVendorId}, unsigned{productId});
    Key key;
    if (!key.Open(HKEY_LOCAL_MACHINE, deviceKey)) return -1;
    const int count = EnumSubkeys(nullptr, 0, key.get());
    key.Close();
    if (count <= 0) return -1;

    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(count));
    // The instances are listed again: some may have come or gone since they were counted.
    if (!key.Open(HKEY_LOCAL_MACHINE, deviceKey)) return 0;
    EnumSubkeys(&names, static_cast<size_t>(count), key.get());
    key.Close();

    int stored = 0;
    for (size_t j = 0; j < names.size() && j < static_cast<size_t>(capacity); ++j) {
        char instanceKey[kKeyPathSize];
        const int n = std::snprintf(instanceKey, sizeof instanceKey, "%s%s\\Device Parameters", deviceKey,
                                    names[j].c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof instanceKey) continue;  // does not fit: not a path we can open
        Key parameters;
        if (!parameters.Open(HKEY_LOCAL_MACHINE, instanceKey)) continue;
        const int com = ReadPortName(parameters.get());
        if (com <= 0) continue;
        // The port keeps its own number in its path: COM300 is opened as COM300.
        const int number = ComPortNumber("\\\\.\\COM" + std::to_string(com));
        if (number > 0 && ports) ports[stored++] = number;
    }
    return stored;
}

}  // namespace

bool ListUsbTtys(const std::string&, uint16_t, uint16_t, std::vector<UsbTty>*) {
    return false;  // no sysfs on Windows
}

int FindSystemComPorts(uint16_t productId, int* ports, int capacity, const std::string&) {
    try {
        return FindInRegistry(productId, ports, capacity);
    } catch (const std::bad_alloc&) {
        return -2;
    }
}

bool PathExists(const std::string& path) { return platform::DevicePathPresent(path); }

ComHandle Open(const std::string& path, int* err) {
    // A device name alone ("COM12") is reached through the device namespace.
    const std::string device = platform::DosDeviceName(path);
    const std::string name = device.empty() ? path : "\\\\.\\" + device;
    HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = Errno(::GetLastError());
        return kInvalidComHandle;
    }
    auto fail = [&](int e) {
        ::CloseHandle(h);
        *err = e;
        return kInvalidComHandle;
    };
    // The line settings are the port's own: read and written back unchanged.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb) || !::SetCommState(h, &dcb)) return fail(ENOTTY);
    COMMTIMEOUTS timeouts{};
    ::GetCommTimeouts(h, &timeouts);  // the read interval time-out stays as the system has it
    timeouts.ReadTotalTimeoutMultiplier = kComTimeoutPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kComTimeoutConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kComTimeoutPerByteMs;
    timeouts.WriteTotalTimeoutConstant = kComTimeoutConstantMs;
    if (!::SetCommTimeouts(h, &timeouts)) return fail(ENOTTY);
    return reinterpret_cast<ComHandle>(h);
}

// The port's total time-outs bound each piece (n + 10,000 ms); timeoutMs says the same.
PieceEnd ReadPiece(ComHandle h, uint8_t* data, uint32_t n, uint32_t, uint32_t* moved) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(ToHandle(h), data, n, &got, nullptr);
    *moved = got;
    if (!ok) return PieceEnd::Failed;
    return got == n ? PieceEnd::Complete : PieceEnd::TimedOut;
}

PieceEnd WritePiece(ComHandle h, const uint8_t* data, uint32_t n, uint32_t, uint32_t* moved) {
    DWORD put = 0;
    const BOOL ok = ::WriteFile(ToHandle(h), data, n, &put, nullptr);
    *moved = put;
    if (!ok) return PieceEnd::Failed;
    return put == n ? PieceEnd::Complete : PieceEnd::TimedOut;
}

void Close(ComHandle h) { ::CloseHandle(ToHandle(h)); }

}  // namespace velmora::com_os
