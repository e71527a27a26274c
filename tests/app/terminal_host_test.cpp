// The terminal host's own rules: safe text, wrapping, answers to prompts over a real pipe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

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
    EXPECT_NE(out.find("[Warning] Firmware update\nQuestion?\n[Y]es / [N]o (Enter: Yes) [Y]es"), std::string::npos)
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
