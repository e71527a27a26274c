#include "ui/mem_dc.h"

namespace ui {

CMemDCFTPC::CMemDCFTPC(PaintTarget& target)
    : isOffscreen(target.IsPrinting() ? 0 : 1), targetDC(&target), area(target.GetClipBox()) {
    if (isOffscreen) {
        offscreenBitmap = target.CreateOffscreen(area.Width(), area.Height());
        // Without a bitmap the bar is drawn straight onto the target rather than not at all.
        if (!offscreenBitmap) isOffscreen = 0;
    }

    const WindowBackground background = target.GetWindowBackground();
    COLORREF fill = target.GetBkColor();
    if (background.hasWindow) {
        if (background.isDialogClass)
            fill = target.GetSysColor(COLOR_BTNFACE);
        else if (background.hasClassBrush)
            fill = background.classBrush;
    }
    FillRect(area, fill);
}

CMemDCFTPC::~CMemDCFTPC() {
    if (isOffscreen) targetDC->CopyFromOffscreen(*offscreenBitmap, area);
    // The bitmap goes with the surface; when drawing went to the target directly nothing
    // of the target is released.
}

Canvas& CMemDCFTPC::Surface() {
    if (isOffscreen) return *offscreenBitmap;
    return *targetDC;
}

void CMemDCFTPC::FillRect(const Rect& rect, COLORREF color) {
    Surface().FillRect(rect.Offset(-OriginX(), -OriginY()), color);
}

void CMemDCFTPC::DrawSunkenEdge(Rect& rect) {
    Rect local = rect.Offset(-OriginX(), -OriginY());
    Surface().DrawSunkenEdge(local);
    rect = local.Offset(OriginX(), OriginY());
}

FontDesc CMemDCFTPC::SelectFont(const FontDesc& font) { return Surface().SelectFont(font); }

Size CMemDCFTPC::MeasureText(std::string_view text) { return Surface().MeasureText(text); }

void CMemDCFTPC::SetTransparentBackground() { Surface().SetTransparentBackground(); }

void CMemDCFTPC::DrawText(int x, int y, const Rect& clip, COLORREF color, std::string_view text) {
    Surface().DrawText(x - OriginX(), y - OriginY(), clip.Offset(-OriginX(), -OriginY()), color, text);
}

}  // namespace ui
