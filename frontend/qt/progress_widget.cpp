#include "frontend/qt/progress_widget.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QTimerEvent>

#include <algorithm>
#include <functional>
#include <optional>

namespace frontend::qt {

namespace {

QColor ToQColor(ui::COLORREF c) { return QColor(ui::GetRValue(c), ui::GetGValue(c), ui::GetBValue(c)); }

ui::COLORREF FromQColor(const QColor& c) { return ui::RGB(c.red(), c.green(), c.blue()); }

QRect ToQRect(const ui::Rect& r) { return QRect(QPoint(r.left, r.top), QSize(r.Width(), r.Height())); }

ui::COLORREF PaletteSysColor(const QPalette& palette, int index) {
    switch (index) {
    case ui::COLOR_HIGHLIGHT: return FromQColor(palette.color(QPalette::Highlight));
    case ui::COLOR_BTNFACE: return FromQColor(palette.color(QPalette::Button));
    case ui::COLOR_WINDOWTEXT: return FromQColor(palette.color(QPalette::WindowText));
    case ui::COLOR_WINDOW: return FromQColor(palette.color(QPalette::Window));
    case ui::COLOR_BTNSHADOW: return FromQColor(palette.color(QPalette::Dark));
    default: return ui::DefaultSysColor(index);
    }
}

ui::FontDesc Describe(const QFont& font) { return ui::FontDesc{font.toString().toStdString()}; }

QFont FontOf(const ui::FontDesc& desc, const QFont& fallback) {
    QFont font = fallback;
    if (!desc.description.empty()) font.fromString(QString::fromStdString(desc.description));
    return font;
}

// The canvas over one QPainter: the widget's own, or an off-screen pixmap's.
class PainterCanvas {
public:
    PainterCanvas(QPainter& painter, std::function<ui::COLORREF(int)> sysColors)
        : painter_(painter), sysColors_(std::move(sysColors)), font_(painter.font()) {}

    void FillRect(const ui::Rect& rect, ui::COLORREF color) {
        if (rect.IsEmpty()) return;
        painter_.fillRect(ToQRect(rect), ToQColor(color));
    }

    // A flat sunken edge: one line in the shadow colour outside, one in the face colour
    // inside; the rectangle shrinks by both.
    void DrawSunkenEdge(ui::Rect& rect) {
        const ui::COLORREF lines[2] = {sysColors_(ui::COLOR_BTNSHADOW), sysColors_(ui::COLOR_BTNFACE)};
        for (ui::COLORREF color : lines) {
            if (rect.IsEmpty()) break;
            const QColor c = ToQColor(color);
            const QRect r = ToQRect(rect);
            painter_.fillRect(QRect(r.left(), r.top(), r.width(), 1), c);
            painter_.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), c);
            painter_.fillRect(QRect(r.left(), r.top(), 1, r.height()), c);
            painter_.fillRect(QRect(r.right(), r.top(), 1, r.height()), c);
            rect.left = std::min(rect.left + 1, rect.right);
            rect.right = std::max(rect.right - 1, rect.left);
            rect.top = std::min(rect.top + 1, rect.bottom);
            rect.bottom = std::max(rect.bottom - 1, rect.top);
        }
    }

    ui::FontDesc SelectFont(const ui::FontDesc& desc) {
        ui::FontDesc previous = selected_;
        selected_ = desc;
        font_ = FontOf(desc, painter_.font());
        return previous;
    }

    ui::Size MeasureText(std::string_view text) {
        const QFontMetrics metrics(font_, painter_.device());
        const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        return {metrics.horizontalAdvance(s), metrics.height()};
    }

