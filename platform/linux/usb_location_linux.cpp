// The USB location on Linux: the port's tty in sysfs leads to its USB interface, whose parent
// is the USB device, named after its bus and hub ports ("1-1.4").
#include "platform/usb_location.h"

#include <dirent.h>

#include <climits>
#include <cstdlib>

namespace platform {
namespace {

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string StablePortPath(const std::string& portPath, const std::string& byPathFolder) {
    const std::string folder = byPathFolder.empty() ? std::string("/dev/serial/by-path") : byPathFolder;
    const std::string device = RealPath(portPath);
    if (device.empty()) return {};
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return {};
    std::string found;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string link = folder + "/" + entry->d_name;
        if (RealPath(link) == device) {
            found = link;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::string UsbLocationOfPort(const std::string& portPath) {
    const std::string device = RealPath(portPath);
    if (device.rfind("/dev/", 0) != 0) return {};
    const std::string tty = RealPath("/sys/class/tty/" + BaseName(device) + "/device");
    if (tty.empty()) return {};
    // The interface ("1-1.4:1.0") sits in its USB device's folder ("1-1.4").
    const std::string interface = BaseName(tty);
    const size_t colon = interface.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    return interface.substr(0, colon);
}

}  // namespace platform
