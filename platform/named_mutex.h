// A mutex shared by every process that names it, with waits bounded in time.
// Like the named mutexes the design builds on, it is recursive for the thread that holds it,
// and a holder that dies releases it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class WaitResult {
    Acquired,  // now held by the calling thread
    TimedOut,  // another holder kept it for the whole wait
    Failed,    // the lock could not be waited for (lock file unusable)
};

class NamedMutex {
public:
    virtual ~NamedMutex() = default;
    // Waits at most timeoutMs (measured on platform::GetClock()).
    virtual WaitResult Lock(uint32_t timeoutMs) = 0;
    // Releases one level of the calling thread's hold; false when it holds nothing.
    virtual bool Unlock() = 0;
    virtual const std::string& Name() const = 0;
};

// Creates (or joins) the mutex called name. Returns nullptr when no lock file can be
// created; errnoOut then receives the reason.
std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name, int* errnoOut = nullptr);

// Where lock files go: /run/lock, else $XDG_RUNTIME_DIR, else /tmp. VELMORA_LOCK_DIR replaces
// the choice (tests).
std::string LockDirectory();

// Holds a NamedMutex for a scope once Lock succeeded.
class NamedMutexHold {
public:
    NamedMutexHold(NamedMutex* m, uint32_t timeoutMs)
        : m_(m), held_(m && m->Lock(timeoutMs) == WaitResult::Acquired) {}
    ~NamedMutexHold() {
        if (held_) m_->Unlock();
    }
    bool Held() const { return held_; }
    NamedMutexHold(const NamedMutexHold&) = delete;
    NamedMutexHold& operator=(const NamedMutexHold&) = delete;

private:
    NamedMutex* m_;
    bool held_;
};

}  // namespace platform
