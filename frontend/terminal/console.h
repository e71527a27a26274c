// What the terminal host needs from the operating system's terminal (Linux) or console
// (Windows): its size, the output, keys typed between prompts, answer lines, and stop requests
// (Ctrl-C, SIGTERM, a closed terminal or console window). The host's own rules (layout, safe
// text, prompts, answers) are portable and live in terminal_host.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace frontend::terminal {

class Console {
public:
    virtual ~Console() = default;

    // Whether output goes to a terminal that understands cursor movement and colours.
    virtual bool OutputIsTerminal() const = 0;
    // Columns and rows of the terminal; 0 when it does not say.
    virtual int Columns() const = 0;
    virtual int Rows() const = 0;
    // Writes all of text (UTF-8); a screen that went away is ignored.
    virtual void Write(std::string_view text) = 0;

    // Handles for the message loop (kNoEventHandle: none): keys typed between prompts, and stop
    // requests.
    virtual platform::EventHandle KeyHandle() const = 0;
    virtual platform::EventHandle StopHandle() const = 0;
    // Between prompts keys arrive one by one, without echo, so that Esc is seen at once; off
    // again for answers and at the end.
    virtual void SingleKeys(bool on) = 0;
    // Takes the keys typed so far without waiting; true when Esc was among them.
    virtual bool TakeEsc() = 0;
    // Takes pending stop requests without waiting; true when there was one.
    virtual bool TakeStops() = 0;
    // Reads one answer line (without its line end), waiting for it; nothing at the end of the
    // input or when a stop request comes first.
    virtual std::optional<std::string> ReadLine() = 0;
    // The dialog has ended: a stop request that waits for it (a console window being closed)
    // may let the program go.
    virtual void Finished() {}
};

// The console of the program's input and output (file descriptors 0 and 1, or others in tests).
// With handleStops, Ctrl-C and the system's other stop requests come to StopHandle instead of
// ending the program.
std::unique_ptr<Console> OpenConsole(int inputFd, int outputFd, bool handleStops);

}  // namespace frontend::terminal
