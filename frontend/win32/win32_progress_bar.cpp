#include "frontend/win32/win32_progress_bar.h"

#include "frontend/win32/gdi_canvas.h"

namespace frontend::win32 {

namespace {
constexpr wchar_t kProperty[] = L"Quillon.ProgressBar";
}

Win32ProgressBar::~Win32ProgressBar() {
    if (window_ && ::IsWindow(window_)) {
        ::RemovePropW(window_, kProperty);
        ::SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
    }
    control_.Attach(nullptr);
}

void Win32ProgressBar::Attach(HWND window) {
    window_ = window;
    // The font the dialog gave the control when it made it.
    font_ = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
    const auto style = static_cast<uint32_t>(::GetWindowLongPtrW(window, GWL_STYLE));
    control_.Attach(this, style & (ui::PBS_VERTICAL | ui::PBS_MARQUEE));
    // The window's text so far (the template's) is the bar's text.
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    control_.SetWindowText(platform::Narrow(text));
    ::SetPropW(window, kProperty, this);
    original_ = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32ProgressBar::Procedure)));
}

LRESULT CALLBACK Win32ProgressBar::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<Win32ProgressBar*>(::GetPropW(window, kProperty));
    if (!self) return ::DefWindowProcW(window, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT Win32ProgressBar::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case ui::WM_PAINT:
        control_.WindowProc(ui::WM_PAINT, 0, 0);
        // An empty range paints nothing; the window is renewed all the same.
        ::ValidateRect(window_, nullptr);
        return 0;
    case ui::WM_ERASEBKGND:
    case ui::WM_TIMER:
        return control_.WindowProc(message, wParam, lParam);
    case WM_SETTEXT: {
        // The window keeps its text (GetWindowText); the bar shows it at its next paint.
        const auto* text = reinterpret_cast<const wchar_t*>(lParam);
        control_.SetWindowText(text ? platform::Narrow(text) : std::string());
        return ::DefWindowProcW(window_, message, wParam, lParam);
    }
    case WM_SETFONT:
        font_ = reinterpret_cast<HFONT>(wParam);
        if (LOWORD(lParam)) RedrawWindow();
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(font_);
    case WM_NCDESTROY: {
        const WNDPROC original = original_;
        ::RemovePropW(window_, kProperty);
        ::SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        HWND window = window_;
        window_ = nullptr;
        return ::CallWindowProcW(original, window, message, wParam, lParam);
    }
    default:
        break;
    }
    // The bar's own messages (PBM_*, CCM_SETBKCOLOR, TPM_*) go to the control alone.
    if ((message >= ui::WM_USER && message <= ui::TPM_SETMARQUEEBLOCK) || message == ui::CCM_SETBKCOLOR)
        return control_.WindowProc(message, wParam, lParam);
    return ::DefWindowProcW(window_, message, wParam, lParam);
}

void Win32ProgressBar::RedrawWindow() {
    if (window_) ::RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void Win32ProgressBar::SetTimer(unsigned id, unsigned intervalMs) { ::SetTimer(window_, id, intervalMs, nullptr); }

void Win32ProgressBar::KillTimer(unsigned id) { ::KillTimer(window_, id); }

ui::Rect Win32ProgressBar::GetClientRect() const {
    RECT r{};
    ::GetClientRect(window_, &r);
    return {r.left, r.top, r.right, r.bottom};
}

std::optional<ui::FontDesc> Win32ProgressBar::GetFont() const {
    if (!font_) return std::nullopt;
    return FontDescOf(font_);
}

std::optional<ui::FontDesc> Win32ProgressBar::GetParentFont() const {
    HWND parent = ::GetParent(window_);
    if (!parent) return std::nullopt;
    auto font = reinterpret_cast<HFONT>(::SendMessageW(parent, WM_GETFONT, 0, 0));
    if (!font) return std::nullopt;
    return FontDescOf(font);
}

ui::COLORREF Win32ProgressBar::GetSysColor(int index) const { return ::GetSysColor(index); }

std::unique_ptr<ui::PaintTarget> Win32ProgressBar::BeginPaint() { return std::make_unique<GdiPaintTarget>(window_); }

}  // namespace frontend::win32
