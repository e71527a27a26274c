#include "platform/windows/device_names_windows.h"

#include <windows.h>

#include <cstring>

namespace platform {

std::string DosDeviceName(const std::string& path) {
    std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return {};
    for (size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return {};
    return name;
}

bool DevicePathPresent(const std::string& path) {
    const std::string device = DosDeviceName(path);
    if (device.empty()) return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    // A COM port is a name in the device namespace. Wine resolves port links made after its
    // start only when the port is opened, so an open without access rights comes second; a
    // port that someone holds is there all the same.
    char target[1024];
    if (::QueryDosDeviceA(device.c_str(), target, sizeof target) != 0) return true;
    HANDLE h = ::CreateFileA(("\\\\.\\" + device).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return true;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

}  // namespace platform
