// The progress bar on character cells and its ANSI output.
#include "frontend/terminal/ansi_output.h"
#include "frontend/terminal/progress_cells.h"
#include "frontend/terminal/terminal_progress_bar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace frontend::terminal;

const ui::COLORREF kBar = ui::DefaultSysColor(ui::COLOR_HIGHLIGHT);
const ui::COLORREF kBack = ui::DefaultSysColor(ui::COLOR_BTNFACE);
const ui::COLORREF kText = ui::DefaultSysColor(ui::COLOR_WINDOWTEXT);
const ui::COLORREF kTextOnBar = ui::DefaultSysColor(ui::COLOR_WINDOW);

// What the terminal shows of an output: the characters without the escape sequences.
std::string Visible(const std::string& out) {
    std::string text;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '\x1b') {
            text += out[i];
            continue;
        }
        if (i + 1 < out.size() && out[i + 1] == '[') {
            i += 2;
            while (i < out.size() && !(out[i] >= 0x40 && out[i] <= 0x7E)) ++i;  // up to the final byte
        } else {
            ++i;  // ESC 7, ESC 8
        }
    }
    return text;
}

struct Screen {
    std::vector<std::string> writes;
    TerminalProgressBar::Sink Sink() {
        return [this](std::string_view s) { writes.emplace_back(s); };
    }
};

TEST(TerminalProgress, CellsShowBarBackgroundAndTwoColouredCentredText) {
    Screen screen;
    TerminalProgressBar bar(22, 1, 3, 5, screen.Sink());
    bar.SendMessage(ui::PBM_SETPOS, 45);
    const CellGrid* cells = bar.Shown();
    ASSERT_NE(cells, nullptr);
    // Inner width 20 between the brackets: 9 cells of bar, "45%" centred at cell 1 + 17/2.
    EXPECT_EQ(cells->RowText(0), "[        45%         ]");
    for (int x = 1; x <= 20; ++x) {
        SCOPED_TRACE(x);
        EXPECT_EQ(cells->At(x, 0).bg, x <= 9 ? kBar : kBack);
    }
    EXPECT_EQ(cells->At(9, 0).fg, kTextOnBar);  // '4' lies on the bar
    EXPECT_EQ(cells->At(10, 0).fg, kText);      // '5' and '%' beside it
    EXPECT_EQ(cells->At(11, 0).fg, kText);
    EXPECT_EQ(cells->At(0, 0), (Cell{U'[', kTerminalDefault, kTerminalDefault}));
    EXPECT_EQ(cells->At(21, 0), (Cell{U']', kTerminalDefault, kTerminalDefault}));
}

TEST(TerminalProgress, RedrawsInPlaceOnlyWhatChanged) {
    Screen screen;
    TerminalProgressBar bar(22, 1, 3, 5, screen.Sink());
    bar.SendMessage(ui::PBM_SETPOS, 45);
    ASSERT_EQ(screen.writes.size(), 1u);
    const std::string& first = screen.writes[0];
    EXPECT_EQ(first.rfind("\x1b" "7\x1b[3;5H", 0), 0u);  // saves the cursor, goes to the bar
    EXPECT_EQ(Visible(first), "[        45%         ]");
    EXPECT_EQ(first.substr(first.size() - 6), "\x1b[0m\x1b" "8");

    // Same picture: nothing is written.
    bar.SendMessage(ui::WM_PAINT);
    bar.SendMessage(ui::PBM_SETPOS, 45);
    EXPECT_EQ(screen.writes.size(), 1u);

    // 50%: cells 9 to 11 change ("45%" -> "50%", cell 10 joins the bar), nothing else.
    bar.SendMessage(ui::PBM_SETPOS, 50);
    ASSERT_EQ(screen.writes.size(), 2u);
    const std::string& second = screen.writes[1];
    EXPECT_NE(second.find("\x1b[3;14H"), std::string::npos);
    EXPECT_EQ(second.find("\x1b[3;5H"), std::string::npos);
    EXPECT_EQ(Visible(second), "50");  // the % sign and the edge did not change
    EXPECT_EQ(bar.Shown()->At(10, 0).bg, kBar);

    // After the screen was cleared the whole bar is drawn again.
    bar.Invalidate();
    bar.SendMessage(ui::WM_PAINT);
    ASSERT_EQ(screen.writes.size(), 3u);
    EXPECT_NE(screen.writes[2].find("\x1b[3;5H"), std::string::npos);
}

