// A progress bar in the terminal: the window that hosts a CTextProgressCtrl on a block of
// character cells at a fixed place of the screen. Each repaint draws the bar into a grid and
// writes only the cells that changed, in place; a repaint that changes nothing visible writes
// nothing. The front end's event loop drives the marquee timer (TimerInterval, OnTimer).
#pragma once

#include "frontend/terminal/ansi_output.h"
#include "frontend/terminal/progress_cells.h"
#include "ui/text_progress_ctrl.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace frontend::terminal {

class TerminalProgressBar : private ui::WindowHost {
public:
    using Sink = std::function<void(std::string_view)>;

    // A bar of width x height cells whose top-left cell is at 1-based row and column; output
    // goes to sink.
    TerminalProgressBar(int width, int height, int row, int column, Sink sink,
                        ColorMode mode = ColorMode::TrueColor, uint32_t style = 0);
    ~TerminalProgressBar() override;

    ui::LRESULT SendMessage(ui::UINT message, ui::WPARAM wParam = 0, ui::LPARAM lParam = 0);
    // Shows at the next repaint, as a window's text does.
    void SetWindowText(std::string text) { control_.SetWindowText(std::move(text)); }
    ui::CTextProgressCtrl& Control() { return control_; }

    // Moves the bar on the screen; it is drawn whole at its next repaint.
    void Place(int row, int column);
    // A new width (the terminal was resized); the bar is drawn whole at its next repaint.
    void SetWidth(int width);
    // The screen was cleared: the next repaint draws every cell.
    void Invalidate() { shown_.reset(); }
    // The picture on the screen, or null before the first paint.
    const CellGrid* Shown() const { return shown_ ? &*shown_ : nullptr; }

    // Interval of a running timer, for the event loop.
    std::optional<unsigned> TimerInterval(unsigned id) const;
    // The event loop calls this when a running timer is due.
    void OnTimer(unsigned id);

    // System colours of the bar: the classic desktop colours unless replaced.
    void SetSysColors(std::function<ui::COLORREF(int)> sysColors) { sysColors_ = std::move(sysColors); }

private:
    friend class TerminalPaint;

    void RedrawWindow() override;
    void SetTimer(unsigned id, unsigned intervalMs) override;
    void KillTimer(unsigned id) override;
    ui::Rect GetClientRect() const override { return {0, 0, width_, height_}; }
    std::optional<ui::FontDesc> GetFont() const override { return std::nullopt; }
    std::optional<ui::FontDesc> GetParentFont() const override { return ui::FontDesc{"terminal"}; }
    ui::COLORREF GetSysColor(int index) const override { return sysColors_(index); }
    std::unique_ptr<ui::PaintTarget> BeginPaint() override;
    // Writes what changed between the picture on screen and the new one.
    void EndPaint(const CellGrid& picture);

    int width_;
    int height_;
    int row_;
    int column_;
    Sink sink_;
    ColorMode mode_;
    std::function<ui::COLORREF(int)> sysColors_ = ui::DefaultSysColor;
    std::map<unsigned, unsigned> timers_;
    std::optional<CellGrid> shown_;
    ui::CTextProgressCtrl control_;
};

}  // namespace frontend::terminal
