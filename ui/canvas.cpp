#include "ui/canvas.h"

#include <algorithm>

namespace ui {

COLORREF DefaultSysColor(int index) {
    switch (index) {
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT: return RGB(0, 0, 0);
    case COLOR_HIGHLIGHT: return RGB(0, 120, 215);
    case COLOR_BTNFACE: return RGB(240, 240, 240);
    case COLOR_BTNSHADOW: return RGB(160, 160, 160);
    default: return RGB(0, 0, 0);
    }
}

Rect Intersect(const Rect& a, const Rect& b) {
    Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    // Keep an empty result where it lies, so that a bar of width 0 still starts at its edge.
    r.left = std::min(r.left, b.right);
    r.top = std::min(r.top, b.bottom);
    r.right = std::max(r.right, r.left);
    r.bottom = std::max(r.bottom, r.top);
    return r;
}

}  // namespace ui
