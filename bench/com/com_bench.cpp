// Throughput of the COM port layer against the device emulator, next to plain read/write on
// the same pseudo-terminal in the same run: page reads (request + 4,096-byte reply) and bulk
// data frames (65,539 bytes + 8-byte acknowledgement).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/newer_emulator.h"
#include "transport/com_port.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> PageRequest(int page) {
    const int len = 6 - 2 + 4096;
    return {0x03, 0x00, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), 0x05, 0x3F, 0x69, 0x75,
            static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)};
}

std::vector<uint8_t> DataFrame() {
    const uint32_t n = 65531;
    std::vector<uint8_t> f(n + 8);
    f[0] = 0x01;
    f[2] = 0xFF;
    f[3] = 0xFF;
    f[4] = 0x05;
    f[5] = 0x20;
    f[6] = 0x66;
    f[7] = 0x61;
    for (uint32_t i = 0; i < n; ++i) f[8 + i] = static_cast<uint8_t>(i);
    return f;
}

// The plain way: blocking read/write on the pseudo-terminal, nothing else.
struct RawPort {
    int fd = -1;
    explicit RawPort(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return;
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    ~RawPort() {
        if (fd >= 0) ::close(fd);
    }
    bool Write(const uint8_t* p, size_t n) {
        while (n) {
            ssize_t w = ::write(fd, p, n);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    bool Read(uint8_t* p, size_t n) {
        while (n) {
            ssize_t r = ::read(fd, p, n);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
};

struct Result {
    double seconds = 0;
    int count = 0;
    size_t bytes = 0;
};

template <typename Exchange>
Result Run(int count, size_t bytesEach, Exchange exchange) {
    Result r;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!exchange(i)) {
            std::fprintf(stderr, "exchange %d failed\n", i);
            break;
        }
        ++r.count;
        r.bytes += bytesEach;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

void Print(const char* what, const Result& com, const Result& raw) {
    std::printf("%-12s COM layer: %8.0f round trips/s %7.1f MB/s | raw pty: %8.0f round trips/s %7.1f MB/s | "
                "overhead %+.1f %%\n",
                what, com.count / com.seconds, com.bytes / com.seconds / 1e6, raw.count / raw.seconds,
                raw.bytes / raw.seconds / 1e6, (com.seconds / com.count) / (raw.seconds / raw.count) * 100.0 - 100.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    char tmpl[] = "/tmp/quillon-bench-com-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;

    quillon_sim::EmulatorConfig config;
    config.linkPath = dir + "/port0";
    config.device = quillon_sim::MakeDevice(1160);
    config.device.serviceMode = true;
    quillon_sim::NewerDeviceEmulator emulator(config);
    std::string error;
    if (!emulator.Start(&error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }
    setenv("VELMORA_COM_PORTS", ("0A1F=" + config.linkPath).c_str(), 1);
    int ports[1];
    if (velmora::FindComPorts(0x0A1F, ports, 1) != 1) return 1;

    std::vector<uint8_t> reply(4096 + 8);
    const std::vector<uint8_t> frame = DataFrame();
    uint8_t ack[8];
    Result comPages, rawPages, comFrames, rawFrames;
    // Alternate the two ways twice so that neither profits from a warmer machine.
    for (int pass = 0; pass < 2; ++pass) {
        {
            velmora::ComHandle h = velmora::OpenCOM(static_cast<uint8_t>(ports[0]));
            if (h == velmora::kInvalidComHandle) return 1;
            Result p = Run(rounds, reply.size() + 10, [&](int i) {
                auto req = PageRequest(i % 256);
                return velmora::WriteCOM(h, req.data(), 10) == 1 &&
                       velmora::ReadCOM(h, reply.data(), static_cast<uint32_t>(reply.size())) == 1;
            });
            Result f = Run(rounds / 20, frame.size() + 8, [&](int) {
                return velmora::WriteCOM(h, frame.data(), static_cast<uint32_t>(frame.size())) == 1 &&
                       velmora::ReadCOM(h, ack, 8) == 1;
            });
            velmora::CloseCOM(h);
            if (pass == 1) comPages = p, comFrames = f;
        }
        {
            RawPort raw(config.linkPath);
            if (raw.fd < 0) return 1;
            Result p = Run(rounds, reply.size() + 10, [&](int i) {
                auto req = PageRequest(i % 256);
                return raw.Write(req.data(), 10) && raw.Read(reply.data(), reply.size());
            });
            Result f = Run(rounds / 20, frame.size() + 8, [&](int) {
                return raw.Write(frame.data(), frame.size()) && raw.Read(ack, 8);
            });
            if (pass == 1) rawPages = p, rawFrames = f;
        }
    }
    emulator.Stop();
    std::printf("COM port layer against the device emulator (%d page reads, %d data frames)\n", comPages.count,
                comFrames.count);
    Print("page reads", comPages, rawPages);
    Print("data frames", comFrames, rawFrames);
    rmdir(dir.c_str());
    return 0;
}
