// The progress bar painted through GDI into a bitmap: its pixels against the bar's geometry, and
// the same bar as the terminal's cells draw for a table of states.
#include "frontend/win32/gdi_canvas.h"
#include "frontend/terminal/terminal_progress_bar.h"
#include "ui/text_progress_ctrl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

namespace {

using frontend::win32::GdiPaintTarget;
using ui::LPARAM;
using ui::WPARAM;

constexpr ui::COLORREF kBar = ui::RGB(200, 0, 0);
constexpr ui::COLORREF kBack = ui::RGB(0, 0, 200);
constexpr ui::COLORREF kText = ui::RGB(255, 255, 0);
constexpr ui::COLORREF kTextOnBar = ui::RGB(0, 255, 255);

// A bar of width x height pixels whose window is a 32-bit bitmap: each repaint goes through the
// bar's off-screen surface (a second, compatible bitmap) and lands in the pixels here.
class BitmapBar : private ui::WindowHost {
public:
    BitmapBar(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = ::CreateCompatibleDC(nullptr);
        bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        previous_ = ::SelectObject(dc_, bitmap_);
        // A font without smoothing: every text pixel has exactly the text colour.
        font_ = ::CreateFontW(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"Tahoma");
        control_.Attach(this);
        Send(ui::PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kBar));
        Send(ui::CCM_SETBKCOLOR, 0, static_cast<LPARAM>(kBack));
        Send(ui::TPM_SETTEXTCOLOR, 0, static_cast<LPARAM>(kText));
        Send(ui::TPM_SETTEXTONBARCOLOR, 0, static_cast<LPARAM>(kTextOnBar));
    }
    ~BitmapBar() override {
        control_.Attach(nullptr);
        ::SelectObject(dc_, previous_);
        ::DeleteObject(bitmap_);
        ::DeleteObject(font_);
        ::DeleteDC(dc_);
    }

    ui::LRESULT Send(ui::UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return control_.SendMessage(message, wParam, lParam);
    }
    void SetText(const std::string& text) { control_.SetWindowText(text); }
    ui::COLORREF Pixel(int x, int y) const {
        const uint32_t p = bits_[y * width_ + x];  // 0x00RRGGBB
        return ui::RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    int paints = 0;

private:
    void RedrawWindow() override { control_.WindowProc(ui::WM_PAINT, 0, 0); }
    void SetTimer(unsigned, unsigned) override {}
    void KillTimer(unsigned) override {}
    ui::Rect GetClientRect() const override { return {0, 0, width_, height_}; }
    std::optional<ui::FontDesc> GetFont() const override { return frontend::win32::FontDescOf(font_); }
    std::optional<ui::FontDesc> GetParentFont() const override { return std::nullopt; }
    ui::COLORREF GetSysColor(int index) const override { return ::GetSysColor(index); }
    std::unique_ptr<ui::PaintTarget> BeginPaint() override {
        ++paints;
        ::GdiFlush();
        return std::make_unique<GdiPaintTarget>(dc_);
    }

    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    HFONT font_ = nullptr;
    uint32_t* bits_ = nullptr;
    ui::CTextProgressCtrl control_;
};

// Pixels of the inner rectangle, sorted by colour, around the bar's right edge at split.
struct Census {
    int bar = 0, back = 0, textOnBar = 0, text = 0, misplaced = 0, other = 0;
    int textLeft = 1 << 30, textRight = -1;
};
Census Count(const BitmapBar& b, int split, int left = 2, int top = 2, int right = 202, int bottom = 18) {
    Census c;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) {
            const ui::COLORREF p = b.Pixel(x, y);
            const bool onBar = x < split;
            if (p == kBar) {
                onBar ? ++c.bar : ++c.misplaced;
            } else if (p == kBack) {
                onBar ? ++c.misplaced : ++c.back;
            } else if (p == kTextOnBar || p == kText) {
                if ((p == kTextOnBar) != onBar) ++c.misplaced;
                p == kTextOnBar ? ++c.textOnBar : ++c.text;
                c.textLeft = std::min(c.textLeft, x);
                c.textRight = std::max(c.textRight, x + 1);
            } else {
                ++c.other;
            }
        }
    return c;
}

TEST(GdiCanvas, EdgeBarBackgroundAndTwoColouredText) {
    BitmapBar b(204, 20);
    b.Send(ui::PBM_SETPOS, 50);
    // The flat sunken edge: the shadow colour outside, the face inside; inner is (2,2)-(202,18).
    EXPECT_EQ(b.Pixel(0, 0), ::GetSysColor(ui::COLOR_BTNSHADOW));
    EXPECT_EQ(b.Pixel(203, 19), ::GetSysColor(ui::COLOR_BTNSHADOW));
    EXPECT_EQ(b.Pixel(1, 10), ::GetSysColor(ui::COLOR_BTNFACE));
    const int split = 2 + 100;
    EXPECT_EQ(b.Pixel(2, 2), kBar);
    EXPECT_EQ(b.Pixel(split - 1, 2), kBar);
    EXPECT_EQ(b.Pixel(split, 2), kBack);
    EXPECT_EQ(b.Pixel(201, 17), kBack);
    const Census c = Count(b, split);
    EXPECT_EQ(c.misplaced, 0);
    EXPECT_EQ(c.other, 0);
    // "50%" straddles the edge: part of it in each colour.
    EXPECT_GT(c.textOnBar, 10);
    EXPECT_GT(c.text, 10);
}

