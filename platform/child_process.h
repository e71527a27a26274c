// A program started by this one with its standard input and output on pipes: the supervisor of
// several devices runs one update program per device this way and reads its events.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace platform {

class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // Has input while the child's output holds bytes to read (or its end): for the message loop.
    virtual EventHandle OutputHandle() const = 0;
    // Takes what the child wrote so far without waiting; false once its output has ended.
    virtual bool ReadOutput(std::string* appendTo) = 0;
    // Writes to the child's standard input; false when it is gone.
    virtual bool WriteInput(const std::string& text) = 0;
    // Asks the child to stop at its next safe point (SIGTERM; Windows: the stop event it inherited,
    // see InheritedStopEvent).
    virtual void RequestStop() = 0;
    // The exit status once the child has ended (without waiting); nothing while it runs.
    virtual std::optional<int> ExitStatus() = 0;
    // Waits for the end and returns the exit status (128 + signal when a signal ended it).
    virtual int Wait() = 0;
    virtual long Id() const = 0;
};

// Starts program with args (argv[0] is program), standard error to errorFile ("" : this
// program's). Nothing when it cannot be started; *why says why.
std::unique_ptr<ChildProcess> StartChild(const std::string& program, const std::vector<std::string>& args,
                                         const std::string& errorFile, std::string* why);

// In a program StartChild started: the event that is set for each of its parent's stop requests
// (Windows, where no signal carries them); kNoEventHandle otherwise (Linux: SIGTERM).
EventHandle InheritedStopEvent();

}  // namespace platform
