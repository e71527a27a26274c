// The drawing surface the progress bar paints onto. Toolkit-neutral: the Qt front end backs
// it with QPainter, the terminal front end with character cells. Coordinates are integers in
// the surface's own units (pixels, or cells); rectangles exclude their right and bottom edge.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ui {

// A colour as 0x00BBGGRR. CLR_DEFAULT stands for a system colour chosen where it is used.
using COLORREF = uint32_t;
inline constexpr COLORREF CLR_DEFAULT = 0xFF000000;

constexpr COLORREF RGB(int r, int g, int b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int GetRValue(COLORREF c) { return static_cast<int>(c & 0xFF); }
constexpr int GetGValue(COLORREF c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int GetBValue(COLORREF c) { return static_cast<int>((c >> 16) & 0xFF); }

// System colour indices the progress bar and its edge use.
inline constexpr int COLOR_WINDOW = 5;
inline constexpr int COLOR_WINDOWTEXT = 8;
inline constexpr int COLOR_HIGHLIGHT = 13;
inline constexpr int COLOR_BTNFACE = 15;
inline constexpr int COLOR_BTNSHADOW = 16;

// The classic desktop colours, for surfaces without a palette of their own.
COLORREF DefaultSysColor(int index);

struct Size {
    int cx = 0;
    int cy = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool IsEmpty() const { return right <= left || bottom <= top; }
    Rect Offset(int dx, int dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// The part of a that lies within b; when they do not overlap, an empty rectangle inside b.
Rect Intersect(const Rect& a, const Rect& b);

// A font as the progress bar handles it: the host's own description of the face (whatever
// the host needs to make the same font again) and the rotation of its baseline.
struct FontDesc {
    std::string description;
    int escapement = 0;   // angle of the baseline, tenths of a degree counter-clockwise
    int orientation = 0;  // angle of each character, tenths of a degree
    friend bool operator==(const FontDesc&, const FontDesc&) = default;
};

class Canvas {
public:
    virtual ~Canvas() = default;

    // Fills the rectangle with one colour; an empty rectangle fills nothing.
    virtual void FillRect(const Rect& rect, COLORREF color) = 0;
    // Draws a flat sunken edge along the inside of rect (the edge's colours are the surface's
    // system colours) and shrinks rect by the edge's width.
    virtual void DrawSunkenEdge(Rect& rect) = 0;
    // Makes font the one that text is measured and drawn with; returns the one it replaces.
    // A font with escapement 900 writes upward, its first character at the bottom.
    virtual FontDesc SelectFont(const FontDesc& font) = 0;
    // Extent of text in the selected font: cx along the baseline, cy across it.
    virtual Size MeasureText(std::string_view text) = 0;
    // Text is drawn without filling behind the characters from now on.
    virtual void SetTransparentBackground() = 0;
    // Draws UTF-8 text with its reference point (top-left corner of the text cell, in the
    // font's direction) at x, y, in color; nothing outside clip is touched.
    virtual void DrawText(int x, int y, const Rect& clip, COLORREF color, std::string_view text) = 0;
};

// A surface that is not shown until a target copies it; its origin is its top-left pixel.
class OffscreenSurface : public Canvas {};

// How the background of the window behind a paint target is filled.
struct WindowBackground {
    bool hasWindow = false;      // the target belongs to a window
    bool isDialogClass = false;  // that window is a dialog
    bool hasClassBrush = false;  // its window class has a background brush
    COLORREF classBrush = 0;     // the brush's colour
};

// What a window hands out for one paint: a canvas on the window itself and what an
// off-screen surface needs to know about it.
class PaintTarget : public Canvas {
public:
    // True while the target renders for a printer, where no off-screen copy is made.
    virtual bool IsPrinting() const = 0;
    // The part of the window that this paint renews.
    virtual Rect GetClipBox() const = 0;
    // A surface of width x height compatible with the target.
    virtual std::unique_ptr<OffscreenSurface> CreateOffscreen(int width, int height) = 0;
    // Copies the whole of source onto area of the target in one step.
    virtual void CopyFromOffscreen(OffscreenSurface& source, const Rect& area) = 0;
    virtual WindowBackground GetWindowBackground() const = 0;
    // The target's background colour, for windows without a background of their own.
    virtual COLORREF GetBkColor() const = 0;
    virtual COLORREF GetSysColor(int index) const = 0;
};

}  // namespace ui
