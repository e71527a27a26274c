// The terminal host's portable part: the window block, prompts, answers and plain lines. What
// the OS's terminal or console does for it is behind Console (console_linux.cpp,
// console_windows.cpp).
#include "frontend/terminal/terminal_host.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "app/quillon_dlg.h"
#include "platform/terminal_text.h"
#include "ui/text_progress_ctrl.h"

namespace frontend::terminal {

namespace {

// Rows of the window block; message boxes scroll beneath it.
constexpr int kTitleRow = 1;
constexpr int kHeadingRow = 2;
constexpr int kUpperRow = 4;
constexpr int kLowerRow = 5;
constexpr int kStatusRow = 6;  // and the row after it: the status line wraps onto two
constexpr int kRuleRow = 8;
constexpr int kFirstFreeRow = 9;
constexpr int kMaxBarWidth = 78;
// Entries of what was said that a redraw keeps (far more than a screen holds).
constexpr size_t kSaidKept = 400;

// How a message box's icon shows in the terminal: its name and colour.
struct IconStyle {
    const char* name;
    const char* sgr;
};
IconStyle StyleOf(app::MbIcon icon) {
    switch (icon) {
    case app::MbIcon::Error:
        return {"Error", "\x1b[1;31m"};
    case app::MbIcon::Warning:
        return {"Warning", "\x1b[1;33m"};
    case app::MbIcon::Information:
        return {"Information", "\x1b[1;36m"};
    }
    return {"", ""};
}

std::string Lower(std::string_view s) {
    std::string out;
    for (char c : s) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return std::string(s.substr(b, e - b));
}

// What a bar shows, as plain text: its cells without the brackets of its edge.
std::string VisibleText(const TerminalProgressBar& bar) {
    const CellGrid* shown = bar.Shown();
    if (!shown || shown->Height() == 0) return {};
    std::string row = shown->RowText(0);
    if (!row.empty() && row.front() == '[') row.erase(0, 1);
    if (!row.empty() && row.back() == ']') row.pop_back();
    return Trim(row);
}

// The answer when there is none to read (end of input, a stop request).
int NoAnswer(app::MbButtons buttons) {
    switch (buttons) {
    case app::MbButtons::Ok:
        return app::IDOK;
    case app::MbButtons::OkCancel:
        return app::IDCANCEL;
    case app::MbButtons::YesNo:
        return app::IDNO;
    }
    return app::IDCANCEL;
}

const char* ButtonName(int button) {
    switch (button) {
    case app::IDOK:
        return "OK";
    case app::IDCANCEL:
        return "Cancel";
    case app::IDYES:
        return "Yes";
    case app::IDNO:
        return "No";
    }
    return "?";
}

}  // namespace

std::string WrapLines(const std::string& text, size_t width) {
    std::string out;
    size_t column = 0;
    size_t lastBlank = std::string::npos;  // in out, on the current line
    for (char c : text) {
        if (c == '\n') {
            out.push_back(c);
            column = 0;
            lastBlank = std::string::npos;
            continue;
        }
        out.push_back(c);
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++column;
        if (c == ' ') lastBlank = out.size() - 1;
        if (column > width && lastBlank != std::string::npos) {
            // Break at the last blank of the line; the words after it start the next one.
            out[lastBlank] = '\n';
            column = 0;
            for (size_t i = lastBlank + 1; i < out.size(); ++i)
                if ((static_cast<unsigned char>(out[i]) & 0xC0) != 0x80) ++column;
            lastBlank = std::string::npos;
        }
    }
    return out;
}

std::vector<ScreenLine> LinesBeneath(const std::deque<ScreenLine>& said, const std::string& typing, size_t width,
                                     size_t rows) {
    std::vector<ScreenLine> lines;
    if (rows == 0) return lines;
    // From the newest entry back, until the rows above the typed line are full.
    std::vector<ScreenLine> above;
    for (auto it = said.rbegin(); it != said.rend() && above.size() < rows - 1; ++it) {
        std::vector<std::string> parts;
        std::istringstream wrapped(WrapLines(it->text, width));
        for (std::string part; std::getline(wrapped, part);) parts.push_back(part);
        for (auto p = parts.rbegin(); p != parts.rend() && above.size() < rows - 1; ++p) above.push_back({*p, it->sgr});
    }
    lines.assign(above.rbegin(), above.rend());
    lines.push_back({typing, ""});
    return lines;
}

std::string TerminalSafe(std::string_view text) { return platform::TerminalLines(text); }

std::optional<int> ParseAnswer(std::string_view typed, app::MbButtons buttons, bool noByDefault) {
    const std::string a = Lower(Trim(typed));
    switch (buttons) {
    case app::MbButtons::Ok:
        return app::IDOK;  // whatever is typed closes the box
    case app::MbButtons::OkCancel:
        if (a.empty() || a == "o" || a == "ok") return app::IDOK;
        if (a == "c" || a == "cancel") return app::IDCANCEL;
        return std::nullopt;
    case app::MbButtons::YesNo:
        if (a.empty()) return noByDefault ? app::IDNO : app::IDYES;
        if (a == "y" || a == "yes") return app::IDYES;
        if (a == "n" || a == "no") return app::IDNO;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<int> KeyAnswer(char key, app::MbButtons buttons, bool noByDefault) {
    const char k = static_cast<char>(std::tolower(static_cast<unsigned char>(key)));
    switch (buttons) {
    case app::MbButtons::Ok:
        return app::IDOK;  // any key closes the box
    case app::MbButtons::OkCancel:
        if (k == '\n' || k == 'o') return app::IDOK;
        if (k == '\x1b' || k == 'c') return app::IDCANCEL;
        return std::nullopt;
    case app::MbButtons::YesNo:
        if (k == '\n') return noByDefault ? app::IDNO : app::IDYES;
        if (k == 'y') return app::IDYES;
        if (k == '\x1b' || k == 'n') return app::IDNO;
        return std::nullopt;
    }
    return std::nullopt;
}

std::string PromptFor(app::MbButtons buttons, bool noByDefault, bool byLine) {
    const std::string then = byLine ? ", then Enter" : "";
    switch (buttons) {
    case app::MbButtons::Ok:
        return "[OK] press Enter ";
    case app::MbButtons::OkCancel:
        return byLine ? "Type o (OK) or c (Cancel), then Enter (Enter alone: OK) " : "[O]K / [C]ancel (Enter: OK) ";
    case app::MbButtons::YesNo:
        if (byLine)
            return std::string("Type y (Yes) or n (No), then Enter (Enter alone: ") + (noByDefault ? "No" : "Yes") + ") ";
        return std::string("[Y]es / [N]o (Enter: ") + (noByDefault ? "No" : "Yes") + ") ";
    }
    return "";
}

TerminalHost::TerminalHost(std::unique_ptr<platform::DeviceWatch> watch, TerminalOptions options)
    : LoopDialogHost(std::move(watch)),
      options_(options),
      console_(OpenConsole(options.inputFd, options.outputFd, options.handleSignals)) {
    if (console_->Columns() > 0) {
        columns_ = console_->Columns();
        rows_ = console_->Rows();
    }
    if (options_.columns > 0) columns_ = options_.columns;
    if (options_.rows > 0) rows_ = options_.rows;
    inPlace_ = options_.drawInPlace && console_->OutputIsTerminal() && rows_ > kFirstFreeRow + 2;

    const int width = std::min(columns_, kMaxBarWidth);
    auto sink = [this](std::string_view s) {
        if (inPlace_) Write(s);
    };
    upper_ = std::make_unique<TerminalProgressBar>(width, 1, kUpperRow, 1, sink, options_.colors);
    lower_ = std::make_unique<TerminalProgressBar>(width, 1, kLowerRow, 1, sink, options_.colors);
}

TerminalHost::~TerminalHost() {
    console_->SingleKeys(false);
    if (inPlace_) Write(ScreenReset());
    console_->Finished();
}

std::string TerminalHost::ScreenReset() const {
    // The whole screen scrolls again, and the shell goes on below everything.
    return "\x1b[r\x1b[" + std::to_string(rows_) + ";1H\n";
}

void TerminalHost::Write(std::string_view text) { console_->Write(text); }

void TerminalHost::RunModal(app::CQuillonDlg& dialog) {
    Loop().AddSource(console_->StopHandle(), [this] { TakeSignals(); });
    if (console_->KeyHandle() != platform::kNoEventHandle) {
        console_->SingleKeys(true);
        Loop().AddSource(console_->KeyHandle(), [this] { TakeInput(); });
    }
    Redraw();
    LoopDialogHost::RunModal(dialog);
}

void TerminalHost::Redraw() {
    if (!inPlace_) return;
    if (options_.columns <= 0 && console_->Columns() > 0) columns_ = console_->Columns();
    if (options_.rows <= 0 && console_->Rows() > 0) rows_ = console_->Rows();
    // A region needs two rows at least; a terminal smaller than the block shows what fits.
    rows_ = std::max(rows_, kFirstFreeRow + 1);
    const int width = std::min(columns_, kMaxBarWidth);
    upper_->SetWidth(width);
    lower_->SetWidth(width);
    std::string screen = "\x1b[r\x1b[H\x1b[2J";
    Write(screen);
    DrawBlock();
    screen = "\x1b[" + std::to_string(kFirstFreeRow) + ";" + std::to_string(rows_) + "r\x1b[" +
             std::to_string(kFirstFreeRow) + ";1H";
    const std::vector<ScreenLine> lines =
        LinesBeneath(said_, prompt_, static_cast<size_t>(std::max(columns_ - 1, 20)),
                     static_cast<size_t>(rows_ - kFirstFreeRow + 1));
    for (size_t i = 0; i < lines.size(); ++i) {
        screen += lines[i].sgr.empty() ? lines[i].text : lines[i].sgr + lines[i].text + "\x1b[0m";
        if (i + 1 < lines.size()) screen += '\n';
    }
    Write(screen);
    console_->SetScreenReset(ScreenReset());
}

void TerminalHost::DrawLine(int row, const std::string& text, const char* sgr) {
    std::string line = TerminalSafe(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    // Cut to the width (counting UTF-8 characters, not bytes).
    size_t chars = 0, cut = line.size();
    for (size_t i = 0; i < line.size(); ++i)
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80 && chars++ == static_cast<size_t>(columns_)) {
            cut = i;
            break;
        }
    line.resize(cut);
    Write("\x1b" "7\x1b[" + std::to_string(row) + ";1H\x1b[2K" + (sgr ? sgr : "") + line + "\x1b[0m\x1b" "8");
}

void TerminalHost::DrawBlock() {
    DrawLine(kTitleRow, title_, "\x1b[1;7m");
    DrawLine(kHeadingRow, heading_, "\x1b[1m");
    upper_->Invalidate();
    lower_->Invalidate();
    upper_->SendMessage(ui::WM_PAINT);
    lower_->SendMessage(ui::WM_PAINT);
    DrawStatus();
    DrawLine(kRuleRow, std::string(static_cast<size_t>(std::min(columns_, kMaxBarWidth)), '-'), "\x1b[2m");
}

void TerminalHost::SetStatusText(const std::string& text) {
    if (text == status_) return;
    status_ = text;
    DrawStatus();
}

void TerminalHost::DrawStatus() {
    if (inPlace_) {
        // The warning stands out while the device is being changed.
        const bool warning = status_.rfind("Do not disconnect", 0) == 0;
        const std::string wrapped = WrapLines(TerminalSafe(status_), static_cast<size_t>(std::max(columns_, 20)));
        const size_t end = wrapped.find('\n');
        DrawLine(kStatusRow, wrapped.substr(0, end), warning ? "\x1b[1;33m" : "\x1b[2m");
        DrawLine(kStatusRow + 1, end == std::string::npos ? std::string() : wrapped.substr(end + 1),
                 warning ? "\x1b[1;33m" : "\x1b[2m");
        return;
    }
    // Plain lines: a countdown would print a line a tick; a line is printed when the status says
    // something new, its numbers aside.
    std::string shape;
    for (char c : status_)
        if (!std::isdigit(static_cast<unsigned char>(c))) shape.push_back(c);
    if (status_.empty() || shape == lastPlainStatus_) return;
    lastPlainStatus_ = shape;
    PlainStatus();
    Say(status_);
}

void TerminalHost::Say(const std::string& text, const char* sgr) {
    std::string safe = TerminalSafe(text);
    if (safe.empty() || safe.back() != '\n') safe.push_back('\n');
    if (inPlace_) {
        said_.push_back({safe, sgr ? sgr : ""});
        if (said_.size() > kSaidKept) said_.pop_front();
    }
    safe = WrapLines(safe, static_cast<size_t>(std::max(columns_ - 1, 20)));
    if (inPlace_ && sgr) {
        Write(sgr);
        Write(safe);
        Write("\x1b[0m");
    } else {
        Write(safe);
    }
}

void TerminalHost::PlainStatus() {
    // Plain lines show the bars as they settle (at a wait, a pause in a long step, a message),
    // not every step of a stage change.
    if (inPlace_ || !statusChanged_) return;
    statusChanged_ = false;
    const std::string upper = VisibleText(*upper_);
    const std::string lower = VisibleText(*lower_);
    if (upper_->Control().GetWindowText().empty()) return;  // no stage yet
    const std::string status = upper + (lower.empty() ? "" : " | " + lower);
    if (status == lastStatus_) return;
    lastStatus_ = status;
    Say(status);
}

TerminalProgressBar& TerminalHost::Bar(int id) { return id == app::IDC_PROGRESS_LOWER ? *lower_ : *upper_; }

void TerminalHost::SetWindowTitle(const std::string& title) {
    title_ = title;
    if (inPlace_)
        DrawLine(kTitleRow, title_, "\x1b[1;7m");
    else
        Say(title_);
}

void TerminalHost::SetDlgItemText(int id, const std::string& text) {
    if (id == app::IDC_HEADING) {
        if (text == heading_) return;
        heading_ = text;
        if (inPlace_)
            DrawLine(kHeadingRow, heading_, "\x1b[1m");
        else
            Say(Trim(heading_));
        return;
    }
    // The text shows at once: a console has no later paint to wait for.
    Bar(id).SetWindowText(TerminalSafe(text));
    Bar(id).SendMessage(ui::WM_PAINT);
    statusChanged_ = true;
}

ui::LRESULT TerminalHost::SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
    const ui::LRESULT r = Bar(id).SendMessage(message, wParam, lParam);
    // Some messages change what the bar shows without painting it (the percentage switch, the
    // range); a console has no later expose to catch up, so it paints now. Unchanged cells cost
    // nothing.
    Bar(id).SendMessage(ui::WM_PAINT);
    statusChanged_ = true;
    return r;
}

int TerminalHost::MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                             app::MbIcon icon) {
    return Ask(text, caption, buttons, icon, false);
}

int TerminalHost::AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) {
    return Ask(text, caption, app::MbButtons::YesNo, icon, true);
}

