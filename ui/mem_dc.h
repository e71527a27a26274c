// CMemDCFTPC: the off-screen surface of one paint. Everything drawn into it lands in an
// off-screen bitmap the size of the target's clip box; destroying it puts the picture onto
// the target with a single copy, so the window never shows a half-drawn bar.
#pragma once

#include "ui/canvas.h"

#include <memory>

namespace ui {

class CMemDCFTPC : public Canvas {
public:
    // Prepares the surface over target and fills the clip box with the window's background:
    // the dialog face colour for a dialog, else the window class's brush, else the target's
    // background colour.
    explicit CMemDCFTPC(PaintTarget& target);
    // Copies the picture onto the target (unless it was drawn there directly).
    ~CMemDCFTPC() override;

    CMemDCFTPC(const CMemDCFTPC&) = delete;
    CMemDCFTPC& operator=(const CMemDCFTPC&) = delete;

    void FillRect(const Rect& rect, COLORREF color) override;
    void DrawSunkenEdge(Rect& rect) override;
    FontDesc SelectFont(const FontDesc& font) override;
    Size MeasureText(std::string_view text) override;
    void SetTransparentBackground() override;
    void DrawText(int x, int y, const Rect& clip, COLORREF color, std::string_view text) override;

    bool IsOffscreen() const { return isOffscreen != 0; }
    const Rect& Area() const { return area; }

private:
    // Where drawing goes: the off-screen bitmap, or the target itself when printing.
    Canvas& Surface();
    // The off-screen bitmap starts at area's top-left corner; drawing in the window's units
    // is moved by this much to land on it.
    int OriginX() const { return isOffscreen ? area.left : 0; }
    int OriginY() const { return isOffscreen ? area.top : 0; }

    std::unique_ptr<OffscreenSurface> offscreenBitmap;
    int isOffscreen = 0;
    PaintTarget* targetDC = nullptr;
    Rect area;
};

}  // namespace ui
