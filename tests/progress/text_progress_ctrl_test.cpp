// The text progress bar's messages and its painting, seen through a recording canvas.
// The window is 204 x 20; the recording edge is 2 wide, so the inner rectangle is
// (2, 2)-(202, 18): 200 wide, 16 high. Text is 7 per character wide and 13 high.
#include "recording_canvas.h"
#include "ui/text_progress_ctrl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace progress_test;
using ui::CTextProgressCtrl;
using ui::WPARAM;
using ui::LPARAM;

constexpr COLORREF kHighlight = 0x00A00001;
constexpr COLORREF kBtnFace = 0x00B00002;
constexpr COLORREF kWindowText = 0x00C00003;
constexpr COLORREF kWindow = 0x00D00004;

std::string RectText(const Rect& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

std::string ColorText(COLORREF c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06X", static_cast<unsigned>(c));
    return buf;
}

// One line per operation, for comparing whole paints.
std::vector<std::string> Describe(const Log& log) {
    std::vector<std::string> out;
    for (const Op& op : log) {
        const std::string where = op.offscreen ? "off " : "";
        switch (op.kind) {
        case Op::Offscreen: out.push_back("offscreen " + RectText(op.rect)); break;
        case Op::Fill: out.push_back(where + "fill " + RectText(op.rect) + " " + ColorText(op.color)); break;
        case Op::Edge: out.push_back(where + "edge " + RectText(op.rect)); break;
        case Op::Font: out.push_back(where + "font " + op.font.description + "/" + std::to_string(op.font.escapement)); break;
        case Op::Measure: out.push_back(where + "measure " + op.text); break;
        case Op::Transparent: out.push_back(where + "transparent"); break;
        case Op::Text:
            out.push_back(where + "text \"" + op.text + "\" at " + std::to_string(op.x) + "," + std::to_string(op.y) +
                          " clip " + RectText(op.rect) + " " + ColorText(op.color));
            break;
        case Op::Copy: out.push_back("copy " + RectText(op.rect)); break;
        }
    }
    return out;
}

Rect FillOf(const TestHost& host, COLORREF color, int nth = 0) {
    int seen = 0;
    for (const Op& op : host.Ops(Op::Fill))
        if (op.color == color && seen++ == nth) return op.rect;
    return {-1, -1, -1, -1};
}

struct Bar {
    CTextProgressCtrl ctrl;
    TestHost host;
    explicit Bar(Rect client = {0, 0, 204, 20}, uint32_t style = 0) : host(ctrl, client, style) {}
    ui::LRESULT Send(ui::UINT message, WPARAM w = 0, LPARAM l = 0) { return ctrl.SendMessage(message, w, l); }
    void Paint() { Send(ui::WM_PAINT); }
    int Pos() { return static_cast<int>(Send(ui::PBM_GETPOS)); }
};

TEST(TextProgressCtrl, AfterConstructionFirstPaintShowsZeroPercentCentredInWindowTextColour) {
    Bar bar;
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 1), 0);
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 0), 100);
    EXPECT_EQ(bar.Pos(), 0);
    EXPECT_EQ(bar.Send(ui::PBM_SETSTEP, 10), 10);
    // Colours are stored as "default" and resolved to the system colours when asked.
    EXPECT_EQ(bar.Send(ui::TPM_GETBARCOLOR), static_cast<ui::LRESULT>(kHighlight));
    EXPECT_EQ(bar.Send(ui::TPM_GETBKCOLOR), static_cast<ui::LRESULT>(kBtnFace));
    EXPECT_EQ(bar.Send(ui::TPM_GETTEXTCOLOR), static_cast<ui::LRESULT>(kWindowText));
    EXPECT_EQ(bar.Send(ui::TPM_GETTEXTONBARCOLOR), static_cast<ui::LRESULT>(kWindow));

    bar.Paint();
    const std::vector<std::string> expected = {
        "offscreen 0,0,204,20",
        "off fill 0,0,204,20 #123456",  // the window's background colour first
        "off font parent/0",
        "off edge 0,0,204,20",
        "off fill 2,2,2,18 #A00001",     // an empty bar
        "off fill 2,2,202,18 #B00002",   // the rest in the background colour
        "off measure 0%",
        "off transparent",
        "off text \"0%\" at 95,3 clip 2,2,2,18 #D00004",
        "off text \"0%\" at 95,3 clip 2,2,202,18 #C00003",
        "copy 0,0,204,20",               // one copy onto the window, at the end
    };
    EXPECT_EQ(Describe(bar.host.log), expected);
}

