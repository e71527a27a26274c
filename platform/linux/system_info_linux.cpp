// Machine and program facts from /proc, uname(2), sysconf(3) and the password database.
#include "platform/system_info.h"

#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace platform {

std::string GetEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

bool SetEnv(const char* name, const std::string& value) { return ::setenv(name, value.c_str(), 1) == 0; }

bool UnsetEnv(const char* name) { return ::unsetenv(name) == 0; }

int CommonAppDataFolder(std::string* folder) {
    std::string dir = GetEnv("VELMORA_COMMON_APPDATA");
    if (dir.empty()) dir = "/var/lib";
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    *folder = dir;
    return 1;
}

std::string ProgramPath() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

uint32_t ModuleNumber() {
    struct stat st {};
    if (::stat("/proc/self/exe", &st) != 0) return 0x00400000u;
    // Mix device and inode into 32 bits; equal for every process of this file.
    uint64_t x = static_cast<uint64_t>(st.st_ino) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(st.st_dev);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint32_t>(x);
}

OsFacts GetOsFacts() {
    OsFacts f;
    struct utsname u {};
    if (::uname(&u) != 0) return f;
    std::sscanf(u.release, "%d.%d.%d", &f.major, &f.minor, &f.build);
    const std::string machine = u.machine;
    if (machine == "x86_64" || machine == "aarch64" || machine == "ppc64le" || machine == "s390x" ||
        machine == "riscv64")
        f.bits = 64;
    else if (!machine.empty())
        f.bits = 32;
    f.details = std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
    return f;
}

ProcessorFacts GetProcessorFacts() {
    ProcessorFacts p;
    long n = ::sysconf(_SC_NPROCESSORS_CONF);
    p.count = n > 0 ? static_cast<int>(n) : 0;
    struct utsname u {};
    if (::uname(&u) == 0) {
        const std::string machine = u.machine;
        if (machine == "x86_64")
            p.type = 8664;
        else if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86")
            p.type = 586;
        else if (machine == "aarch64")
            p.type = 0xAA64;
    }
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    int family = -1, model = -1, stepping = -1;
    while (std::getline(cpu, line)) {
        auto value = [&](const char* key, int& out) {
            if (out < 0 && line.rfind(key, 0) == 0) {
                auto colon = line.find(':');
                if (colon != std::string::npos) out = std::atoi(line.c_str() + colon + 1);
            }
        };
        value("cpu family", family);
        value("model\t", model);
        value("stepping", stepping);
        if (line.empty() && family >= 0) break;  // first processor is enough
    }
    p.level = family > 0 ? family : 0;
    p.revision = (model > 0 ? model : 0) << 8 | (stepping > 0 ? stepping : 0);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0)
        for (int i = 0; i < 32; ++i)
            if (CPU_ISSET(i, &set)) p.activeMask |= 1u << i;
    p.minAddress = 0x10000;
    std::ifstream minAddr("/proc/sys/vm/mmap_min_addr");
    unsigned long long v = 0;
    if (minAddr >> v && v <= 0xFFFFFFFFull) p.minAddress = static_cast<uint32_t>(v);
    p.maxAddress = sizeof(void*) == 8 ? 0xFFFFFFFFu : 0xBFFFFFFFu;
    return p;
}

std::string UserName() {
    struct passwd pw {};
    struct passwd* out = nullptr;
    char buf[4096];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &out) == 0 && out) return out->pw_name;
    return {};
}

std::string ComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

uint32_t ProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace platform
