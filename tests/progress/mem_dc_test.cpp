// The off-screen surface: background rules, one copy at the end, coordinates of a clip box
// that does not start at the window's corner, and drawing straight onto a printer.
#include "recording_canvas.h"
#include "ui/mem_dc.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace progress_test;

TEST(MemDC, BackgroundComesFromDialogFaceClassBrushOrBackgroundColour) {
    struct Case {
        const char* name;
        ui::WindowBackground background;
        COLORREF expected;
    };
    const Case cases[] = {
        {"dialog", {true, true, true, 0x00777777}, TestSysColor(ui::COLOR_BTNFACE)},
        {"class brush", {true, false, true, 0x00777777}, 0x00777777},
        {"plain window", {true, false, false, 0}, kTestBkColor},
        {"no window", {false, true, true, 0x00777777}, kTestBkColor},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log log;
        RecordingTarget target(log, {false, {0, 0, 30, 10}, c.background});
        { ui::CMemDCFTPC dc(target); }
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[1].kind, Op::Fill);
        EXPECT_TRUE(log[1].offscreen);
        EXPECT_EQ(log[1].rect, (Rect{0, 0, 30, 10}));
        EXPECT_EQ(log[1].color, c.expected);
    }
}

TEST(MemDC, DrawsOffscreenAtTheClipBoxOriginAndCopiesOnceAtTheEnd) {
    Log log;
    RecordingTarget target(log, {false, {10, 5, 60, 25}, {true, false, false, 0}});
    {
        ui::CMemDCFTPC dc(target);
        EXPECT_TRUE(dc.IsOffscreen());
        Rect edge{10, 5, 60, 25};
        dc.DrawSunkenEdge(edge);
        EXPECT_EQ(edge, (Rect{12, 7, 58, 23}));  // back in the window's coordinates
        dc.FillRect({12, 7, 20, 9}, 0x00010203);
        dc.DrawText(15, 10, {12, 7, 58, 23}, 0x00040506, "x");
        for (const Op& op : log) EXPECT_NE(op.kind, Op::Copy);
    }
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].kind, Op::Offscreen);
    EXPECT_EQ(log[0].rect, (Rect{0, 0, 50, 20}));  // as large as the clip box
    EXPECT_EQ(log[1].rect, (Rect{0, 0, 50, 20}));  // background over all of it
    EXPECT_EQ(log[2].kind, Op::Edge);
    EXPECT_EQ(log[2].rect, (Rect{0, 0, 50, 20}));
    EXPECT_EQ(log[3].rect, (Rect{2, 2, 10, 4}));
    EXPECT_EQ(log[4].kind, Op::Text);
    EXPECT_EQ(log[4].x, 5);
    EXPECT_EQ(log[4].y, 5);
    EXPECT_EQ(log[4].rect, (Rect{2, 2, 48, 18}));  // the clip moves with the drawing
    EXPECT_EQ(log[5].kind, Op::Copy);
    EXPECT_EQ(log[5].rect, (Rect{10, 5, 60, 25}));
    for (size_t i = 1; i < 5; ++i) EXPECT_TRUE(log[i].offscreen);
}

TEST(MemDC, PrintingDrawsOnTheTargetItselfWithoutCopy) {
    Log log;
    RecordingTarget target(log, {true, {10, 5, 60, 25}, {true, false, false, 0}});
    {
        ui::CMemDCFTPC dc(target);
        EXPECT_FALSE(dc.IsOffscreen());
        dc.FillRect({12, 7, 20, 9}, 0x00010203);
    }
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, Op::Fill);
    EXPECT_FALSE(log[0].offscreen);
    EXPECT_EQ(log[0].rect, (Rect{10, 5, 60, 25}));
    EXPECT_EQ(log[1].rect, (Rect{12, 7, 20, 9}));
}

}  // namespace
