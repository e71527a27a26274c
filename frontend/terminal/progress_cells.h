// The progress bar on character cells: a grid of cells (character, foreground, background),
// a canvas that paints onto it in the same geometry as on pixels (one unit is one cell), and a
// paint target whose off-screen surface is a second grid. No terminal output here: the
// ANSI writer turns a grid into escape sequences.
#pragma once

#include "ui/canvas.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace frontend::terminal {

// The terminal's own foreground or background colour (SGR 39 / 49).
inline constexpr ui::COLORREF kTerminalDefault = ui::CLR_DEFAULT;

struct Cell {
    char32_t ch = U' ';
    ui::COLORREF fg = kTerminalDefault;
    ui::COLORREF bg = kTerminalDefault;
    friend bool operator==(const Cell&, const Cell&) = default;
};

class CellGrid {
public:
    CellGrid() = default;
    CellGrid(int width, int height);

    int Width() const { return width_; }
    int Height() const { return height_; }
    bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    Cell& At(int x, int y) { return cells_[static_cast<size_t>(y) * width_ + x]; }
    const Cell& At(int x, int y) const { return cells_[static_cast<size_t>(y) * width_ + x]; }
    // The characters of one row as UTF-8.
    std::string RowText(int y) const;
    friend bool operator==(const CellGrid&, const CellGrid&) = default;

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<Cell> cells_;
};

// Code points of UTF-8 text; a malformed sequence reads as U+FFFD.
std::u32string DecodeUtf8(std::string_view text);
void AppendUtf8(std::string& out, char32_t ch);

// Paints onto a grid. Text takes one cell per character and one row; a font turned by 90
// degrees writes upward, one character per row. The sunken edge is a frame of box-drawing
// characters when the rectangle is at least 3 x 3 cells, brackets at the ends of a flat bar,
// lines above and below a narrow one.
class CellCanvas : public ui::OffscreenSurface {
public:
    explicit CellCanvas(CellGrid& grid) : grid_(&grid) {}

    void FillRect(const ui::Rect& rect, ui::COLORREF color) override;
    void DrawSunkenEdge(ui::Rect& rect) override;
    ui::FontDesc SelectFont(const ui::FontDesc& font) override;
    ui::Size MeasureText(std::string_view text) override;
    void SetTransparentBackground() override {}
    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) override;

    CellGrid& Grid() { return *grid_; }

private:
    void Put(int x, int y, char32_t ch);

    CellGrid* grid_;
    ui::FontDesc font_;
};

struct CellGridHolder {
    CellGrid cells;
};

// A canvas with a grid of its own, for the off-screen picture. The grid is a base listed
// first, so it exists before the canvas takes its address.
class CellSurface : private CellGridHolder, public CellCanvas {
public:
    CellSurface(int width, int height) : CellGridHolder{CellGrid(width, height)}, CellCanvas(cells) {}
};

// One paint of a grid: drawing goes to an off-screen grid that is copied in at the end.
class CellPaintTarget : public ui::PaintTarget {
public:
    using SysColors = std::function<ui::COLORREF(int)>;
    CellPaintTarget(CellGrid& screen, ui::Rect clipBox, SysColors sysColors);

    void FillRect(const ui::Rect& rect, ui::COLORREF color) override { direct_.FillRect(rect, color); }
    void DrawSunkenEdge(ui::Rect& rect) override { direct_.DrawSunkenEdge(rect); }
    ui::FontDesc SelectFont(const ui::FontDesc& font) override { return direct_.SelectFont(font); }
    ui::Size MeasureText(std::string_view text) override { return direct_.MeasureText(text); }
    void SetTransparentBackground() override {}
    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) override {
        direct_.DrawText(x, y, clip, color, text);
    }

    bool IsPrinting() const override { return false; }
    ui::Rect GetClipBox() const override { return clipBox_; }
    std::unique_ptr<ui::OffscreenSurface> CreateOffscreen(int width, int height) override;
    void CopyFromOffscreen(ui::OffscreenSurface& source, const ui::Rect& area) override;
    ui::WindowBackground GetWindowBackground() const override { return {}; }
    ui::COLORREF GetBkColor() const override { return kTerminalDefault; }
    ui::COLORREF GetSysColor(int index) const override { return sysColors_(index); }

private:
    CellGrid* screen_;
    CellCanvas direct_;
    ui::Rect clipBox_;
    SysColors sysColors_;
};

}  // namespace frontend::terminal
