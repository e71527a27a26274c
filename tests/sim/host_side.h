// The host's side of the emulated device for tests: the published port opened in raw mode with
// plain reads and writes on real time, and a child process for the command-line runner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace simtest {

class HostPort {
public:
    HostPort() = default;
    ~HostPort() { Close(); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    bool Write(std::span<const uint8_t> bytes);
    // Up to n bytes: returns early only when realTimeoutMs passes or the port hangs up.
    std::vector<uint8_t> Read(size_t n, int realTimeoutMs);
    // Writes the request and reads n bytes of answer.
    std::vector<uint8_t> Exchange(std::span<const uint8_t> request, size_t n, int realTimeoutMs = 3000);
    // Reads and discards whatever arrives until the port is quiet for quietMs.
    size_t Drain(int quietMs);
    // True when the device hangs up within realTimeoutMs.
    bool WaitHangUp(int realTimeoutMs);

private:
    int fd_ = -1;
};

std::string MakeTempDir();

// A child process with its standard output on a pipe.
struct Child {
    int pid = -1;
    int out = -1;
};
Child Spawn(const std::vector<std::string>& argv);
// One line of the child's output (without the line break), or "" after realTimeoutMs.
std::string ReadLine(Child& child, int realTimeoutMs);
// All remaining output until the child closes it.
std::string ReadAll(Child& child, int realTimeoutMs);
void Terminate(const Child& child);
// Exit code, or -1 when the child did not exit normally within realTimeoutMs.
int WaitExit(Child& child, int realTimeoutMs);

}  // namespace simtest
