// The emulator's side of its port: the master of a pseudo-terminal whose slave is in raw mode,
// and the symbolic link under which the slave is published. Waits here are real time: they
// pace the emulator's own loop, not the device's behaviour (that runs on platform::Clock).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace quillon_sim {

class PseudoTerminal {
public:
    // A new pseudo-terminal; nullptr and a reason when the system cannot make one.
    static std::unique_ptr<PseudoTerminal> Open(std::string* error);

    virtual ~PseudoTerminal() = default;
    // The slave's device path (/dev/pts/N).
    virtual const std::string& SlavePath() const = 0;
    // Waits up to waitMs for input and reads what is there (at most buf.size() bytes).
    // 0: nothing arrived; -1: the port failed.
    virtual long Read(std::span<uint8_t> buf, int waitMs) = 0;
    // Writes all bytes unless the host does not take them within timeoutMs or stop is set.
    virtual bool Write(std::span<const uint8_t> bytes, int timeoutMs, const std::atomic<bool>& stop) = 0;
    // Bytes written to the host that it has not read yet.
    virtual size_t UnreadByHost() = 0;
};

// Makes link point to target, replacing an earlier link atomically (a link under a temporary
// name, then renamed). Refuses to replace anything that is not a symbolic link. Missing
// parent folders are created.
bool PublishLink(const std::string& link, const std::string& target, std::string* error);
// Removes link if it still points to target.
void UnpublishLink(const std::string& link, const std::string& target);

}  // namespace quillon_sim
