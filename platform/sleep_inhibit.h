// Keeps the computer from sleeping or shutting down while a firmware update runs: a machine that
// goes to sleep half-way leaves the device without firmware. The block lasts as long as the
// object; where the system offers no such block the update runs all the same.
#pragma once

#include <memory>
#include <string>

namespace platform {

class SleepInhibit {
public:
    virtual ~SleepInhibit() = default;
    // Whether the system took the block.
    virtual bool Held() const = 0;
    // What happened, for the log: the block taken, or why there is none.
    virtual std::string Note() const = 0;
};

// Asks the system to block sleep and shutdown on behalf of `who`, giving `why` to the user who
// tries either meanwhile. Never fails: without the system's service the object holds nothing.
std::unique_ptr<SleepInhibit> InhibitSleepAndShutdown(const std::string& who, const std::string& why);

}  // namespace platform
