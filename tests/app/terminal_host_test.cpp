// The terminal host's own rules: safe text, wrapping, answers to prompts over a real pipe, what a
// redraw shows, and a terminal that hangs up.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "frontend/terminal/console.h"
#include "frontend/terminal/terminal_host.h"

namespace {

using namespace frontend::terminal;
using app::MbButtons;

TEST(TerminalText, DeviceTextCannotDriveTheTerminal) {
    struct {
        std::string in, out;
    } cases[] = {
        {"N1\x1b[31m50", "N1?[31m50"},          // an escape sequence in a serial number
        {"a\r\nb\rc\nd", "a\nb\nc\nd"},         // the message texts' line ends
        {"bell\a del\x7f tab\t", "bell? del? tab\t"},
        {"Grüße", "Grüße"},                     // UTF-8 passes
    };
    for (const auto& c : cases) EXPECT_EQ(TerminalSafe(c.in), c.out) << c.in;
}

TEST(TerminalText, LongLinesBreakAtTheirLastBlank) {
    EXPECT_EQ(WrapLines("one two three four", 9), "one two\nthree\nfour");
    EXPECT_EQ(WrapLines("short\nlines stay", 20), "short\nlines stay");
    EXPECT_EQ(WrapLines("averyveryverylongword x", 5), "averyveryverylongword\nx");
}

TEST(TerminalText, Answers) {
    struct {
        const char* typed;
        MbButtons buttons;
        std::optional<int> answer;
    } cases[] = {
        {"", MbButtons::OkCancel, app::IDOK},      {"ok", MbButtons::OkCancel, app::IDOK},
        {" C ", MbButtons::OkCancel, app::IDCANCEL}, {"cancel", MbButtons::OkCancel, app::IDCANCEL},
        {"maybe", MbButtons::OkCancel, std::nullopt}, {"", MbButtons::YesNo, app::IDYES},
        {"N", MbButtons::YesNo, app::IDNO},        {"yes", MbButtons::YesNo, app::IDYES},
        {"ok", MbButtons::YesNo, std::nullopt},    {"anything", MbButtons::Ok, app::IDOK},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseAnswer(c.typed, c.buttons), c.answer) << c.typed;
    // A question whose preselected answer is No.
    EXPECT_EQ(ParseAnswer("", MbButtons::YesNo, true), app::IDNO);
    EXPECT_EQ(ParseAnswer("y", MbButtons::YesNo, true), app::IDYES);
}

TEST(TerminalText, SingleKeyAnswers) {
    struct {
        char key;
        MbButtons buttons;
        bool noByDefault;
        std::optional<int> answer;
    } cases[] = {
        {'\n', MbButtons::OkCancel, false, app::IDOK},  {'o', MbButtons::OkCancel, false, app::IDOK},
        {'C', MbButtons::OkCancel, false, app::IDCANCEL}, {'\x1b', MbButtons::OkCancel, false, app::IDCANCEL},
        {'x', MbButtons::OkCancel, false, std::nullopt}, {'\n', MbButtons::YesNo, false, app::IDYES},
        {'\n', MbButtons::YesNo, true, app::IDNO},       {'y', MbButtons::YesNo, true, app::IDYES},
        {'\x1b', MbButtons::YesNo, false, app::IDNO},    {'o', MbButtons::YesNo, false, std::nullopt},
        {'q', MbButtons::Ok, false, app::IDOK},
    };
    for (const auto& c : cases) EXPECT_EQ(KeyAnswer(c.key, c.buttons, c.noByDefault), c.answer) << int(c.key);
    EXPECT_EQ(PromptFor(MbButtons::YesNo, true), "[Y]es / [N]o (Enter: No) ");
}

}  // namespace

namespace frontend::terminal {
void PrintTo(const ScreenLine& line, std::ostream* os) { *os << '"' << line.text << '"' << (line.sgr.empty() ? "" : " coloured"); }
}  // namespace frontend::terminal

