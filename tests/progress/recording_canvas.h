// A paint target that writes down every drawing call, and a window host that paints into it,
// so that tests can see exactly what a paint drew, in which order, and where.
#pragma once

#include "ui/canvas.h"
#include "ui/progress_ctrl.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace progress_test {

using ui::COLORREF;
using ui::Rect;

struct Op {
    enum Kind { Offscreen, Fill, Edge, Font, Measure, Transparent, Text, Copy };
    Op(Kind k, bool off, Rect r = {}, COLORREF c = 0, std::string t = {}, int px = 0, int py = 0)
        : kind(k), offscreen(off), rect(r), color(c), text(std::move(t)), x(px), y(py) {}
    Kind kind;
    bool offscreen = false;  // drawn into the off-screen surface
    Rect rect;               // filled rectangle, edge rectangle, text clip, copied area
    COLORREF color = 0;
    std::string text;
    int x = 0;
    int y = 0;
    ui::FontDesc font;  // selected font, or the font text was drawn with
};
using Log = std::vector<Op>;

// Text extent of the recording canvas: 7 units per byte, 13 high.
inline constexpr int kCharWidth = 7;
inline constexpr int kTextHeight = 13;
// Width of the recording canvas's sunken edge.
inline constexpr int kEdge = 2;

class RecordingCanvas : public ui::OffscreenSurface {
public:
    RecordingCanvas(Log& log, bool offscreen) : log_(log), offscreen_(offscreen) {}
    void FillRect(const Rect& rect, COLORREF color) override {
        log_.push_back({Op::Fill, offscreen_, rect, color});
    }
    void DrawSunkenEdge(Rect& rect) override {
        log_.push_back({Op::Edge, offscreen_, rect});
        rect = {rect.left + kEdge, rect.top + kEdge, rect.right - kEdge, rect.bottom - kEdge};
    }
    ui::FontDesc SelectFont(const ui::FontDesc& font) override {
        Op op{Op::Font, offscreen_};
        op.font = font;
        log_.push_back(op);
        ui::FontDesc previous = font_;
        font_ = font;
        return previous;
    }
    ui::Size MeasureText(std::string_view text) override {
        Op op{Op::Measure, offscreen_};
        op.text = std::string(text);
        log_.push_back(op);
        return {kCharWidth * static_cast<int>(text.size()), kTextHeight};
    }
    void SetTransparentBackground() override { log_.push_back({Op::Transparent, offscreen_}); }
    void DrawText(int x, int y, const Rect& clip, COLORREF color, std::string_view text) override {
        Op op{Op::Text, offscreen_, clip, color, std::string(text), x, y};
        op.font = font_;
        log_.push_back(op);
    }

private:
    Log& log_;
    bool offscreen_;
    ui::FontDesc font_;
};

// Distinct system colours, so a test sees which one was used.
inline COLORREF TestSysColor(int index) {
    switch (index) {
    case ui::COLOR_HIGHLIGHT: return 0x00A00001;
    case ui::COLOR_BTNFACE: return 0x00B00002;
    case ui::COLOR_WINDOWTEXT: return 0x00C00003;
    case ui::COLOR_WINDOW: return 0x00D00004;
    case ui::COLOR_BTNSHADOW: return 0x00E00005;
    default: return 0x00F00006;
    }
}
inline constexpr COLORREF kTestBkColor = 0x00123456;

struct TargetSetup {
    bool printing = false;
    Rect clipBox;
    ui::WindowBackground background;
};

class RecordingTarget : public ui::PaintTarget {
public:
    RecordingTarget(Log& log, TargetSetup setup) : log_(log), setup_(setup), direct_(log, false) {}

    void FillRect(const Rect& rect, COLORREF color) override { direct_.FillRect(rect, color); }
    void DrawSunkenEdge(Rect& rect) override { direct_.DrawSunkenEdge(rect); }
    ui::FontDesc SelectFont(const ui::FontDesc& font) override { return direct_.SelectFont(font); }
    ui::Size MeasureText(std::string_view text) override { return direct_.MeasureText(text); }
    void SetTransparentBackground() override { direct_.SetTransparentBackground(); }
    void DrawText(int x, int y, const Rect& clip, COLORREF color, std::string_view text) override {
        direct_.DrawText(x, y, clip, color, text);
    }

    bool IsPrinting() const override { return setup_.printing; }
    Rect GetClipBox() const override { return setup_.clipBox; }
    std::unique_ptr<ui::OffscreenSurface> CreateOffscreen(int width, int height) override {
        log_.push_back({Op::Offscreen, false, {0, 0, width, height}});
        return std::make_unique<RecordingCanvas>(log_, true);
    }
    void CopyFromOffscreen(ui::OffscreenSurface&, const Rect& area) override {
        log_.push_back({Op::Copy, false, area});
    }
    ui::WindowBackground GetWindowBackground() const override { return setup_.background; }
    COLORREF GetBkColor() const override { return kTestBkColor; }
    COLORREF GetSysColor(int index) const override { return TestSysColor(index); }

private:
    Log& log_;
    TargetSetup setup_;
    RecordingCanvas direct_;
};

// The window of a bar under test: repaints at once, as the bar's window does, and keeps the
// log of the last paint.
class TestHost : public ui::WindowHost {
public:
    explicit TestHost(ui::CProgressCtrl& control, Rect client = {0, 0, 204, 20}, uint32_t style = 0)
        : control_(control), client_(client) {
        control_.Attach(this, style);
    }
    ~TestHost() override { control_.Attach(nullptr); }

    void RedrawWindow() override {
        ++redraws;
        control_.WindowProc(ui::WM_PAINT, 0, 0);
    }
    void SetTimer(unsigned id, unsigned intervalMs) override { timers[id] = intervalMs; }
    void KillTimer(unsigned id) override { timers.erase(id); }
    Rect GetClientRect() const override { return client_; }
    std::optional<ui::FontDesc> GetFont() const override { return font; }
    std::optional<ui::FontDesc> GetParentFont() const override { return parentFont; }
    COLORREF GetSysColor(int index) const override { return TestSysColor(index); }
    std::unique_ptr<ui::PaintTarget> BeginPaint() override {
        ++paints;
        log.clear();
        TargetSetup setup;
        setup.clipBox = client_;
        setup.background.hasWindow = true;
        return std::make_unique<RecordingTarget>(log, setup);
    }

    // The last paint's operations of one kind.
    std::vector<Op> Ops(Op::Kind kind) const {
        std::vector<Op> out;
        for (const Op& op : log)
            if (op.kind == kind) out.push_back(op);
        return out;
    }
    // Text calls whose clip is not empty: what shows on the screen.
    std::vector<Op> VisibleTexts() const {
        std::vector<Op> out;
        for (const Op& op : Ops(Op::Text))
            if (!op.rect.IsEmpty()) out.push_back(op);
        return out;
    }

    Log log;
    int redraws = 0;
    int paints = 0;
    std::map<unsigned, unsigned> timers;
    std::optional<ui::FontDesc> font;
    std::optional<ui::FontDesc> parentFont = ui::FontDesc{"parent"};

private:
    ui::CProgressCtrl& control_;
    Rect client_;
};

}  // namespace progress_test
