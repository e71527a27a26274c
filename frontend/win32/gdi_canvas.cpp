#include "frontend/win32/gdi_canvas.h"

#include <cstdio>
#include <cwchar>

namespace frontend::win32 {

namespace {

// The window class atom of dialogs.
constexpr ULONG_PTR kDialogClassAtom = 32770;

RECT ToRect(const ui::Rect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }

}  // namespace

// "height,width,weight,italic,underline,strikeout,charset,quality,pitch|face"
ui::FontDesc FontDescOf(HFONT font) {
    LOGFONTW lf{};
    if (!font || ::GetObjectW(font, sizeof lf, &lf) == 0)
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, "%ld,%ld,%ld,%d,%d,%d,%d,%d,%d|", lf.lfHeight, lf.lfWidth, lf.lfWeight,
                  lf.lfItalic, lf.lfUnderline, lf.lfStrikeOut, lf.lfCharSet, lf.lfQuality, lf.lfPitchAndFamily);
    ui::FontDesc desc;
    desc.description = numbers + platform::Narrow(lf.lfFaceName);
    desc.escapement = lf.lfEscapement;
    desc.orientation = lf.lfOrientation;
    return desc;
}

LOGFONTW LogFontOf(const ui::FontDesc& desc) {
    LOGFONTW lf{};
    long height = 0, width = 0, weight = 0;
    int italic = 0, underline = 0, strike = 0, charset = 0, quality = 0, pitch = 0;
    const size_t bar = desc.description.find('|');
    if (bar == std::string::npos ||
        std::sscanf(desc.description.c_str(), "%ld,%ld,%ld,%d,%d,%d,%d,%d,%d", &height, &width, &weight, &italic,
                    &underline, &strike, &charset, &quality, &pitch) != 9) {
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    } else {
        lf.lfHeight = height;
        lf.lfWidth = width;
        lf.lfWeight = weight;
        lf.lfItalic = static_cast<BYTE>(italic);
        lf.lfUnderline = static_cast<BYTE>(underline);
        lf.lfStrikeOut = static_cast<BYTE>(strike);
        lf.lfCharSet = static_cast<BYTE>(charset);
        lf.lfQuality = static_cast<BYTE>(quality);
        lf.lfPitchAndFamily = static_cast<BYTE>(pitch);
        const std::wstring face = platform::Widen(std::string_view(desc.description).substr(bar + 1));
        wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    }
    lf.lfEscapement = desc.escapement;
    lf.lfOrientation = desc.orientation;
    return lf;
}

GdiCanvas::GdiCanvas(HDC dc) : dc_(dc) {
    if (dc_) {
        originalFont_ = ::GetCurrentObject(dc_, OBJ_FONT);
        selected_ = FontDescOf(static_cast<HFONT>(originalFont_));
    }
}

GdiCanvas::~GdiCanvas() {
    if (dc_ && originalFont_) ::SelectObject(dc_, originalFont_);
    for (HFONT f : made_) ::DeleteObject(f);
}

void GdiCanvas::FillRect(const ui::Rect& rect, ui::COLORREF color) {
    if (rect.IsEmpty()) return;
    const RECT r = ToRect(rect);
    HBRUSH brush = ::CreateSolidBrush(color);
    ::FillRect(dc_, &r, brush);
    ::DeleteObject(brush);
}

void GdiCanvas::DrawSunkenEdge(ui::Rect& rect) {
    RECT r = ToRect(rect);
    ::DrawEdge(dc_, &r, EDGE_SUNKEN, BF_RECT | BF_ADJUST | BF_FLAT);
    rect = {r.left, r.top, r.right, r.bottom};
}

ui::FontDesc GdiCanvas::SelectFont(const ui::FontDesc& font) {
    const LOGFONTW lf = LogFontOf(font);
    HFONT made = ::CreateFontIndirectW(&lf);
    if (!made) return selected_;
    made_.push_back(made);
    ::SelectObject(dc_, made);
    ui::FontDesc previous = selected_;
    selected_ = font;
    return previous;
}

ui::Size GdiCanvas::MeasureText(std::string_view text) {
    const std::wstring wide = platform::Widen(text);
    SIZE size{};
    ::GetTextExtentPoint32W(dc_, wide.c_str(), static_cast<int>(wide.size()), &size);
    return {size.cx, size.cy};
}

