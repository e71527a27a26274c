// The dialog in a terminal. On a terminal the window is a block at the top of the screen (title,
// heading line, the two bars) drawn in place, with message boxes as prompts scrolling beneath
// it; without one (a pipe, a log file) every change is a plain line. Esc, Ctrl-C, Ctrl-\, SIGTERM
// and a hang-up ask the dialog to stop; Ctrl-Z suspends (held off while the device is written);
// a resize or the program's return after a stop redraws the screen; --yes answers OK and Yes
// without asking.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/loop_dialog_host.h"
#include "frontend/terminal/console.h"
#include "frontend/terminal/terminal_progress_bar.h"

namespace frontend::terminal {

struct TerminalOptions {
    int inputFd = 0;           // answers to prompts, Esc
    int outputFd = 1;          // the screen or the plain lines
    bool answerYes = false;    // --yes
    bool drawInPlace = true;   // false: plain lines even on a terminal
    int columns = 0;           // 0: as the terminal says (80 when it says nothing)
    int rows = 0;              // (columns and rows given here stay after a resize)
    ColorMode colors = ColorMode::Basic16;
    bool handleSignals = true; // SIGINT, SIGQUIT, SIGTERM and SIGHUP (Windows: Ctrl-C, Ctrl-Break,
                               // closing the console) become stop requests; SIGTSTP, SIGCONT and
                               // SIGWINCH suspend and redraw
};

// Text of a device or a message made safe for a terminal: line ends as "\n", every other
// control character as '?', so nothing the device sends can move the cursor or change colours.
std::string TerminalSafe(std::string_view text);

// Breaks lines longer than width at their last blank (a word longer than a line stays whole).
std::string WrapLines(const std::string& text, size_t width);

// What a typed answer means for a message box with these buttons; nothing when it means
// nothing. An empty answer takes the preselected button: the first, or No when noByDefault.
std::optional<int> ParseAnswer(std::string_view typed, app::MbButtons buttons, bool noByDefault = false);

// What one key means as an answer (Enter the preselected button, Esc Cancel or No, any key for
// OK alone); nothing for a key that means nothing here.
std::optional<int> KeyAnswer(char key, app::MbButtons buttons, bool noByDefault = false);

// The prompt line of a message box ("[O]K / [C]ancel (Enter: OK) "). byLine: the answer is a
// line, and the prompt says so.
std::string PromptFor(app::MbButtons buttons, bool noByDefault = false, bool byLine = false);

// The note for a suspend (Ctrl-Z) held off while the device is written.
inline constexpr std::string_view kSuspendHeldOff =
    "The device is being written: the program suspends once that step is over.";

// A line on the screen beneath the window block, with its colours (an SGR sequence or empty).
struct ScreenLine {
    std::string text;
    std::string sgr;
    bool operator==(const ScreenLine&) const = default;
};

// What a redraw shows beneath the block in rows lines at width columns: the last lines of what
// was said (each entry safe text ending in a line end, wrapped as WrapLines does), then the line
// being typed (a prompt waiting for its answer, or empty), on which the cursor stays.
std::vector<ScreenLine> LinesBeneath(const std::deque<ScreenLine>& said, const std::string& typing, size_t width,
                                     size_t rows);

class TerminalHost : public app::LoopDialogHost {
public:
    TerminalHost(std::unique_ptr<platform::DeviceWatch> watch, TerminalOptions options);
    ~TerminalHost() override;

    void RunModal(app::CQuillonDlg& dialog) override;
    int MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                   app::MbIcon icon) override;
    void SetWindowTitle(const std::string& title) override;
    void SetDlgItemText(int id, const std::string& text) override;
    ui::LRESULT SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override;
    void BeginWaitCursor() override {}
    void SetLargeIcon() override {}
    void KeepAlive() override;
    void ShowNote(const std::string& text) override;
    void Sleep(uint32_t ms) override;
    int AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) override;
    void SetStatusText(const std::string& text) override;

    // True when the screen block is drawn in place (a terminal), false for plain lines.
    bool InPlace() const { return inPlace_; }

protected:
    void AfterDispatch() override;

private:
    void Write(std::string_view text);
    // Writes text as lines beneath the window block (or as plain lines).
    void Say(const std::string& text, const char* sgr = nullptr);
    void DrawLine(int row, const std::string& text, const char* sgr);
    void DrawBlock();
    void PlainStatus();
    // Takes pending input and signals without waiting; Esc or a stop signal is a stop request.
    void TakeInput();
    void TakeSignals();
    // Acts on signals: a stop request, a suspend (at once at a question or outside a write, else
    // held off), a redraw after a resize or the program's return.
    void Handle(const ConsoleSignals& signals, bool atPrompt);
    // Suspends now, with the screen put back for the shell, and redraws once running again.
    void SuspendNow();
    // A held-off suspend acts once the device is no longer being written.
    void SuspendIfDue();
    // Draws the whole screen anew at the terminal's size as it is now: the block, the scroll
    // region and the lines beneath it.
    void Redraw();
    std::string ScreenReset() const;
    // A message box with its prompt; noByDefault preselects No.
    int Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
            bool noByDefault);
    // Reads one answer line; nothing on end of input or a stop request.
    std::optional<std::string> ReadAnswer();
    // Reads keys until one answers; nothing on end of input or a stop request.
    std::optional<int> ReadKeyAnswer(app::MbButtons buttons, bool noByDefault);
    // The status line beneath the bars (its own row, or a plain line when it says something new).
    void DrawStatus();
    TerminalProgressBar& Bar(int id);

    TerminalOptions options_;
    bool inPlace_ = false;
    int columns_ = 80;
    int rows_ = 24;
    std::string title_ = "fwupdate";
    std::string heading_;
    std::string lastStatus_;
    std::string status_;           // the status line's text
    std::string lastPlainStatus_;  // the last one printed as a plain line, without its numbers
    bool statusChanged_ = false;
    std::unique_ptr<TerminalProgressBar> upper_;
    std::unique_ptr<TerminalProgressBar> lower_;
    std::unique_ptr<Console> console_;
    std::deque<ScreenLine> said_;  // beneath the block, for a redraw
    std::string prompt_;           // the prompt waiting for its answer, shown with it
    bool suspendHeldOff_ = false;
};

}  // namespace frontend::terminal
