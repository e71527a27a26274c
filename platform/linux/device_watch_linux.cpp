// Device changes on Linux: a libudev monitor for the tty and usb subsystems, and inotify on the
// folders of the watched paths. Both feed one epoll descriptor, the watch's wait handle.
#include "platform/device_watch.h"

#include <libudev.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <map>
#include <set>

namespace platform {
namespace {

class LinuxDeviceWatch : public DeviceWatch {
public:
    LinuxDeviceWatch(const std::vector<std::string>& paths, bool systemEvents) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) return;
        if (systemEvents) StartUdev();
        if (!paths.empty()) StartInotify(paths);
    }

    ~LinuxDeviceWatch() override {
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        if (inotify_ >= 0) close(inotify_);
        if (epoll_ >= 0) close(epoll_);
    }

    EventHandle WaitHandle() const override { return monitor_ || !folders_.empty() ? epoll_ : kNoEventHandle; }

    int TakeChanges() override {
        int changes = 0;
        if (monitor_) {
            // The monitor's socket does not block: every queued event is taken.
            while (udev_device* device = udev_monitor_receive_device(monitor_)) {
                ++changes;
                udev_device_unref(device);
            }
        }
        if (inotify_ >= 0) {
            alignas(inotify_event) std::array<char, 4096> buffer;
            for (;;) {
                const ssize_t n = read(inotify_, buffer.data(), buffer.size());
                if (n <= 0) break;
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                    const auto folder = folders_.find(event->wd);
                    if (folder == folders_.end() || event->len == 0) continue;
                    if (folder->second.count(event->name)) ++changes;
                }
            }
        }
        return changes;
    }

    std::string Describe() const override {
        std::string text;
        if (monitor_) text = "udev (tty, usb)";
        for (const auto& [wd, names] : folders_)
            for (const std::string& name : names) text += (text.empty() ? "" : ", ") + paths_.at(wd) + "/" + name;
        return text.empty() ? "nothing" : text;
    }

private:
    void StartUdev() {
        udev_ = udev_new();
        if (!udev_) return;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0 || !Watch(udev_monitor_get_fd(monitor_))) {
            if (monitor_) udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
    }

    void StartInotify(const std::vector<std::string>& paths) {
        inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ < 0 || !Watch(inotify_)) return;
        for (const std::string& path : paths) {
            const size_t slash = path.find_last_of('/');
            const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
            const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
            if (name.empty()) continue;
            // A port appears by creation or by a rename onto its name, and goes by removal.
            const int wd = inotify_add_watch(inotify_, folder.c_str(),
                                             IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB);
            if (wd < 0) continue;
            folders_[wd].insert(name);
            paths_[wd] = folder == "/" ? "" : folder;
        }
    }

    bool Watch(int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        return fd >= 0 && epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
    }

    int epoll_ = -1;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int inotify_ = -1;
    std::map<int, std::set<std::string>> folders_;  // watch -> names in that folder
    std::map<int, std::string> paths_;              // watch -> folder
};

}  // namespace

std::unique_ptr<DeviceWatch> StartDeviceWatch(const std::vector<std::string>& paths, bool systemEvents) {
    return std::make_unique<LinuxDeviceWatch>(paths, systemEvents);
}

}  // namespace platform