    void SetTransparentBackground() { painter_.setBackgroundMode(Qt::TransparentMode); }

    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) {
        if (clip.IsEmpty()) return;
        painter_.save();
        painter_.setClipRect(ToQRect(clip));
        painter_.setFont(font_);
        painter_.setPen(ToQColor(color));
        painter_.translate(x, y);
        // Escapement counts tenths of a degree counter-clockwise; Qt turns clockwise.
        if (selected_.escapement != 0) painter_.rotate(-selected_.escapement / 10.0);
        const QFontMetrics metrics(font_, painter_.device());
        painter_.drawText(QPoint(0, metrics.ascent()),
                          QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
        painter_.restore();
    }

private:
    QPainter& painter_;
    std::function<ui::COLORREF(int)> sysColors_;
    ui::FontDesc selected_;
    QFont font_;
};

// An off-screen picture of the paint area.
class PixmapSurface : public ui::OffscreenSurface {
public:
    PixmapSurface(int width, int height, qreal pixelRatio, const QFont& font,
                  std::function<ui::COLORREF(int)> sysColors)
        : pixmap_(QSize(width, height) * pixelRatio) {
        pixmap_.setDevicePixelRatio(pixelRatio);
        painter_.begin(&pixmap_);
        painter_.setFont(font);
        canvas_.emplace(painter_, std::move(sysColors));
    }

    void FillRect(const ui::Rect& rect, ui::COLORREF color) override { canvas_->FillRect(rect, color); }
    void DrawSunkenEdge(ui::Rect& rect) override { canvas_->DrawSunkenEdge(rect); }
    ui::FontDesc SelectFont(const ui::FontDesc& font) override { return canvas_->SelectFont(font); }
    ui::Size MeasureText(std::string_view text) override { return canvas_->MeasureText(text); }
    void SetTransparentBackground() override { canvas_->SetTransparentBackground(); }
    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) override {
        canvas_->DrawText(x, y, clip, color, text);
    }

    // The finished picture; drawing into the surface ends here.
    const QPixmap& Finish() {
        if (painter_.isActive()) painter_.end();
        return pixmap_;
    }

private:
    QPixmap pixmap_;
    QPainter painter_;
    std::optional<PainterCanvas> canvas_;
};

// One paint of the widget.
class WidgetPaint : public ui::PaintTarget {
public:
    WidgetPaint(QWidget& widget, const QRect& clipBox, std::function<ui::COLORREF(int)> sysColors)
        : widget_(widget), painter_(&widget), clipBox_(clipBox), sysColors_(sysColors),
          canvas_(painter_, std::move(sysColors)) {}

    void FillRect(const ui::Rect& rect, ui::COLORREF color) override { canvas_.FillRect(rect, color); }
    void DrawSunkenEdge(ui::Rect& rect) override { canvas_.DrawSunkenEdge(rect); }
    ui::FontDesc SelectFont(const ui::FontDesc& font) override { return canvas_.SelectFont(font); }
    ui::Size MeasureText(std::string_view text) override { return canvas_.MeasureText(text); }
    void SetTransparentBackground() override { canvas_.SetTransparentBackground(); }
    void DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) override {
        canvas_.DrawText(x, y, clip, color, text);
    }

    bool IsPrinting() const override {
        return painter_.device() && painter_.device()->devType() == QInternal::Printer;
    }
    ui::Rect GetClipBox() const override {
        return {clipBox_.left(), clipBox_.top(), clipBox_.left() + clipBox_.width(),
                clipBox_.top() + clipBox_.height()};
    }
    std::unique_ptr<ui::OffscreenSurface> CreateOffscreen(int width, int height) override {
        if (width <= 0 || height <= 0) return nullptr;
        return std::make_unique<PixmapSurface>(width, height, widget_.devicePixelRatioF(), widget_.font(),
                                               sysColors_);
    }
    void CopyFromOffscreen(ui::OffscreenSurface& source, const ui::Rect& area) override {
        auto* surface = dynamic_cast<PixmapSurface*>(&source);
        if (!surface) return;
        painter_.drawPixmap(QPoint(area.left, area.top), surface->Finish());
    }
    ui::WindowBackground GetWindowBackground() const override {
        ui::WindowBackground background;
        background.hasWindow = true;
        background.isDialogClass = qobject_cast<const QDialog*>(&widget_) != nullptr;
        background.hasClassBrush = widget_.autoFillBackground();
        background.classBrush = FromQColor(widget_.palette().color(widget_.backgroundRole()));
        return background;
    }
    ui::COLORREF GetBkColor() const override { return FromQColor(widget_.palette().color(QPalette::Window)); }
    ui::COLORREF GetSysColor(int index) const override { return sysColors_(index); }

