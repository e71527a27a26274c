#include "sim/newer_emulator.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"
#include "sim/pseudo_terminal.h"

namespace quillon_sim {
namespace {

constexpr size_t kMaxLogLines = 100000;
constexpr int kReadSliceMs = 20;         // how long one read waits before the loop looks around
constexpr int kReplyWriteTimeoutMs = 5000;
constexpr auto kAckDrainLimit = std::chrono::milliseconds(2000);
constexpr auto kAckDrainQuiet = std::chrono::milliseconds(20);

}  // namespace

NewerDeviceEmulator::NewerDeviceEmulator(EmulatorConfig config)
    : config_(std::move(config)), device_(config_.device) {}

NewerDeviceEmulator::~NewerDeviceEmulator() { Stop(); }

bool NewerDeviceEmulator::Start(std::string* error) {
    if (started_) {
        if (error) *error = "already started";
        return false;
    }
    if (config_.linkPath.empty()) {
        if (error) *error = "no link path";
        return false;
    }
    clock_ = &platform::GetClock();
    stop_ = false;
    if (!GoOnline(error)) return false;
    started_ = true;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void NewerDeviceEmulator::Stop() {
    if (!started_) return;
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    GoOffline();
    started_ = false;
    Log("stopped");
}

std::string NewerDeviceEmulator::SlavePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slavePath_;
}

bool NewerDeviceEmulator::Online() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return online_;
}

uint32_t NewerDeviceEmulator::Publications() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return publications_;
}

bool NewerDeviceEmulator::WaitOnline(uint32_t publications, uint32_t realTimeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                             [&] { return online_ && publications_ >= publications; });
}

bool NewerDeviceEmulator::WaitOffline(uint32_t realTimeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs), [&] { return !online_; });
}

DeviceState NewerDeviceEmulator::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void NewerDeviceEmulator::Update(const std::function<void(DeviceState&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(device_);
}

void NewerDeviceEmulator::SetFault(Fault fault, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on)
        device_.faults.insert(fault);
    else
        device_.faults.erase(fault);
}

std::vector<uint8_t> NewerDeviceEmulator::ReadFlash(uint32_t address, size_t length) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_.ReadFlash(address, length);
}

std::map<std::string, SdFile> NewerDeviceEmulator::SdFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_.sdFiles;
}

std::vector<std::string> NewerDeviceEmulator::CommandLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void NewerDeviceEmulator::Log(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (log_.size() >= kMaxLogLines) log_.erase(log_.begin(), log_.begin() + kMaxLogLines / 10);
        log_.push_back(line);
    }
    if (config_.logSink) {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        config_.logSink(line);
    }
}

bool NewerDeviceEmulator::WaitOnClock(uint64_t deadlineMs) {
    // Polls the clock every millisecond instead of blocking in Clock::WaitUntilMs, so that
    // Stop() is never held up by a virtual clock that nobody moves any more.
    std::unique_lock<std::mutex> lock(wakeMutex_);
    while (!stop_) {
        const uint64_t now = clock_->NowMs();
        if (now >= deadlineMs) return true;
        wake_.wait_for(lock, std::chrono::milliseconds(1));
    }
    return false;
}

void NewerDeviceEmulator::RealSleepUs(uint64_t us) {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::microseconds(us), [&] { return stop_.load(); });
}

bool NewerDeviceEmulator::GoOnline(std::string* error) {
    auto pty = PseudoTerminal::Open(error);
    if (!pty) return false;
    if (!PublishLink(config_.linkPath, pty->SlavePath(), error)) return false;
    const std::string slave = pty->SlavePath();
    pty_ = std::move(pty);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        online_ = true;
        onlineSinceMs_ = clock_->NowMs();
        ++publications_;
        slavePath_ = slave;
    }
    changed_.notify_all();
    Log("port published: " + config_.linkPath + " -> " + slave);
    return true;
}

void NewerDeviceEmulator::GoOffline() {
    if (!pty_) return;
    // The link goes first, so that a host reacting to the hang-up does not find it.
    UnpublishLink(config_.linkPath, pty_->SlavePath());
    pty_.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        online_ = false;
        slavePath_.clear();
    }
    changed_.notify_all();
}

void NewerDeviceEmulator::Run() {
    std::vector<uint8_t> buf(65536);
    FrameAssembler assembler;
    uint64_t lastInput = clock_->NowMs();
    bool reportedAway = false;
    while (!stop_) {
        if (unplug_.exchange(false)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                device_.faults.insert(Fault::NeverReturn);
            }
            GoOffline();
            Log("device unplugged");
            restartDeadline_ = clock_->NowMs();
            continue;
        }
        if (!pty_) {
            if (!WaitOnClock(restartDeadline_)) break;
            bool away = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                away = device_.Has(Fault::NeverReturn);
                if (!away) PowerUp(device_);
            }
            if (away) {
                if (!reportedAway) Log("device stays away (fault never-return)");
                reportedAway = true;
                RealSleepUs(10000);
                continue;
            }
            reportedAway = false;
            std::string error;
            if (!GoOnline(&error)) {
                Log("cannot publish the port: " + error);
                RealSleepUs(100000);
                continue;
            }
            assembler.DropPending();
            lastInput = clock_->NowMs();
            continue;
        }

        if (FlapDue()) {
            RestartInto into = RestartInto::None;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                into = device_.runsApplication ? RestartInto::Application : RestartInto::BootLoader;
            }
            Log("drops off (flapping every " + std::to_string(State().flapMs) + " ms)");
            Restart(into, clock_->NowMs());
            continue;
        }

        const long n = pty_->Read(buf, kReadSliceMs);
        const uint64_t now = clock_->NowMs();
        if (n < 0) {
            RealSleepUs(10000);
            continue;
        }
        if (n > 0) {
            assembler.Feed({buf.data(), static_cast<size_t>(n)});
            lastInput = now;
        } else if (assembler.Pending() > 0 && now - lastInput >= config_.frameGapMs) {
            Log("incomplete frame of " + std::to_string(assembler.Pending()) + " bytes dropped");
            assembler.DropPending();
        }
        while (pty_ && !stop_) {
            std::optional<Frame> frame = assembler.Next();
            if (size_t skipped = assembler.TakeSkipped())
                Log("ignored " + std::to_string(skipped) + " bytes that start no frame");
            if (!frame) break;
            Process(*frame);
        }
        if (!pty_) assembler.DropPending();  // input of a port that has gone is lost
    }
}

