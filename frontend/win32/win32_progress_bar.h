// The text progress bar in a Win32 window: a progress-bar window of the dialog (class
// msctls_progress32) subclassed so that every message reaches the CTextProgressCtrl and none the
// system's own progress-bar procedure. The control paints through GDI (gdi_canvas.h) into an
// off-screen bitmap copied to the window in one step; a position change repaints at once
// (RedrawWindow with RDW_UPDATENOW).
#pragma once

#include "frontend/win32/windows_api.h"

#include <string>

#include "ui/text_progress_ctrl.h"

namespace frontend::win32 {

class Win32ProgressBar : private ui::WindowHost {
public:
    Win32ProgressBar() = default;
    ~Win32ProgressBar() override;
    Win32ProgressBar(const Win32ProgressBar&) = delete;
    Win32ProgressBar& operator=(const Win32ProgressBar&) = delete;

    // Takes over the window (its font and styles stay); call on the window's thread.
    void Attach(HWND window);
    HWND Window() const { return window_; }
    ui::CTextProgressCtrl& Control() { return control_; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    void RedrawWindow() override;
    void SetTimer(unsigned id, unsigned intervalMs) override;
    void KillTimer(unsigned id) override;
    ui::Rect GetClientRect() const override;
    std::optional<ui::FontDesc> GetFont() const override;
    std::optional<ui::FontDesc> GetParentFont() const override;
    ui::COLORREF GetSysColor(int index) const override;
    std::unique_ptr<ui::PaintTarget> BeginPaint() override;

    HWND window_ = nullptr;
    WNDPROC original_ = nullptr;
    HFONT font_ = nullptr;
    ui::CTextProgressCtrl control_;
};

}  // namespace frontend::win32
