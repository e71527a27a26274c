// The text progress bar as a Qt widget. It owns a CTextProgressCtrl, forwards the bar's
// messages to it and lets it paint through a QPainter into a QPixmap that is copied onto the
// widget once per paint. System colours come from the widget's palette.
#pragma once

#include "ui/text_progress_ctrl.h"

#include <QString>
#include <QWidget>

#include <map>

class QPaintEvent;
class QTimerEvent;

namespace frontend::qt {

class ProgressWidget : public QWidget, private ui::WindowHost {
public:
    explicit ProgressWidget(QWidget* parent = nullptr, uint32_t style = 0);
    ~ProgressWidget() override;

    // Sends one of the bar's messages. WM_PAINT repaints the widget at once.
    ui::LRESULT SendMessage(ui::UINT message, ui::WPARAM wParam = 0, ui::LPARAM lParam = 0);
    // The bar's window text; it shows at the next repaint.
    void SetWindowText(const QString& text);
    QString WindowText() const;
    ui::CTextProgressCtrl& Control() { return control_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    // A position change repaints synchronously: the update keeps the user-interface thread
    // busy, and the bar must move all the same.
    void RedrawWindow() override;
    void SetTimer(unsigned id, unsigned intervalMs) override;
    void KillTimer(unsigned id) override;
    ui::Rect GetClientRect() const override;
    std::optional<ui::FontDesc> GetFont() const override;
    std::optional<ui::FontDesc> GetParentFont() const override;
    ui::COLORREF GetSysColor(int index) const override;
    std::unique_ptr<ui::PaintTarget> BeginPaint() override;

    std::map<unsigned, int> timers_;  // the bar's timer id -> Qt's timer id
    QPaintEvent* paintEvent_ = nullptr;  // set while a paint event runs
    ui::CTextProgressCtrl control_;
};

}  // namespace frontend::qt
