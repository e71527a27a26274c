// The Linux side of the port diagnosis: the facts gathered from /proc, sysfs, udev's database,
// the rule folders, the group database and logind, and the findings they lead to. Apart from
// DiagnosePortFailure so that tests can point it at a fixture tree.
#pragma once

#include <string>
#include <vector>

namespace platform::port_linux {

// Vendor id of the device's USB serial ports, as sysfs spells it.
constexpr const char* kVendorId = "2e4c";

struct Places {
    std::string proc = "/proc";
    std::string sys = "/sys";
    std::string udevData = "/run/udev/data";  // udev's database: one file per device, c<major>:<minor>
    // Folders udev reads rules from, the first that holds a name wins (an /etc file overrides).
    std::vector<std::string> ruleDirs = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                         "/lib/udev/rules.d"};
    std::string ruleName = QUILLON_UDEV_RULE;
};

struct Process {
    int pid = 0;
    std::string name;
    bool holdsLock = false;  // the flock on the port is this process's
};

enum class Seat { Unknown, Away, Present };

struct PortFacts {
    std::string path;                // the port as it was named
    std::string node;                // the file it leads to
    int error = 0;                   // errno of the failed open
    std::vector<Process> holders;    // other processes that have it open, lock holders first
    int hiddenProcesses = 0;         // processes whose open files this user may not see
    bool ourDevice = false;          // a USB device of kVendorId: the rule is meant for it
    bool knownToUdev = false;        // udev has a database entry for it
    bool modemManagerIgnores = false;  // ID_MM_DEVICE_IGNORE=1 in that entry
    bool modemManagerRunning = false;
    bool ruleInstalled = false;      // the rule file is present (not masked by a link to /dev/null)
    bool accessible = true;          // this process may read and write the node
    std::string user;                // this process's user name
    std::string group;               // the group that owns the node
    bool groupIsRoot = false;
    bool inGroup = false;            // this process has the group
    bool listedInGroup = false;      // the group database lists the user in it
    Seat seat = Seat::Unknown;       // the user's session is the active one at a local seat
};

PortFacts GatherPortFacts(const std::string& path, int error, const Places& places = Places());
std::vector<std::string> Findings(const PortFacts& facts);

}  // namespace platform::port_linux
