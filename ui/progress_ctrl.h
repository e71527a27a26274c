// The window part of a progress bar: messages, styles, window text, and the services the
// hosting window offers (repaint, timers, client area, fonts, system colours, painting).
// CTextProgressCtrl builds on it; the Qt and terminal front ends supply the WindowHost.
#pragma once

#include "ui/canvas.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace ui {

using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_ERASEBKGND = 0x0014;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr UINT PBM_SETRANGE = WM_USER + 1;
inline constexpr UINT PBM_SETPOS = WM_USER + 2;
inline constexpr UINT PBM_DELTAPOS = WM_USER + 3;
inline constexpr UINT PBM_SETSTEP = WM_USER + 4;
inline constexpr UINT PBM_STEPIT = WM_USER + 5;
inline constexpr UINT PBM_SETRANGE32 = WM_USER + 6;
inline constexpr UINT PBM_GETRANGE = WM_USER + 7;
inline constexpr UINT PBM_GETPOS = WM_USER + 8;
inline constexpr UINT PBM_SETBARCOLOR = WM_USER + 9;
inline constexpr UINT PBM_SETMARQUEE = WM_USER + 10;
inline constexpr UINT CCM_SETBKCOLOR = 0x2001;

inline constexpr uint32_t PBS_VERTICAL = 0x04;
inline constexpr uint32_t PBS_MARQUEE = 0x08;

// The pair PBM_GETRANGE fills.
struct PBRANGE {
    int iLow = 0;
    int iHigh = 0;
};

constexpr LRESULT MAKELRESULT(unsigned low, unsigned high) {
    return static_cast<LRESULT>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16));
}

// What the window that shows a progress bar does for it.
class WindowHost {
public:
    virtual ~WindowHost() = default;
    // Invalidates the whole window and repaints it before returning.
    virtual void RedrawWindow() = 0;
    // Starts (or restarts) timer id; each tick sends WM_TIMER with id to the control.
    virtual void SetTimer(unsigned id, unsigned intervalMs) = 0;
    virtual void KillTimer(unsigned id) = 0;
    virtual Rect GetClientRect() const = 0;
    // The control's own font, when it has one.
    virtual std::optional<FontDesc> GetFont() const = 0;
    // The font of the window that contains the control, when there is one.
    virtual std::optional<FontDesc> GetParentFont() const = 0;
    virtual COLORREF GetSysColor(int index) const = 0;
    // Begins painting: a target over the part of the window to renew, or null when there is
    // nothing to paint. Painting ends when the target is destroyed.
    virtual std::unique_ptr<PaintTarget> BeginPaint() = 0;
};

class CProgressCtrl {
public:
    CProgressCtrl() = default;
    virtual ~CProgressCtrl() = default;
    CProgressCtrl(const CProgressCtrl&) = delete;
    CProgressCtrl& operator=(const CProgressCtrl&) = delete;

    // Binds the control to the window that shows it (null: none).
    void Attach(WindowHost* host, uint32_t style = 0);
    WindowHost* Host() const { return host_; }

    // Answers one message; messages the control does not know return 0.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return WindowProc(message, wParam, lParam);
    }

    uint32_t GetStyle() const { return style_; }
    void ModifyStyle(uint32_t remove, uint32_t add) { style_ = (style_ & ~remove) | add; }

    // The window text is kept here, as the window would keep it; it shows at the next paint.
    void SetWindowText(std::string text) { windowText_ = std::move(text); }
    const std::string& GetWindowText() const { return windowText_; }

protected:
    void RedrawWindow();
    COLORREF GetSysColor(int index) const;

private:
    WindowHost* host_ = nullptr;
    uint32_t style_ = 0;
    std::string windowText_;
};

}  // namespace ui