namespace {

TEST(TerminalRedraw, ShowsTheLastLinesAtTheNewWidthWithTheTypedLineLast) {
    const std::deque<ScreenLine> said = {
        {"one two three four\n", ""},
        {"[Warning] Firmware update\n", "\x1b[1;33m"},
        {"a\nb\n", ""},
    };
    // Wrapped at 9 columns, only the last three fit above the prompt being answered.
    EXPECT_EQ(LinesBeneath(said, "[O]K ", 9, 4),
              (std::vector<ScreenLine>{{"update", "\x1b[1;33m"}, {"a", ""}, {"b", ""}, {"[O]K ", ""}}));
    // Wider, and with room for everything: the cursor's line is empty between questions.
    EXPECT_EQ(LinesBeneath(said, "", 40, 10),
              (std::vector<ScreenLine>{{"one two three four", ""},
                                       {"[Warning] Firmware update", "\x1b[1;33m"},
                                       {"a", ""},
                                       {"b", ""},
                                       {"", ""}}));
    EXPECT_EQ(LinesBeneath({}, "", 40, 1), (std::vector<ScreenLine>{{"", ""}}));
}

// A terminal that hangs up (its window closed) is no longer watched for keys: the message loop
// must not wake for it again and again.
TEST(TerminalKeys, HungUpTerminalFallsSilent) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The terminal's own process: its session's leader, in its foreground.
        signal(SIGHUP, SIG_IGN);
        std::unique_ptr<Console> console = OpenConsole(0, 1, false);
        console->SingleKeys(true);
        const int keys = static_cast<int>(console->KeyHandle());
        pollfd p{keys, POLLIN, 0};
        if (keys < 0 || poll(&p, 1, 0) != 0) _exit(2);  // nothing typed yet
        console->Write("ready\n");
        if (poll(&p, 1, 10000) != 1) _exit(3);  // the hang-up wakes the loop once
        console->TakeEsc();
        _exit(poll(&p, 1, 0) == 0 ? 0 : 4);  // and never again
    }
    std::string seen;
    char buf[256];
    while (seen.find("ready") == std::string::npos) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
    }
    ASSERT_NE(seen.find("ready"), std::string::npos) << seen;
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A host whose input and output are pipes, as when the program runs in a script.
struct PipedHost {
    PipedHost(const std::string& typed, bool yes = false) {
        EXPECT_EQ(pipe(in), 0);
        EXPECT_EQ(pipe(out), 0);
        EXPECT_EQ(write(in[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        close(in[1]);
        TerminalOptions o;
        o.inputFd = in[0];
        o.outputFd = out[1];
        o.answerYes = yes;
        o.handleSignals = false;
        host = std::make_unique<TerminalHost>(nullptr, o);
    }
    ~PipedHost() {
        host.reset();
        close(in[0]);
        close(out[0]);
    }
    std::string Output() {
        close(out[1]);
        std::string text;
        char buf[1024];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
        return text;
    }
    int in[2];
    int out[2];
    std::unique_ptr<TerminalHost> host;
};

TEST(TerminalPrompt, ReadsAnswersAndAsksAgainForNonsense) {
    PipedHost p("maybe\nn\n");
    EXPECT_EQ(p.host->MessageBox("Question?", "Firmware update", MbButtons::YesNo, app::MbIcon::Warning), app::IDNO);
    const std::string out = p.Output();
    EXPECT_FALSE(p.host->InPlace());
    // A script's answers are lines, and the prompt says what to type.
    EXPECT_NE(out.find("[Warning] Firmware update\nQuestion?\nType y (Yes) or n (No), then Enter (Enter alone: Yes) "
                       "Type y (Yes)"),
              std::string::npos)
        << out;
}

TEST(TerminalPrompt, EndOfInputTakesTheSafeAnswer) {
    for (auto [buttons, answer] : {std::pair{MbButtons::OkCancel, app::IDCANCEL}, std::pair{MbButtons::YesNo, app::IDNO},
                                   std::pair{MbButtons::Ok, app::IDOK}}) {
        PipedHost p("");
        EXPECT_EQ(p.host->MessageBox("text", "caption", buttons, app::MbIcon::Error), answer);
    }
}

TEST(TerminalPrompt, YesAnswersWithoutReading) {
    PipedHost p("c\n", true);
    EXPECT_EQ(p.host->MessageBox("Go?", "Firmware update", MbButtons::OkCancel, app::MbIcon::Warning), app::IDOK);
    EXPECT_EQ(p.host->MessageBox("Only?", "Firmware update", MbButtons::YesNo, app::MbIcon::Warning), app::IDYES);
    EXPECT_NE(p.Output().find("-> Yes (--yes)"), std::string::npos);
}

}  // namespace