TEST(TextProgressCtrl, FortyFivePercentOfTwoHundredIsNinetyWideAndSplitsTheText) {
    Bar bar;
    bar.Send(ui::PBM_SETPOS, 45);
    EXPECT_EQ(FillOf(bar.host, kHighlight), (Rect{2, 2, 92, 18}));
    EXPECT_EQ(FillOf(bar.host, kBtnFace), (Rect{92, 2, 202, 18}));
    const auto texts = bar.host.VisibleTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "45%");
    EXPECT_EQ(texts[0].x, 2 + (200 - 21) / 2);
    EXPECT_EQ(texts[0].rect, (Rect{2, 2, 92, 18}));  // left of pixel 90 of the bar: text on the bar
    EXPECT_EQ(texts[0].color, kWindow);
    EXPECT_EQ(texts[1].rect, (Rect{92, 2, 202, 18}));
    EXPECT_EQ(texts[1].color, kWindowText);
}

TEST(TextProgressCtrl, PercentageIsRoundedHalfUpAndBarWidthTruncated) {
    struct Case {
        int lo, hi, pos;
        const char* text;
        int barWidth;
    };
    const Case cases[] = {
        {0, 4, 1, "25%", 50},   // 0.25 x 100 + 0.5 = 25.5, cut to 25
        {0, 3, 2, "67%", 133},  // 66.67 + 0.5 -> 67; 200 x 2/3 = 133.3 -> 133
        {0, 3, 1, "33%", 66},
        {0, 100, 100, "100%", 200},
        {-50, 50, 0, "50%", 100},
        {0, 200, 1, "1%", 1},   // 0.5 + 0.5 = 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Bar bar;
        bar.Send(ui::PBM_SETRANGE32, static_cast<WPARAM>(static_cast<unsigned>(c.lo)), c.hi);
        bar.Send(ui::PBM_SETPOS, static_cast<WPARAM>(static_cast<unsigned>(c.pos)));
        EXPECT_EQ(FillOf(bar.host, kHighlight), (Rect{2, 2, 2 + c.barWidth, 18}));
        ASSERT_FALSE(bar.host.Ops(Op::Measure).empty());
        EXPECT_EQ(bar.host.Ops(Op::Measure)[0].text, c.text);
    }
}

TEST(TextProgressCtrl, SetPosClampsToTheRangeRepaintsAndReturnsThePreviousPosition) {
    Bar bar;
    bar.Send(ui::PBM_SETPOS, 30);
    const int redraws = bar.host.redraws;
    EXPECT_EQ(bar.Send(ui::PBM_SETPOS, 150), 30);
    EXPECT_EQ(bar.Pos(), 100);
    EXPECT_EQ(bar.Send(ui::PBM_SETPOS, static_cast<WPARAM>(static_cast<unsigned>(-5))), 100);
    EXPECT_EQ(bar.Pos(), 0);
    EXPECT_EQ(bar.host.redraws, redraws + 2);
    // The repaint shows the value just stored.
    EXPECT_EQ(bar.host.Ops(Op::Measure)[0].text, "0%");

    EXPECT_EQ(bar.Send(ui::PBM_DELTAPOS, 70), 0);
    EXPECT_EQ(bar.Send(ui::PBM_DELTAPOS, 70), 70);
    EXPECT_EQ(bar.Pos(), 100);
}

TEST(TextProgressCtrl, StepItWrapsAroundTheRange) {
    struct Case {
        int pos, step, expected;
    };
    const Case cases[] = {{95, 10, 5}, {3, -10, 93}, {90, 10, 100}, {10, -10, 0}, {50, 10, 60}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pos) + " step " + std::to_string(c.step));
        Bar bar;
        bar.Send(ui::PBM_SETPOS, static_cast<WPARAM>(c.pos));
        EXPECT_EQ(bar.Send(ui::PBM_SETSTEP, static_cast<WPARAM>(static_cast<unsigned>(c.step))), 10);
        const int redraws = bar.host.redraws;
        EXPECT_EQ(bar.Send(ui::PBM_STEPIT), c.pos);
        EXPECT_EQ(bar.Pos(), c.expected);
        EXPECT_EQ(bar.host.redraws, redraws + 1);
    }
}