int TerminalHost::Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
                      bool noByDefault) {
    PlainStatus();
    Say("");
    const IconStyle style = StyleOf(icon);
    Say(std::string("[") + style.name + "] " + caption, style.sgr);
    Say(text);
    int answer = 0;
    if (options_.answerYes && buttons != app::MbButtons::YesNo) {
        answer = app::IDOK;
    } else if (options_.answerYes) {
        answer = app::IDYES;
    }
    if (answer != 0) {
        Say(std::string("-> ") + ButtonName(answer) + " (--yes)", "\x1b[2m");
        return answer;
    }
    if (console_->AnswersAreKeys()) {
        // One key answers; the answer is written after the prompt.
        prompt_ = PromptFor(buttons, noByDefault);
        Write(prompt_);
        const std::optional<int> key = ReadKeyAnswer(buttons, noByDefault);
        answer = key ? *key : NoAnswer(buttons);
        const std::string typed = key ? ButtonName(answer) : "";
        Write(typed + "\n");
        if (inPlace_) said_.push_back({TerminalSafe(prompt_ + typed) + "\n", ""});
        prompt_.clear();
        // No answer came (the input ended, a stop request): what was taken for one.
        if (!key) Say(std::string("-> ") + ButtonName(answer));
        return answer;
    }
    for (;;) {
        prompt_ = PromptFor(buttons, noByDefault, true);
        Write(prompt_);
        const std::optional<std::string> typed = ReadAnswer();
        if (!typed) {
            answer = NoAnswer(buttons);
            Write("\n");
            if (inPlace_) said_.push_back({TerminalSafe(prompt_) + "\n", ""});
            prompt_.clear();
            Say(std::string("-> ") + ButtonName(answer));
            return answer;
        }
        // The answer as the terminal echoed it, after its prompt.
        if (inPlace_) said_.push_back({TerminalSafe(prompt_ + *typed) + "\n", ""});
        prompt_.clear();
        if (const std::optional<int> a = ParseAnswer(*typed, buttons, noByDefault)) return *a;
    }
}