TEST(GdiCanvas, RepaintsOnceAPositionChangesAndNotForANewRange) {
    BitmapBar b(204, 20);
    const int before = b.paints;
    b.Send(ui::PBM_SETPOS, 70);
    EXPECT_EQ(b.paints, before + 1);
    b.Send(ui::PBM_SETRANGE, 0, 0x00040000);
    EXPECT_EQ(b.paints, before + 1);
    b.Send(ui::PBM_SETRANGE, 0, 0x00000000);  // an empty range draws nothing
    b.Send(ui::PBM_SETPOS, 0);
    EXPECT_EQ(b.paints, before + 1);
}

TEST(GdiCanvas, SameBarAsTheTerminalForTheSameState) {
    struct State {
        int lo, hi, pos;
        const char* windowText;
        bool percent;
        const char* shown;
    };
    const State states[] = {
        {0, 100, 0, "", true, "0%"},
        {0, 100, 45, "", true, "45%"},
        {0, 100, 100, "", true, "100%"},
        {0, 4, 1, "Firmware update part 1 of 4", false, "Firmware update part 1 of 4"},
        {0, 4, 2, "Firmware update part 2 of 4", false, "Firmware update part 2 of 4"},
        {0, 100, 7, "Reconnect Norvik 1150", false, "Reconnect Norvik 1150"},
        {0, 3, 2, "", true, "67%"},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.shown);
        BitmapBar g(204, 20);
        frontend::terminal::TerminalProgressBar t(42, 1, 1, 1, nullptr);
        t.SetSysColors([](int index) { return ui::DefaultSysColor(index); });
        auto send = [&](ui::UINT m, WPARAM wp, LPARAM lp) {
            g.Send(m, wp, lp);
            t.SendMessage(m, wp, lp);
        };
        send(ui::PBM_SETRANGE32, static_cast<WPARAM>(s.lo), s.hi);
        send(ui::TPM_SETSHOWPERCENT, s.percent ? 1 : 0, 0);
        g.SetText(s.windowText);
        t.SetWindowText(s.windowText);
        send(ui::PBM_SETPOS, static_cast<WPARAM>(s.pos), 0);

        const double f = static_cast<double>(s.pos - s.lo) / (s.hi - s.lo);
        // GDI: 200 pixels inside the edge; the bar on the inner rectangle's top row.
        int barPixels = 0;
        for (int x = 2; x < 202; ++x) barPixels += g.Pixel(x, 2) == kBar;
        EXPECT_EQ(barPixels, static_cast<int>(std::trunc(200 * f)));
        const int split = 2 + static_cast<int>(std::trunc(200 * f));
        const Census c = Count(g, split);
        EXPECT_EQ(c.misplaced, 0);
        EXPECT_EQ(c.other, 0);
        ASSERT_GT(c.textOnBar + c.text, 0);
        // The text centred: as much room on its left as on its right, give or take the glyphs'
        // own side bearings.
        EXPECT_NEAR(c.textLeft - 2, 202 - c.textRight, 4) << c.textLeft << ".." << c.textRight;

        // Terminal: 40 cells inside the brackets, the same share of bar, the same text centred.
        const auto& cells = *t.Shown();
        int barCells = 0;
        for (int x = 1; x < 41; ++x) barCells += cells.At(x, 0).bg == ui::DefaultSysColor(ui::COLOR_HIGHLIGHT);
        EXPECT_EQ(barCells, static_cast<int>(std::trunc(40 * f)));
        const std::string row = cells.RowText(0);
        const std::string shown = s.shown;
        const size_t at = row.find(shown);
        ASSERT_NE(at, std::string::npos) << row;
        EXPECT_EQ(static_cast<int>(at), 1 + (40 - static_cast<int>(shown.size())) / 2);
    }
}

TEST(GdiCanvas, FontTravelsAsItsDescription) {
    HFONT font = ::CreateFontW(-15, 0, 0, 0, FW_BOLD, TRUE, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"Tahoma");
    ui::FontDesc desc = frontend::win32::FontDescOf(font);
    desc.escapement = desc.orientation = 900;
    const LOGFONTW lf = frontend::win32::LogFontOf(desc);
    EXPECT_EQ(lf.lfHeight, -15);
    EXPECT_EQ(lf.lfWeight, FW_BOLD);
    EXPECT_EQ(lf.lfItalic, TRUE);
    EXPECT_EQ(lf.lfQuality, NONANTIALIASED_QUALITY);
    EXPECT_EQ(lf.lfEscapement, 900);
    EXPECT_STREQ(lf.lfFaceName, L"Tahoma");
    ::DeleteObject(font);
}

}  // namespace