bool NewerDeviceEmulator::FlapDue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!device_.flapping || device_.flapMs == 0) return false;
    // The time online counts from the later of the port's publication and the start of flapping.
    const uint64_t now = clock_->NowMs();
    if (!flapSeen_) {
        flapSeen_ = true;
        flapSinceMs_ = now;
    }
    return now >= std::max(onlineSinceMs_, flapSinceMs_) + device_.flapMs;
}

void NewerDeviceEmulator::Unplug() {
    unplug_ = true;
    wake_.notify_all();
    WaitOffline(5000);
}

NewerDeviceEmulator::LinkStats NewerDeviceEmulator::Link() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_;
}

void NewerDeviceEmulator::Process(const Frame& frame) {
    Response r;
    bool drop = false, garble = false, late = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool wasFlapping = device_.flapping;
        r = HandleFrame(device_, frame);
        // Flapping that this frame started counts its time from now.
        if (device_.flapping && !wasFlapping) {
            flapSeen_ = true;
            flapSinceMs_ = clock_->NowMs();
        }
        auto applies = [&](Fault f) {
            return device_.Has(f) && (!device_.faultCommand || *device_.faultCommand == r.letter);
        };
        drop = applies(Fault::DropReply);
        garble = applies(Fault::GarbleReply);
        late = applies(Fault::AnswerLate);
        // Faults for a number of frames only: count this one if it is a frame they act on.
        const bool matches = !device_.faultCommand || *device_.faultCommand == r.letter;
        const Fault shortLived[] = {Fault::DropReply, Fault::GarbleReply, Fault::AnswerLate, Fault::RefuseFrame};
        const bool armed = std::any_of(std::begin(shortLived), std::end(shortLived),
                                       [&](Fault f) { return device_.Has(f); });
        if (matches && armed && device_.faultSkip > 0) {
            --device_.faultSkip;
            drop = garble = late = false;
        } else if (device_.faultFrames > 0 && matches && armed && --device_.faultFrames == 0) {
            for (Fault f : shortLived) device_.faults.erase(f);
        }
        ++link_.frames;
        link_.bytesIn += frame.bytes.size();
        link_.bytesOut += r.bytes.size();
    }
    Log(r.logLine);
    uint64_t answeredAt = clock_->NowMs();
    if (config_.throttle) RealSleepUs(1000 + frame.bytes.size() + r.bytes.size());  // ~1 byte per us
    if (!r.bytes.empty()) {
        if (late) {
            Log("answering " + std::to_string(config_.lateReplyMs) + " ms late (fault answer-late)");
            if (!WaitOnClock(clock_->NowMs() + config_.lateReplyMs)) return;
        }
        if (drop) {
            Log("reply dropped (fault drop-reply)");
        } else {
            if (garble) {
                for (size_t i = 0; i < std::min<size_t>(8, r.bytes.size()); ++i) r.bytes[i] ^= 0xFF;
                Log("reply garbled (fault garble-reply)");
            }
            if (!pty_->Write(r.bytes, kReplyWriteTimeoutMs, stop_)) Log("the host did not take the reply");
        }
        answeredAt = clock_->NowMs();
    }
    if (r.restart != RestartInto::None) Restart(r.restart, answeredAt);
}

// The device is away for the restart delay counted on the clock from its answer, so that a host
// whose own sleeps move a virtual clock finds it back when that much time has passed for it.
void NewerDeviceEmulator::Restart(RestartInto into, uint64_t answeredAtMs) {
    // Give the host the time to read the acknowledgement: a hang-up discards what it has not
    // read yet.
    using namespace std::chrono;
    const auto limit = steady_clock::now() + kAckDrainLimit;
    auto quietSince = steady_clock::now();
    while (!stop_ && steady_clock::now() < limit) {
        if (pty_->UnreadByHost() != 0) quietSince = steady_clock::now();
        if (steady_clock::now() - quietSince >= kAckDrainQuiet) break;
        RealSleepUs(2000);
    }
    std::string what;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        PowerDown(device_, into);
        what = device_.runsApplication ? "firmware " + std::to_string(device_.version) : "Bootware";
    }
    restartDeadline_ = answeredAtMs + config_.restartDelayMs;
    GoOffline();
    Log("restart into " + what + ": port removed, back in " + std::to_string(config_.restartDelayMs) + " ms");
}

}  // namespace quillon_sim
