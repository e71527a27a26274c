// Shared pieces of the COM port tests: temporary folders, environment changes and a real
// pseudo-terminal whose slave is published under a link, as the device emulator does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/com_port.h"

namespace comtest {

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/quillon-com-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (!made) throw std::runtime_error("mkdtemp");
        path = made;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// Sets (or unsets) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The device side of a port: the pty master. The slave is reachable through `link`.
class Pty {
public:
    explicit Pty(const std::string& linkPath) : link(linkPath) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("pty");
        char name[128];
        if (ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("ptsname");
        slave = name;
        if (symlink(slave.c_str(), link.c_str()) != 0) throw std::runtime_error("symlink");
    }
    ~Pty() {
        CloseMaster();
        unlink(link.c_str());
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void CloseMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    bool Write(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads until n bytes came or nothing came for quietMs (real time).
    std::vector<uint8_t> Read(size_t n, int quietMs = 3000) const {
        std::vector<uint8_t> out;
        uint8_t buffer[8192];
        while (out.size() < n) {
            struct pollfd p {master, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0) break;
            const ssize_t got = ::read(master, buffer, std::min(sizeof buffer, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    int master = -1;
    std::string slave;
    std::string link;
};

// The port number of a published link, found through the port list as the product finds it.
inline int PortOf(const Pty& pty, const char* pid = "0A1F") {
    int ports[4] = {};
    const std::string list = std::string(pid) + "=" + pty.link;
    const uint16_t value = static_cast<uint16_t>(std::stoul(pid, nullptr, 16));
    if (velmora::FindComPortsInList(value, ports, 4, list) != 1) return -1;
    return ports[0];
}

inline std::vector<uint8_t> Pattern(size_t n, unsigned seed = 7) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + seed) % 251);
    return v;
}

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace comtest