std::optional<int> TerminalHost::ReadKeyAnswer(app::MbButtons buttons, bool noByDefault) {
    // A question is a safe point: a suspend held off during a write acts here.
    if (suspendHeldOff_) SuspendNow();
    for (;;) {
        char key = 0;
        const LineEnd end = console_->ReadKey(&key);
        if (end == LineEnd::Line) {
            if (const std::optional<int> a = KeyAnswer(key, buttons, noByDefault)) return a;
            continue;  // a key that answers nothing here
        }
        const ConsoleSignals signals = console_->TakeSignals();
        Handle(signals, true);
        if (end == LineEnd::End || signals.stop) return std::nullopt;
    }
}

std::optional<std::string> TerminalHost::ReadAnswer() {
    console_->SingleKeys(false);
    // A question is a safe point: a suspend held off during a write acts here.
    if (suspendHeldOff_) {
        SuspendNow();
        if (!inPlace_) Write("\n" + prompt_);
    }
    std::optional<std::string> answer;
    for (;;) {
        std::string typed;
        const LineEnd end = console_->ReadLine(&typed);
        if (end == LineEnd::Line) {
            answer = typed;
            break;
        }
        const ConsoleSignals signals = console_->TakeSignals();
        // The part typed before a resize has lost its echo: the question starts afresh.
        if (signals.resized) console_->DropTypedLine();
        Handle(signals, true);
        if (end == LineEnd::End || signals.stop) break;
        // Shown again after Ctrl-Z and fg (a redraw shows it on a terminal).
        if (!inPlace_ && (signals.suspend || signals.resumed)) Write("\n" + prompt_);
    }
    console_->SingleKeys(true);
    return answer;
}

