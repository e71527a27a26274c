// Port diagnosis on Linux. Holders come from /proc/<pid>/fd (the flock owner from /proc/locks),
// the device's origin from sysfs, ModemManager's instructions from udev's database, the seat
// from logind (sd-login), group membership from the process and the group database.
#include "platform/linux/port_diagnosis_linux.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/port_diagnosis.h"
#include "platform/terminal_text.h"

namespace platform {
namespace port_linux {
namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The pid whose flock lies on the file (dev, ino), from /proc/locks; 0 when none.
// Lines read "1: FLOCK  ADVISORY  WRITE 4242 00:19:6 0 EOF", the device in hex; waiters carry "->".
int FlockOwner(const fs::path& locks, const struct stat& file) {
    std::ifstream in(locks);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string number, kind, advisory, mode, where;
        int pid = 0;
        if (!(words >> number >> kind) || kind != "FLOCK") continue;
        if (!(words >> advisory >> mode >> pid >> where)) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        if (major == ::major(file.st_dev) && minor == ::minor(file.st_dev) && inode == file.st_ino) return pid;
    }
    return 0;
}

bool IsPid(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ScanProcesses(const Places& places, const struct stat& node, PortFacts* facts) {
    const int self = static_cast<int>(::getpid());
    std::error_code ec;
    for (fs::directory_iterator it(places.proc, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!IsPid(name)) continue;
        const int pid = std::atoi(name.c_str());
        const std::string comm = FirstLine(it->path() / "comm");
        if (comm == "ModemManager") facts->modemManagerRunning = true;
        if (pid == self) continue;
        std::error_code fdEc;
        fs::directory_iterator fds(it->path() / "fd", fdEc);
        if (fdEc) {
            if (fdEc == std::errc::permission_denied) ++facts->hiddenProcesses;
            continue;  // otherwise the process has ended meanwhile
        }
        for (fs::directory_iterator end2; !fdEc && fds != end2; fds.increment(fdEc)) {
            struct stat st {};
            if (::stat(fds->path().c_str(), &st) == 0 && SameFile(st, node)) {
                // Any process names itself: the name is filtered before it reaches a message.
                facts->holders.push_back(Process{pid, TerminalField(comm), false});
                break;
            }
        }
    }
    const int owner = FlockOwner(fs::path(places.proc) / "locks", node);
    for (Process& p : facts->holders) p.holdsLock = p.pid == owner;
    std::stable_sort(facts->holders.begin(), facts->holders.end(),
                     [](const Process& a, const Process& b) { return a.holdsLock && !b.holdsLock; });
}

// Whether the character device's nearest USB device in sysfs carries our vendor id.
bool FromOurVendor(const Places& places, const struct stat& node) {
    if (!S_ISCHR(node.st_mode)) return false;
    std::error_code ec;
    const fs::path root = fs::canonical(places.sys, ec);
    if (ec) return false;
    const fs::path link = root / "dev" / "char" / (std::to_string(::major(node.st_rdev)) + ":" +
                                                   std::to_string(::minor(node.st_rdev)));
    fs::path p = fs::canonical(link, ec);
    if (ec) return false;
    for (; p != root && p.has_relative_path() && p != p.parent_path(); p = p.parent_path()) {
        std::error_code e;
        if (!fs::exists(p / "idVendor", e)) continue;
        std::string vendor = FirstLine(p / "idVendor");
        std::transform(vendor.begin(), vendor.end(), vendor.begin(), [](unsigned char c) { return std::tolower(c); });
        return vendor == kVendorId;
    }
    return false;
}

void ReadUdevEntry(const Places& places, const struct stat& node, PortFacts* facts) {
    if (!S_ISCHR(node.st_mode)) return;
    const fs::path entry = fs::path(places.udevData) /
                           ("c" + std::to_string(::major(node.st_rdev)) + ":" + std::to_string(::minor(node.st_rdev)));
    std::ifstream in(entry);
    if (!in) return;
    facts->knownToUdev = true;
    std::string line;
    while (std::getline(in, line))
        if (line == "E:ID_MM_DEVICE_IGNORE=1") facts->modemManagerIgnores = true;
}

bool RuleInstalled(const Places& places) {
    for (const std::string& dir : places.ruleDirs) {
        const fs::path rule = fs::path(dir) / places.ruleName;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(rule, ec))) continue;
        // udev masks a rule with a link to /dev/null of the same name in an earlier folder.
        const fs::path target = fs::canonical(rule, ec);
        return !ec && target != "/dev/null";
    }
    return false;
}

