#include "frontend/terminal/terminal_progress_bar.h"

namespace frontend::terminal {

// One paint: the target draws into a copy of the picture on screen; when painting ends the
// bar writes the difference.
// The grid is a base listed first, so it exists before the target takes its address.
class TerminalPaint : private CellGridHolder, public CellPaintTarget {
public:
    TerminalPaint(TerminalProgressBar& bar, CellGrid picture)
        : CellGridHolder{std::move(picture)},
          CellPaintTarget(cells, {0, 0, cells.Width(), cells.Height()},
                          [&bar](int index) { return bar.GetSysColor(index); }),
          bar_(bar) {}
    ~TerminalPaint() override { bar_.EndPaint(cells); }

private:
    TerminalProgressBar& bar_;
};

TerminalProgressBar::TerminalProgressBar(int width, int height, int row, int column, Sink sink,
                                         ColorMode mode, uint32_t style)
    : width_(width < 0 ? 0 : width), height_(height < 0 ? 0 : height), row_(row), column_(column),
      sink_(std::move(sink)), mode_(mode) {
    control_.Attach(this, style);
}

TerminalProgressBar::~TerminalProgressBar() { control_.Attach(nullptr); }

ui::LRESULT TerminalProgressBar::SendMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
    return control_.WindowProc(message, wParam, lParam);
}

void TerminalProgressBar::Place(int row, int column) {
    row_ = row;
    column_ = column;
    shown_.reset();
}

void TerminalProgressBar::SetWidth(int width) {
    width_ = width < 0 ? 0 : width;
    shown_.reset();
}

std::optional<unsigned> TerminalProgressBar::TimerInterval(unsigned id) const {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return std::nullopt;
    return it->second;
}

void TerminalProgressBar::OnTimer(unsigned id) {
    if (timers_.count(id)) control_.WindowProc(ui::WM_TIMER, id, 0);
}

void TerminalProgressBar::RedrawWindow() { control_.WindowProc(ui::WM_PAINT, 0, 0); }

void TerminalProgressBar::SetTimer(unsigned id, unsigned intervalMs) {
    // As on the desktop, a timer never runs faster than every 10 ms.
    timers_[id] = intervalMs < 10 ? 10 : intervalMs;
}

void TerminalProgressBar::KillTimer(unsigned id) { timers_.erase(id); }

std::unique_ptr<ui::PaintTarget> TerminalProgressBar::BeginPaint() {
    CellGrid picture = shown_ ? *shown_ : CellGrid(width_, height_);
    return std::make_unique<TerminalPaint>(*this, std::move(picture));
}

void TerminalProgressBar::EndPaint(const CellGrid& picture) {
    const std::string update = AnsiUpdate(Shown(), picture, row_, column_, mode_);
    shown_ = picture;
    if (!update.empty() && sink_) sink_(update);
}

}  // namespace frontend::terminal