void TerminalHost::TakeSignals() { Handle(console_->TakeSignals(), false); }

void TerminalHost::Handle(const ConsoleSignals& signals, bool atPrompt) {
    if (signals.resized || signals.resumed) Redraw();
    if (signals.stop) Stop();
    if (!signals.suspend) return;
    app::CQuillonDlg* dialog = Dialog();
    if (atPrompt || !dialog || dialog->CurrentActivity() != app::Activity::Writing) {
        SuspendNow();
    } else if (!suspendHeldOff_) {
        suspendHeldOff_ = true;
        ShowNote(std::string(kSuspendHeldOff));
    }
}

void TerminalHost::SuspendNow() {
    suspendHeldOff_ = false;
    if (inPlace_) Write(ScreenReset());
    platform::Clock& clock = platform::GetClock();
    const uint64_t before = clock.NowMs();
    if (!console_->Suspend()) {
        Redraw();  // no suspending here: the screen as it was
        return;
    }
    // Running again: the waits for the device do not count the time away.
    if (app::CQuillonDlg* dialog = Dialog()) dialog->OnResumed(clock.NowMs() - before);
    Redraw();
}

void TerminalHost::SuspendIfDue() {
    if (!suspendHeldOff_) return;
    const app::CQuillonDlg* dialog = Dialog();
    if (!dialog || dialog->Ended() || dialog->CurrentActivity() != app::Activity::Writing) SuspendNow();
}

void TerminalHost::AfterDispatch() {
    PlainStatus();
    SuspendIfDue();
}

void TerminalHost::TakeInput() {
    if (console_->TakeEsc()) Stop();
}

void TerminalHost::Sleep(uint32_t ms) {
    PlainStatus();
    LoopDialogHost::Sleep(ms);
}

void TerminalHost::KeepAlive() {
    PlainStatus();
    TakeSignals();
    TakeInput();
    SuspendIfDue();
}

void TerminalHost::ShowNote(const std::string& text) {
    PlainStatus();
    Say(text, "\x1b[33m");
}

}  // namespace frontend::terminal