TEST(TextProgressCtrl, SetRangeTakesTwoSixteenBitHalvesWithoutRepaintOrReclamp) {
    Bar bar;
    bar.Send(ui::PBM_SETPOS, 50);
    const int redraws = bar.host.redraws;
    EXPECT_EQ(bar.Send(ui::PBM_SETRANGE, 0, 0x00640000), 0x00640000);
    EXPECT_EQ(bar.Send(ui::PBM_SETRANGE, 0, 0x00040000), 0x00640000);
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 1), 0);
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 0), 4);
    EXPECT_EQ(bar.host.redraws, redraws);
    EXPECT_EQ(bar.Pos(), 50);  // not clamped until the next position change

    // Beyond its range the bar fills the inner rectangle and never paints over the edge.
    bar.Paint();
    EXPECT_EQ(FillOf(bar.host, kHighlight), (Rect{2, 2, 202, 18}));
    EXPECT_EQ(bar.host.Ops(Op::Measure)[0].text, "1250%");

    // Unsigned halves: 0xFFFF is 65535, not -1.
    bar.Send(ui::PBM_SETRANGE, 0, static_cast<LPARAM>(0xFFFF0010));
    ui::PBRANGE range;
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 0, reinterpret_cast<LPARAM>(&range)), 65535);
    EXPECT_EQ(range.iLow, 16);
    EXPECT_EQ(range.iHigh, 65535);
}

TEST(TextProgressCtrl, SetRange32TakesFullIntegersAndReturnsTheOldRangeInSixteenBitHalves) {
    Bar bar;
    EXPECT_EQ(bar.Send(ui::PBM_SETRANGE32, static_cast<WPARAM>(static_cast<unsigned>(-1)), 70000), 0x00640000);
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 1), -1);
    EXPECT_EQ(bar.Send(ui::PBM_GETRANGE, 0), 70000);
    EXPECT_EQ(bar.Send(ui::PBM_SETRANGE32, 0, 100), ui::MAKELRESULT(0xFFFF, 70000 & 0xFFFF));
}

TEST(TextProgressCtrl, EmptyOrInvertedRangeDrawsNothing) {
    for (auto [lo, hi] : {std::pair{5, 5}, std::pair{10, 3}}) {
        Bar bar;
        bar.Send(ui::PBM_SETRANGE32, static_cast<WPARAM>(lo), hi);
        bar.Paint();
        EXPECT_EQ(bar.host.paints, 0);
        EXPECT_TRUE(bar.host.log.empty());
    }
}

TEST(TextProgressCtrl, PercentageOffAndNoTextDrawsOnlyBarAndEdge) {
    Bar bar;
    bar.Send(ui::PBM_SETPOS, 30);
    EXPECT_EQ(bar.Send(ui::TPM_SETSHOWPERCENT, 0), 1);
    bar.Paint();
    const std::vector<std::string> expected = {
        "offscreen 0,0,204,20",        "off fill 0,0,204,20 #123456", "off font parent/0",
        "off edge 0,0,204,20",         "off fill 2,2,62,18 #A00001",  "off fill 62,2,202,18 #B00002",
        "copy 0,0,204,20",
    };
    EXPECT_EQ(Describe(bar.host.log), expected);
}

TEST(TextProgressCtrl, StageTextWithPercentageOffIsCentredAndTwoColoured) {
    Bar bar;
    bar.Send(ui::PBM_SETRANGE, 0, 0x00040000);
    bar.ctrl.SetWindowText("Firmware update part 1 of 4");
    bar.Send(ui::PBM_SETPOS, 1);
    bar.Send(ui::TPM_SETSHOWPERCENT, 0);
    bar.Paint();
    auto texts = bar.host.VisibleTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "Firmware update part 1 of 4");
    EXPECT_EQ(texts[0].x, 2 + (200 - 27 * kCharWidth) / 2);
    EXPECT_EQ(texts[0].rect, (Rect{2, 2, 52, 18}));
    EXPECT_EQ(texts[0].color, kWindow);
    EXPECT_EQ(texts[1].rect, (Rect{52, 2, 202, 18}));
    EXPECT_EQ(texts[1].color, kWindowText);

    // With the percentage on it follows the text without a blank.
    bar.Send(ui::TPM_SETSHOWPERCENT, 1);
    bar.Paint();
    EXPECT_EQ(bar.host.VisibleTexts()[0].text, "Firmware update part 1 of 425%");
}