TEST(TerminalProgress, VerticalBarWritesUpwardFromTheBottom) {
    Screen screen;
    TerminalProgressBar bar(3, 12, 1, 1, screen.Sink(), ColorMode::TrueColor, ui::PBS_VERTICAL);
    bar.SendMessage(ui::PBM_SETPOS, 50);
    const CellGrid& cells = *bar.Shown();
    // A box around inner (1,1)-(2,11): 10 rows, the lower 5 filled.
    EXPECT_EQ(cells.RowText(0), "┌─┐");
    EXPECT_EQ(cells.RowText(11), "└─┘");
    for (int y = 1; y <= 10; ++y) EXPECT_EQ(cells.At(1, y).bg, y >= 6 ? kBar : kBack) << y;
    // "50%" centred: reference row 1 + 3 + 7/2 = 7, characters upward from the row above.
    EXPECT_EQ(cells.At(1, 6).ch, U'5');
    EXPECT_EQ(cells.At(1, 6).fg, kTextOnBar);
    EXPECT_EQ(cells.At(1, 5).ch, U'0');
    EXPECT_EQ(cells.At(1, 5).fg, kText);
    EXPECT_EQ(cells.At(1, 4).ch, U'%');
}

TEST(TerminalProgress, MarqueeTimerIsOfferedToTheEventLoop) {
    Screen screen;
    TerminalProgressBar bar(22, 1, 1, 1, screen.Sink());
    EXPECT_FALSE(bar.TimerInterval(ui::kMarqueeTimerId));
    bar.SendMessage(ui::PBM_SETMARQUEE, 1, 0);
    EXPECT_EQ(bar.TimerInterval(ui::kMarqueeTimerId), 10u);  // never faster than 10 ms
    bar.OnTimer(ui::kMarqueeTimerId);
    bar.OnTimer(ui::kMarqueeTimerId);
    EXPECT_EQ(bar.SendMessage(ui::PBM_GETPOS), 2);
    // A block of 4 cells (20 % of 20) whose leading edge is at cell 1 + trunc(20 x 0.1).
    bar.SendMessage(ui::PBM_SETPOS, 10);
    EXPECT_EQ(bar.Shown()->RowText(0), "[                    ]");
    EXPECT_EQ(bar.Shown()->At(1, 0).bg, kBar);
    EXPECT_EQ(bar.Shown()->At(2, 0).bg, kBar);
    EXPECT_EQ(bar.Shown()->At(3, 0).bg, kBack);
    bar.SendMessage(ui::PBM_SETMARQUEE, 0, 0);
    EXPECT_FALSE(bar.TimerInterval(ui::kMarqueeTimerId));
    bar.OnTimer(ui::kMarqueeTimerId);
    EXPECT_EQ(bar.SendMessage(ui::PBM_GETPOS), 10);
}

TEST(TerminalProgress, WindowTextCannotSmuggleEscapeSequences) {
    Screen screen;
    TerminalProgressBar bar(40, 1, 1, 1, screen.Sink());
    bar.SetWindowText("\x1b[2J\xff ok ");
    bar.SendMessage(ui::PBM_SETPOS, 10);
    ASSERT_EQ(screen.writes.size(), 1u);
    EXPECT_EQ(screen.writes[0].find("\x1b[2J"), std::string::npos);
    EXPECT_NE(Visible(screen.writes[0]).find(" [2J\xef\xbf\xbd ok 10%"), std::string::npos);  // U+FFFD for the bad byte
}

TEST(TerminalProgress, ColoursInTrueColourAndSixteenColourTerminals) {
    EXPECT_EQ(SgrColors(ui::RGB(0, 0, 0), ui::RGB(0, 120, 215), ColorMode::TrueColor),
              "\x1b[38;2;0;0;0;48;2;0;120;215m");
    EXPECT_EQ(SgrColors(ui::RGB(255, 255, 255), ui::RGB(255, 0, 0), ColorMode::Basic16), "\x1b[97;101m");
    EXPECT_EQ(SgrColors(kTerminalDefault, ui::RGB(0, 0, 230), ColorMode::Basic16), "\x1b[39;44m");
    EXPECT_EQ(ColorModeFor("truecolor", "xterm-256color"), ColorMode::TrueColor);
    EXPECT_EQ(ColorModeFor(nullptr, "linux"), ColorMode::Basic16);
}

}  // namespace