private:
    QWidget& widget_;
    QPainter painter_;
    QRect clipBox_;
    std::function<ui::COLORREF(int)> sysColors_;
    PainterCanvas canvas_;
};

}  // namespace

ProgressWidget::ProgressWidget(QWidget* parent, uint32_t style) : QWidget(parent) {
    // The bar paints every pixel itself: no background erase, so no flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    control_.Attach(this, style);
}

ProgressWidget::~ProgressWidget() {
    for (const auto& [id, qtId] : timers_) killTimer(qtId);
    control_.Attach(nullptr);
}

ui::LRESULT ProgressWidget::SendMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
    if (message == ui::WM_PAINT) {
        repaint();
        return 0;
    }
    return control_.WindowProc(message, wParam, lParam);
}

void ProgressWidget::SetWindowText(const QString& text) { control_.SetWindowText(text.toStdString()); }

QString ProgressWidget::WindowText() const { return QString::fromStdString(control_.GetWindowText()); }

QSize ProgressWidget::sizeHint() const {
    const QFontMetrics metrics(font());
    const bool vertical = (control_.GetStyle() & ui::PBS_VERTICAL) != 0;
    const QSize size(metrics.horizontalAdvance(QStringLiteral("Firmware update part 1 of 4")) + 24, metrics.height() + 6);
    return vertical ? size.transposed() : size;
}

void ProgressWidget::paintEvent(QPaintEvent* event) {
    paintEvent_ = event;
    control_.WindowProc(ui::WM_PAINT, 0, 0);
    paintEvent_ = nullptr;
}

void ProgressWidget::timerEvent(QTimerEvent* event) {
    for (const auto& [id, qtId] : timers_) {
        if (qtId == event->timerId()) {
            control_.WindowProc(ui::WM_TIMER, id, 0);
            return;
        }
    }
    QWidget::timerEvent(event);
}

void ProgressWidget::RedrawWindow() { repaint(); }

void ProgressWidget::SetTimer(unsigned id, unsigned intervalMs) {
    KillTimer(id);
    // As on the desktop, a timer never runs faster than every 10 ms.
    const int qtId = startTimer(static_cast<int>(std::clamp(intervalMs, 10u, 0x7FFFFFFFu)));
    if (qtId != 0) timers_[id] = qtId;
}

void ProgressWidget::KillTimer(unsigned id) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    killTimer(it->second);
    timers_.erase(it);
}

ui::Rect ProgressWidget::GetClientRect() const { return {0, 0, width(), height()}; }

std::optional<ui::FontDesc> ProgressWidget::GetFont() const {
    if (!testAttribute(Qt::WA_SetFont)) return std::nullopt;
    return Describe(font());
}

std::optional<ui::FontDesc> ProgressWidget::GetParentFont() const {
    if (parentWidget()) return Describe(parentWidget()->font());
    return Describe(QApplication::font());
}

ui::COLORREF ProgressWidget::GetSysColor(int index) const { return PaletteSysColor(palette(), index); }

std::unique_ptr<ui::PaintTarget> ProgressWidget::BeginPaint() {
    // Painting on a widget is only possible inside its paint event.
    if (!paintEvent_) return nullptr;
    return std::make_unique<WidgetPaint>(*this, paintEvent_->rect(),
                                         [this](int index) { return GetSysColor(index); });
}

}  // namespace frontend::qt
