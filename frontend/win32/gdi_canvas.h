// The progress bar's canvas on GDI: a canvas over a device context, the off-screen surface (a
// memory context with a compatible bitmap) and the paint target of one WM_PAINT (BeginPaint to
// EndPaint). Fonts travel as the text of a LOGFONTW (FontDescOf), so that the bar can make the
// same font again turned by 90 degrees.
#pragma once

#include "frontend/win32/windows_api.h"

#include <string>
#include <vector>

#include "platform/windows/utf16.h"
#include "ui/canvas.h"

namespace frontend::win32 {

// The description of a GDI font, and the font back from a description (escapement and
// orientation from the FontDesc). An unreadable description gives the default GUI font's.
ui::FontDesc FontDescOf(HFONT font);
LOGFONTW LogFontOf(const ui::FontDesc& desc);

// Draws on a device context the caller owns. Fonts it made are deleted, and the context's own
// font put back, when it goes.
class GdiCanvas : public ui::OffscreenSurface {
public:
    explicit GdiCanvas(HDC dc);
    ~GdiCanvas() override;
    GdiCanvas(const GdiCanvas&) = delete;
    GdiCanvas& operator=(const GdiCanvas&) = delete;

    void FillRect(const ui::Rect& rect, ui::COLORREF color) override;
    void DrawSunkenEdge(ui::Rect& rect) override;
    ui::FontDesc SelectFont(const ui::FontDesc& font) override;
    ui::Size MeasureText(std::string_view text) override;
    void SetTransparentBackground() override;
    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) override;

    HDC Dc() const { return dc_; }

private:
    HDC dc_;
    HGDIOBJ originalFont_ = nullptr;
    ui::FontDesc selected_;
    std::vector<HFONT> made_;
};

// A memory context, deleted last: a base listed before the canvas that draws on it.
struct MemoryDc {
    explicit MemoryDc(HDC compatibleWith) : memory(::CreateCompatibleDC(compatibleWith)) {}
    ~MemoryDc() {
        if (memory) ::DeleteDC(memory);
    }
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;
    HDC memory;
};

// An off-screen bitmap compatible with a context: a memory context with the bitmap selected.
class GdiSurface : private MemoryDc, public GdiCanvas {
public:
    GdiSurface(HDC compatibleWith, int width, int height);
    ~GdiSurface() override;
    bool Valid() const { return bitmap_ != nullptr; }
    HBITMAP Bitmap() const { return bitmap_; }

private:
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};

// What a context offers the bar's off-screen surface; over a window's paint (BeginPaint) or
// over any context the caller holds (tests, printing).
class GdiPaintTarget : public ui::PaintTarget {
public:
    // One paint of window: BeginPaint now, EndPaint when the target goes.
    explicit GdiPaintTarget(HWND window);
    // Over a context the caller owns; clip box as the context tells.
    explicit GdiPaintTarget(HDC dc);
    ~GdiPaintTarget() override;

    void FillRect(const ui::Rect& rect, ui::COLORREF color) override { canvas_.FillRect(rect, color); }
    void DrawSunkenEdge(ui::Rect& rect) override { canvas_.DrawSunkenEdge(rect); }
    ui::FontDesc SelectFont(const ui::FontDesc& font) override { return canvas_.SelectFont(font); }
    ui::Size MeasureText(std::string_view text) override { return canvas_.MeasureText(text); }
    void SetTransparentBackground() override { canvas_.SetTransparentBackground(); }
    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) override {
        canvas_.DrawText(x, y, clip, color, text);
    }

    bool IsPrinting() const override;
    ui::Rect GetClipBox() const override;
    std::unique_ptr<ui::OffscreenSurface> CreateOffscreen(int width, int height) override;
    void CopyFromOffscreen(ui::OffscreenSurface& source, const ui::Rect& area) override;
    ui::WindowBackground GetWindowBackground() const override;
    ui::COLORREF GetBkColor() const override;
    ui::COLORREF GetSysColor(int index) const override;

private:
    HWND window_ = nullptr;
    PAINTSTRUCT paint_{};
    HDC dc_;
    GdiCanvas canvas_;
};

}  // namespace frontend::win32
