// An emulated device of the newer family (model 660 or 1160) on a pseudo-terminal.
//
// The emulator owns the master side of a pseudo-terminal and publishes the slave under a
// symbolic link (EmulatorConfig::linkPath). The product reaches it through
// VELMORA_COM_PORTS="0A1F=<link>" (0A1E for model 660), the same code path as a real device.
// A restart removes the link and closes the master (the host's open port sees a hang-up),
// waits restartDelayMs on platform::GetClock() and publishes a fresh pseudo-terminal under the
// same link.
//
// One thread of its own answers the port; every accessor is safe to call from other threads.
// The clock in use when Start() runs is the one the emulator keeps: a test that installs a
// VirtualClock must Stop() the emulator before the clock goes away.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/newer_device.h"

namespace platform {
class Clock;
}

namespace quillon_sim {

class PseudoTerminal;

struct EmulatorConfig {
    std::string linkPath;
    DeviceState device = MakeDevice(1160);
    uint32_t restartDelayMs = 1500;  // from the port going away to the new port, on the clock
    // Delay of Fault::AnswerLate, on the clock; the host's longest wait is 4,104 + 10,000 ms.
    uint32_t lateReplyMs = 20000;
    uint32_t frameGapMs = 1000;      // an incomplete frame is dropped after this silence
    // Moves bytes at about USB full speed: 1 ms per transaction and about 1 MB/s, in real time
    // (it stands for the wire, so it does not wait for a virtual clock to move).
    bool throttle = false;
    // Receives each line of the command log as it is written (from the emulator's thread).
    std::function<void(const std::string&)> logSink;
};

class NewerDeviceEmulator {
public:
    explicit NewerDeviceEmulator(EmulatorConfig config);
    ~NewerDeviceEmulator();
    NewerDeviceEmulator(const NewerDeviceEmulator&) = delete;
    NewerDeviceEmulator& operator=(const NewerDeviceEmulator&) = delete;

    // Publishes the first port and starts answering. false (and why) when the port cannot be
    // made or published.
    bool Start(std::string* error = nullptr);
    // Stops answering and removes the link. Safe to call more than once.
    void Stop();

    const std::string& Path() const { return config_.linkPath; }
    // The pseudo-terminal the link points to now (empty while the device is away).
    std::string SlavePath() const;
    bool Online() const;
    // Number of times a port has been published (1 after Start, +1 after each return).
    uint32_t Publications() const;
    // Real-time waits for the state the emulator's thread reaches by itself.
    bool WaitOnline(uint32_t publications, uint32_t realTimeoutMs) const;
    bool WaitOffline(uint32_t realTimeoutMs) const;

    // A copy of the whole device state.
    DeviceState State() const;
    // Changes the device state under the emulator's lock (status, faults, identity, ...).
    void Update(const std::function<void(DeviceState&)>& change);
    void SetFault(Fault fault, bool on);
    // The device is pulled out: its port goes away (the host sees a hang-up) and it does not come
    // back. Returns once the port is gone.
    void Unplug();
    std::vector<uint8_t> ReadFlash(uint32_t address, size_t length) const;
    std::map<std::string, SdFile> SdFiles() const;
    // One readable line per command received, plus restarts and ignored input.
    std::vector<std::string> CommandLog() const;

    // What crossed the link: frames answered and their bytes each way.
    struct LinkStats {
        uint64_t frames = 0;
        uint64_t bytesIn = 0;   // frames as received
        uint64_t bytesOut = 0;  // replies and acknowledgements
        // The time the throttled link takes for them: 1 ms a frame and 1 us a byte.
        uint64_t ThrottleUs() const { return frames * 1000 + bytesIn + bytesOut; }
    };
    LinkStats Link() const;

private:
    void Run();
    void Process(const Frame& frame);
    void Restart(RestartInto into, uint64_t answeredAtMs);
    // A flapping device has been online for its time.
    bool FlapDue();
    bool GoOnline(std::string* error);
    void GoOffline();
    bool WaitOnClock(uint64_t deadlineMs);
    void RealSleepUs(uint64_t us);
    void Log(const std::string& line);

    EmulatorConfig config_;
    platform::Clock* clock_ = nullptr;

    mutable std::mutex mutex_;  // guards device_, online state, slavePath_, log_
    mutable std::condition_variable changed_;
    DeviceState device_;
    bool online_ = false;
    uint32_t publications_ = 0;
    uint64_t onlineSinceMs_ = 0;  // when the port was last published, on the clock
    bool flapSeen_ = false;       // flapping has begun; since flapSinceMs_
    uint64_t flapSinceMs_ = 0;
    std::string slavePath_;
    std::vector<std::string> log_;
    LinkStats link_;

    std::mutex sinkMutex_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> unplug_{false};
    bool started_ = false;

    // Used by the emulator's thread only (and by Start/Stop while it does not run).
    std::unique_ptr<PseudoTerminal> pty_;
    uint64_t restartDeadline_ = 0;
    std::thread thread_;
};

}  // namespace quillon_sim