void ReadAccess(const struct stat& node, PortFacts* facts) {
    facts->accessible = ::access(facts->node.c_str(), R_OK | W_OK) == 0;
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* pwr = nullptr;
    gid_t primary = ::getgid();
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &pwr) == 0 && pwr) {
        facts->user = pw.pw_name;
        primary = pw.pw_gid;
    } else {
        facts->user = std::to_string(::geteuid());
    }
    const gid_t gid = node.st_gid;
    facts->groupIsRoot = gid == 0;
    std::vector<char> gbuf(16384);
    struct group gr {};
    struct group* grr = nullptr;
    facts->group = ::getgrgid_r(gid, &gr, gbuf.data(), gbuf.size(), &grr) == 0 && grr ? gr.gr_name : std::to_string(gid);

    facts->inGroup = ::getegid() == gid;
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(n));
        const int got = ::getgroups(n, groups.data());
        for (int i = 0; i < got; ++i)
            if (groups[static_cast<size_t>(i)] == gid) facts->inGroup = true;
    }
    if (pwr) {
        int count = 64;
        std::vector<gid_t> listed(static_cast<size_t>(count));
        if (::getgrouplist(facts->user.c_str(), primary, listed.data(), &count) < 0) {
            listed.resize(static_cast<size_t>(count));
            ::getgrouplist(facts->user.c_str(), primary, listed.data(), &count);
        }
        listed.resize(static_cast<size_t>(std::max(count, 0)));
        facts->listedInGroup = std::find(listed.begin(), listed.end(), gid) != listed.end();
    }
}

Seat SeatOfThisProcess() {
    // Without logind there are no seats to be at.
    if (::access("/run/systemd/seats", F_OK) != 0) return Seat::Unknown;
    char* session = nullptr;
    if (sd_pid_get_session(0, &session) < 0) return Seat::Away;
    Seat seat = Seat::Away;
    char* seatName = nullptr;
    if (sd_session_is_active(session) > 0 && sd_session_get_seat(session, &seatName) >= 0) seat = Seat::Present;
    std::free(seatName);
    std::free(session);
    return seat;
}

std::string ListHolders(const std::vector<Process>& holders) {
    std::string text;
    for (size_t i = 0; i < holders.size(); ++i) {
        if (i > 0) text += i + 1 == holders.size() ? " and " : ", ";
        text += holders[i].name + " (pid " + std::to_string(holders[i].pid) +
                (holders[i].holdsLock ? ", which holds its lock)" : ")");
    }
    return text;
}

}  // namespace

PortFacts GatherPortFacts(const std::string& path, int error, const Places& places) {
    PortFacts facts;
    facts.path = path;
    facts.error = error;
    std::error_code ec;
    const fs::path node = fs::canonical(path, ec);
    facts.node = ec ? path : node.string();
    struct stat st {};
    if (::stat(facts.node.c_str(), &st) != 0) return facts;  // gone: nothing more to see
    ScanProcesses(places, st, &facts);
    facts.ourDevice = FromOurVendor(places, st);
    ReadUdevEntry(places, st, &facts);
    facts.ruleInstalled = RuleInstalled(places);
    ReadAccess(st, &facts);
    facts.seat = SeatOfThisProcess();
    return facts;
}

std::vector<std::string> Findings(const PortFacts& f) {
    std::vector<std::string> out;
    const bool busy = f.error == EBUSY;
    const bool denied = f.error == EACCES || f.error == EPERM;
    if (!busy && !denied) return out;
    if (busy) {
        if (!f.holders.empty())
            out.push_back("it is open in " + ListHolders(f.holders));
        else if (f.hiddenProcesses > 0)
            out.push_back("no process of this user has it open; processes of other users are seen by root only");
    }
    if (f.modemManagerRunning && f.knownToUdev && !f.modemManagerIgnores)
        out.push_back("ModemManager is running and has not been told to leave this device alone, so it may open the "
                      "port to probe it");
    if (f.ourDevice && !f.ruleInstalled)
        out.push_back("the udev rule " + std::string(QUILLON_UDEV_RULE) +
                      " is not installed (it gives the user at the seat access to the device and tells ModemManager "
                      "to leave it alone)");
    if (denied && !f.accessible) {
        const std::string owner = " the group " + f.group + " that owns " + f.node;
        if (f.groupIsRoot)
            out.push_back(f.node + " is open to root only");
        else if (f.listedInGroup && !f.inGroup)
            out.push_back("the user " + f.user + " was added to" + owner +
                          " after this session began: log out and in again");
        else if (!f.inGroup && f.seat != Seat::Present)
            out.push_back("the user " + f.user +
                          (f.seat == Seat::Away ? " is not at the local seat" : " has no session at a local seat") +
                          " and is not in" + owner + " (sudo adduser " + f.user + " " + f.group +
                          ", then log in again)");
        else if (f.seat == Seat::Present && f.ourDevice && f.ruleInstalled)
            out.push_back("the user " + f.user +
                          " is at the local seat, but the device has not been given to the seat yet: unplug it and "
                          "plug it in again");
    }
    return out;
}

}  // namespace port_linux

std::vector<std::string> DiagnosePortFailure(const std::string& path, int error) {
    if (error != EBUSY && error != EACCES && error != EPERM) return {};
    return port_linux::Findings(port_linux::GatherPortFacts(path, error));
}

}  // namespace platform