TEST(TextProgressCtrl, SettersRepaintWithTheOldValueThenStore) {
    struct Case {
        const char* name;
        ui::UINT set;
        ui::UINT get;
        COLORREF (*shown)(const TestHost&);  // the colour this setting paints with
    };
    const Case cases[] = {
        {"bar", ui::PBM_SETBARCOLOR, ui::TPM_GETBARCOLOR,
         [](const TestHost& h) { return h.Ops(Op::Fill)[1].color; }},
        {"background", ui::CCM_SETBKCOLOR, ui::TPM_GETBKCOLOR,
         [](const TestHost& h) { return h.Ops(Op::Fill)[2].color; }},
        {"text", ui::TPM_SETTEXTCOLOR, ui::TPM_GETTEXTCOLOR,
         [](const TestHost& h) { return h.VisibleTexts()[1].color; }},
        {"text on bar", ui::TPM_SETTEXTONBARCOLOR, ui::TPM_GETTEXTONBARCOLOR,
         [](const TestHost& h) { return h.VisibleTexts()[0].color; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bar bar;
        bar.Send(ui::PBM_SETPOS, 50);
        const COLORREF before = c.shown(bar.host);
        const int redraws = bar.host.redraws;
        EXPECT_EQ(bar.Send(c.set, 0, 0x00112233), static_cast<ui::LRESULT>(ui::CLR_DEFAULT));
        EXPECT_EQ(bar.host.redraws, redraws + 1);
        EXPECT_EQ(c.shown(bar.host), before);  // the repaint still showed the old colour
        bar.Paint();
        EXPECT_EQ(c.shown(bar.host), 0x00112233u);
        EXPECT_EQ(bar.Send(c.get), 0x00112233);
        // The setter returns what was stored, default included; the getter resolves.
        EXPECT_EQ(bar.Send(c.set, 0, static_cast<LPARAM>(ui::CLR_DEFAULT)), 0x00112233);
        EXPECT_EQ(bar.Send(c.get), static_cast<ui::LRESULT>(before));
    }

    Bar bar;
    bar.Send(ui::PBM_SETPOS, 50);
    EXPECT_EQ(bar.Send(ui::TPM_SETSHOWPERCENT, 0), 1);
    EXPECT_EQ(bar.host.Ops(Op::Measure)[0].text, "50%");  // still shown during the call
    bar.Paint();
    EXPECT_TRUE(bar.host.Ops(Op::Measure).empty());
    EXPECT_EQ(bar.Send(ui::TPM_SETSHOWPERCENT, 1), 0);
    EXPECT_EQ(bar.Send(ui::TPM_SETTEXTALIGN, 0), 1);
    EXPECT_EQ(bar.host.VisibleTexts()[0].x, 91);  // still centred during the call
    bar.Paint();
    EXPECT_EQ(bar.host.VisibleTexts()[0].x, 4);
    EXPECT_EQ(bar.Send(ui::TPM_SETMARQUEEBLOCK, 30), 30);
    EXPECT_EQ(bar.ctrl.MarqueeLimit(), 130);
}

TEST(TextProgressCtrl, TextPlacementForEachAlignmentHorizontalAndVertical) {
    struct Case {
        uint32_t style;
        int align;
        int x, y;
    };
    // "45%": 21 along the baseline, 13 across.
    const Case cases[] = {
        {0, 0, 4, 3},     {0, 1, 91, 3},     {0, 2, 178, 3},   {0, 7, 91, 3},
        {ui::PBS_VERTICAL, 0, 3, 199}, {ui::PBS_VERTICAL, 2, 3, 25}, {ui::PBS_VERTICAL, 1, 3, 112},
        {ui::PBS_VERTICAL, -1, 3, 112},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.style ? "vertical, alignment " : "horizontal, alignment ") + std::to_string(c.align));
        const bool vertical = c.style != 0;
        Bar bar(vertical ? Rect{0, 0, 20, 204} : Rect{0, 0, 204, 20}, c.style);
        bar.Send(ui::PBM_SETPOS, 45);
        bar.Send(ui::TPM_SETTEXTALIGN, static_cast<WPARAM>(static_cast<unsigned>(c.align)));
        bar.Paint();
        const auto texts = bar.host.VisibleTexts();
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[0].x, c.x);
        EXPECT_EQ(texts[0].y, c.y);
        if (vertical) {
            // The bar grows from the bottom; the text is written with the turned font, which
            // is put back afterwards.
            EXPECT_EQ(texts[0].rect, (Rect{2, 112, 18, 202}));
            EXPECT_EQ(texts[0].color, kWindow);
            EXPECT_EQ(texts[1].rect, (Rect{2, 2, 18, 112}));
            EXPECT_EQ(texts[0].font.escapement, 900);
            EXPECT_EQ(texts[0].font.orientation, 900);
            EXPECT_EQ(texts[0].font.description, "parent");
            EXPECT_EQ(bar.host.Ops(Op::Font).back().font, (ui::FontDesc{"parent"}));
            EXPECT_TRUE(bar.ctrl.HasVerticalFont());
        } else {
            EXPECT_EQ(texts[0].font.escapement, 0);
            EXPECT_FALSE(bar.ctrl.HasVerticalFont());
        }
    }
}

