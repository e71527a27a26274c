// What the terminal host needs from the operating system's terminal (Linux) or console
// (Windows): its size, the output, keys typed between prompts, answer lines, stop requests
// (Ctrl-C, SIGTERM, a closed terminal or console window), suspending and resizing. The host's own rules (layout, safe
// text, prompts, answers) are portable and live in terminal_host.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace frontend::terminal {

// What came from the system besides keys since the last look.
struct ConsoleSignals {
    bool stop = false;     // Ctrl-C, Ctrl-\, SIGTERM, a hang-up (Windows: Ctrl-Break, closing the console)
    bool suspend = false;  // Ctrl-Z (SIGTSTP)
    bool resumed = false;  // the program runs again after it was stopped (SIGCONT)
    bool resized = false;  // the terminal changed its size (SIGWINCH)
    bool Any() const { return stop || suspend || resumed || resized; }
};

// What ended the wait for an answer line.
enum class LineEnd {
    Line,    // a line was typed
    End,     // the input ended (closed, end of file)
    Signal,  // a signal came first; it waits for TakeSignals
};

class Console {
public:
    virtual ~Console() = default;

    // Whether output goes to a terminal that understands cursor movement and colours.
    virtual bool OutputIsTerminal() const = 0;
    // Columns and rows of the terminal as it is now; 0 when it does not say.
    virtual int Columns() const = 0;
    virtual int Rows() const = 0;
    // Writes all of text (UTF-8); a screen that went away is ignored.
    virtual void Write(std::string_view text) = 0;

    // Handles for the message loop (kNoEventHandle: none): keys typed between prompts, and
    // signals. The keys' handle falls silent once the input has ended or while the program is
    // not in the terminal's foreground, so a loop never spins on it.
    virtual platform::EventHandle KeyHandle() const = 0;
    virtual platform::EventHandle StopHandle() const = 0;
    // Between prompts keys arrive one by one, without echo, so that Esc is seen at once; off
    // again for answers and at the end.
    virtual void SingleKeys(bool on) = 0;
    // Takes the keys typed so far without waiting; true when Esc was among them.
    virtual bool TakeEsc() = 0;
    // Takes pending signals without waiting.
    virtual ConsoleSignals TakeSignals() = 0;
    // Waits for one answer line (without its line end).
    virtual LineEnd ReadLine(std::string* line) = 0;
    // Whether an answer is one key (a terminal the program has, keys arriving one by one), rather
    // than a line (a script's input, or a terminal whose mode a pager owns).
    virtual bool AnswersAreKeys() const { return false; }
    // Waits for one key of an answer: Enter as '\n', a lone Esc as '\x1b' (cursor and function
    // keys are passed over); otherwise as ReadLine.
    virtual LineEnd ReadKey(char* key) {
        std::string line;
        const LineEnd end = ReadLine(&line);
        *key = line.empty() ? '\n' : line[0];
        return end;
    }
    // Drops what was typed of an answer line that is not complete (its echo is gone from a
    // redrawn screen).
    virtual void DropTypedLine() {}
    // Suspends the program as Ctrl-Z does, with the terminal's mode put back for the shell;
    // returns once the program runs again, its own mode restored where it has the terminal.
    // false where the system has no such thing.
    virtual bool Suspend() { return false; }
    // Written to the screen should the program die of a fatal signal (a crash), after the
    // terminal's mode is put back: what puts the screen back as the shell expects.
    virtual void SetScreenReset(std::string_view) {}
    // The dialog has ended: a stop request that waits for it (a console window being closed)
    // may let the program go.
    virtual void Finished() {}
};

// The console of the program's input and output (file descriptors 0 and 1, or others in tests).
// With handleStops, Ctrl-C and the system's other stop requests come to StopHandle instead of
// ending the program.
std::unique_ptr<Console> OpenConsole(int inputFd, int outputFd, bool handleStops);

}  // namespace frontend::terminal