void GdiCanvas::SetTransparentBackground() { ::SetBkMode(dc_, TRANSPARENT); }

void GdiCanvas::DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) {
    if (clip.IsEmpty()) return;
    const std::wstring wide = platform::Widen(text);
    const RECT r = ToRect(clip);
    // The clip region keeps the text inside the rectangle; ETO_CLIPPED says the same to the font
    // engine.
    HRGN region = ::CreateRectRgn(r.left, r.top, r.right, r.bottom);
    ::SelectClipRgn(dc_, region);
    ::SetTextColor(dc_, color);
    ::ExtTextOutW(dc_, x, y, ETO_CLIPPED, &r, wide.c_str(), static_cast<UINT>(wide.size()), nullptr);
    ::SelectClipRgn(dc_, nullptr);
    ::DeleteObject(region);
}

GdiSurface::GdiSurface(HDC compatibleWith, int width, int height) : MemoryDc(compatibleWith), GdiCanvas(memory) {
    if (!Dc()) return;
    bitmap_ = ::CreateCompatibleBitmap(compatibleWith, width > 0 ? width : 1, height > 0 ? height : 1);
    if (bitmap_) previous_ = ::SelectObject(Dc(), bitmap_);
}

GdiSurface::~GdiSurface() {
    // The bitmap goes back here, the fonts in GdiCanvas, the context in MemoryDc.
    if (Dc() && previous_) ::SelectObject(Dc(), previous_);
    if (bitmap_) ::DeleteObject(bitmap_);
}

GdiPaintTarget::GdiPaintTarget(HWND window) : window_(window), dc_(::BeginPaint(window, &paint_)), canvas_(dc_) {}

GdiPaintTarget::GdiPaintTarget(HDC dc) : dc_(dc), canvas_(dc) {}

GdiPaintTarget::~GdiPaintTarget() {
    if (window_) ::EndPaint(window_, &paint_);
}

bool GdiPaintTarget::IsPrinting() const { return ::GetDeviceCaps(dc_, TECHNOLOGY) == DT_RASPRINTER; }

ui::Rect GdiPaintTarget::GetClipBox() const {
    RECT r{};
    ::GetClipBox(dc_, &r);
    return {r.left, r.top, r.right, r.bottom};
}

std::unique_ptr<ui::OffscreenSurface> GdiPaintTarget::CreateOffscreen(int width, int height) {
    auto surface = std::make_unique<GdiSurface>(dc_, width, height);
    if (!surface->Valid()) return nullptr;  // drawn straight onto the window instead
    return surface;
}

void GdiPaintTarget::CopyFromOffscreen(ui::OffscreenSurface& source, const ui::Rect& area) {
    auto& surface = static_cast<GdiSurface&>(source);  // made by CreateOffscreen above
    ::BitBlt(dc_, area.left, area.top, area.Width(), area.Height(), surface.Dc(), 0, 0, SRCCOPY);
}

ui::WindowBackground GdiPaintTarget::GetWindowBackground() const {
    ui::WindowBackground b;
    HWND window = ::WindowFromDC(dc_);
    if (!window) return b;
    b.hasWindow = true;
    b.isDialogClass = ::GetClassLongPtrW(window, GCW_ATOM) == kDialogClassAtom;
    const ULONG_PTR brush = ::GetClassLongPtrW(window, GCLP_HBRBACKGROUND);
    if (brush == 0) return b;
    b.hasClassBrush = true;
    // A class brush may be a system colour index plus one instead of a brush.
    if (brush <= COLOR_MENUBAR + 1) {
        b.classBrush = ::GetSysColor(static_cast<int>(brush) - 1);
    } else {
        LOGBRUSH lb{};
        if (::GetObjectW(reinterpret_cast<HBRUSH>(brush), sizeof lb, &lb) != 0)
            b.classBrush = lb.lbColor;
        else
            b.hasClassBrush = false;
    }
    return b;
}

ui::COLORREF GdiPaintTarget::GetBkColor() const { return ::GetBkColor(dc_); }

ui::COLORREF GdiPaintTarget::GetSysColor(int index) const { return ::GetSysColor(index); }

}  // namespace frontend::win32