TEST(TextProgressCtrl, ControlFontIsPreferredAndTurnedOnceForAVerticalBar) {
    Bar bar({0, 0, 20, 204}, ui::PBS_VERTICAL);
    bar.host.font = ui::FontDesc{"own"};
    bar.Paint();
    EXPECT_EQ(bar.host.Ops(Op::Font)[0].font.description, "own");
    EXPECT_EQ(bar.host.Ops(Op::Text)[0].font, (ui::FontDesc{"own", 900, 900}));
    // The turned font is made at the first paint and kept.
    bar.host.font = ui::FontDesc{"changed"};
    bar.Paint();
    EXPECT_EQ(bar.host.Ops(Op::Text)[0].font.description, "own");
}

TEST(TextProgressCtrl, MarqueeRunsToTheLimitAndBackOneStepPerTick) {
    Bar bar;
    EXPECT_EQ(bar.Send(ui::PBM_SETMARQUEE, 1, 30), 1);
    EXPECT_EQ(bar.host.timers.at(ui::kMarqueeTimerId), 30u);
    EXPECT_TRUE(bar.ctrl.GetStyle() & ui::PBS_MARQUEE);
    EXPECT_EQ(bar.ctrl.MarqueeLimit(), 120);

    std::vector<int> seen;
    for (int tick = 0; tick < 241; ++tick) {
        bar.Send(ui::WM_TIMER, ui::kMarqueeTimerId);
        seen.push_back(bar.Pos());
    }
    std::vector<int> expected;
    for (int p = 1; p <= 120; ++p) expected.push_back(p);
    for (int p = 119; p >= 0; --p) expected.push_back(p);
    expected.push_back(1);
    EXPECT_EQ(seen, expected);
    // Other timers do not move it.
    bar.Send(ui::WM_TIMER, 2);
    EXPECT_EQ(bar.Pos(), 1);
    // The percentage went off with the marquee.
    EXPECT_TRUE(bar.host.Ops(Op::Measure).empty());

    bar.Send(ui::PBM_SETMARQUEE, 0, 0);
    EXPECT_TRUE(bar.host.timers.empty());
    EXPECT_FALSE(bar.ctrl.GetStyle() & ui::PBS_MARQUEE);
    bar.Send(ui::PBM_SETPOS, 150);
    EXPECT_EQ(bar.Pos(), 100);
}

TEST(TextProgressCtrl, MarqueeBlockIsTwentyPercentAndSlidesOutAtTheEnd) {
    struct Case {
        int pos;
        Rect before, bar, after;  // an empty before or after: not drawn
    };
    const Case cases[] = {
        {10, {}, {2, 2, 22, 18}, {22, 2, 202, 18}},
        {60, {2, 2, 82, 18}, {82, 2, 122, 18}, {122, 2, 202, 18}},
        {110, {2, 2, 182, 18}, {182, 2, 202, 18}, {}},
        {120, {2, 2, 202, 18}, {202, 2, 202, 18}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pos);
        Bar bar;
        bar.Send(ui::PBM_SETMARQUEE, 1, 30);
        bar.Send(ui::PBM_SETPOS, static_cast<WPARAM>(c.pos));
        std::vector<Rect> expected;
        if (!c.before.IsEmpty()) expected.push_back(c.before);
        expected.push_back(c.bar);
        if (!c.after.IsEmpty()) expected.push_back(c.after);
        std::vector<Rect> fills;
        for (const Op& op : bar.host.Ops(Op::Fill))
            if (op.offscreen && !(op.rect == Rect{0, 0, 204, 20})) fills.push_back(op.rect);
        EXPECT_EQ(fills, expected);
    }
    // The limit holds the position while the marquee runs.
    Bar bar;
    bar.Send(ui::PBM_SETMARQUEE, 1, 30);
    bar.Send(ui::PBM_SETPOS, 500);
    EXPECT_EQ(bar.Pos(), 120);
}

