// On Windows a thread's execution state keeps the system awake: it holds while the update runs
// and is given back when the object goes. Shutdown cannot be blocked this way; the user is asked
// by the system as for any running program.
#include "platform/sleep_inhibit.h"

#include <windows.h>

namespace platform {
namespace {

class ExecutionStateBlock : public SleepInhibit {
public:
    ExecutionStateBlock() : held_(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0) {}
    ~ExecutionStateBlock() override {
        if (held_) SetThreadExecutionState(ES_CONTINUOUS);
    }
    bool Held() const override { return held_; }
    std::string Note() const override {
        return held_ ? "sleep blocked for this thread (SetThreadExecutionState)"
                     : "sleep not blocked: SetThreadExecutionState failed";
    }

private:
    bool held_;
};

}  // namespace

std::unique_ptr<SleepInhibit> InhibitSleepAndShutdown(const std::string&, const std::string&) {
    return std::make_unique<ExecutionStateBlock>();
}

}  // namespace platform