TEST(TextProgressCtrl, VerticalMarqueeRunsFromTheBottom) {
    Bar bar({0, 0, 20, 204}, ui::PBS_VERTICAL);
    bar.Send(ui::PBM_SETMARQUEE, 1, 30);
    bar.Send(ui::PBM_SETPOS, 60);
    // lead = 202 - 120 = 82; block 40 below it.
    std::vector<Rect> fills;
    for (const Op& op : bar.host.Ops(Op::Fill))
        if (op.offscreen) fills.push_back(op.rect);
    const std::vector<Rect> expected = {{0, 0, 20, 204}, {2, 122, 18, 202}, {2, 82, 18, 122}, {2, 2, 18, 82}};
    EXPECT_EQ(fills, expected);
}

TEST(TextProgressCtrl, MarqueeDirectionIsOneForTheWholeProcess) {
    Bar a;
    Bar b;
    a.Send(ui::PBM_SETMARQUEE, 1, 30);
    b.Send(ui::PBM_SETMARQUEE, 1, 30);
    EXPECT_EQ(CTextProgressCtrl::MarqueeDirection(), 1);
    a.Send(ui::PBM_SETPOS, 120);
    b.Send(ui::PBM_SETPOS, 50);
    a.Send(ui::WM_TIMER, ui::kMarqueeTimerId);  // a turns at its limit ...
    EXPECT_EQ(CTextProgressCtrl::MarqueeDirection(), -1);
    b.Send(ui::WM_TIMER, ui::kMarqueeTimerId);  // ... and b goes back with it
    EXPECT_EQ(b.Pos(), 49);
    // Put the direction back for any later test in this process.
    a.Send(ui::PBM_SETPOS, 0);
    a.Send(ui::WM_TIMER, ui::kMarqueeTimerId);
    EXPECT_EQ(CTextProgressCtrl::MarqueeDirection(), 1);
}

TEST(TextProgressCtrl, EraseIsSuppressedAndUnknownMessagesAnswerZero) {
    Bar bar;
    EXPECT_NE(bar.Send(ui::WM_ERASEBKGND), 0);
    EXPECT_EQ(bar.Send(0x1234, 5, 6), 0);
    EXPECT_EQ(bar.host.paints, 0);
}

TEST(TextProgressCtrl, ExtremeRangesAndStepsDoNotOverflow) {
    Bar bar;
    bar.Send(ui::PBM_SETRANGE32, static_cast<WPARAM>(static_cast<unsigned>(INT32_MIN)), INT32_MAX);
    bar.Send(ui::PBM_SETPOS, static_cast<WPARAM>(static_cast<unsigned>(INT32_MAX)));
    EXPECT_EQ(bar.Pos(), INT32_MAX);
    EXPECT_EQ(FillOf(bar.host, kHighlight), (Rect{2, 2, 202, 18}));
    EXPECT_EQ(bar.host.Ops(Op::Measure)[0].text, "100%");
    bar.Send(ui::PBM_SETSTEP, static_cast<WPARAM>(static_cast<unsigned>(INT32_MAX)));
    bar.Send(ui::PBM_STEPIT);
    EXPECT_GE(bar.Pos(), INT32_MIN);
    bar.Send(ui::PBM_DELTAPOS, static_cast<WPARAM>(static_cast<unsigned>(INT32_MIN)));
    bar.Send(ui::PBM_DELTAPOS, static_cast<WPARAM>(static_cast<unsigned>(INT32_MIN)));
    EXPECT_EQ(bar.Pos(), INT32_MIN);
    bar.Send(ui::TPM_SETMARQUEEBLOCK, static_cast<WPARAM>(static_cast<unsigned>(INT32_MAX)));
    bar.Send(ui::PBM_SETMARQUEE, 1, 10);
    bar.Send(ui::PBM_SETPOS, 0);
    for (const Op& op : bar.host.Ops(Op::Fill)) {
        if (!op.offscreen || op.rect == (Rect{0, 0, 204, 20})) continue;
        EXPECT_GE(op.rect.left, 2);
        EXPECT_LE(op.rect.right, 202);
    }
}

}  // namespace
