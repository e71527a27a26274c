// The Qt widget under the off-screen platform: its pixels, its synchronous repaint, its
// marquee timer, and the same bar as the terminal draws for the same state.
#include "frontend/qt/progress_widget.h"
#include "frontend/terminal/terminal_progress_bar.h"
#include "tests/support/offscreen_qt.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFont>
#include <QImage>
#include <QPixmap>

#include <cmath>
#include <memory>
#include <string>

namespace {

using frontend::qt::ProgressWidget;
using ui::WPARAM;
using ui::LPARAM;

class QtProgress : public testsupport::OffscreenQtTest {
protected:
    // A sharp font, so that every text pixel has exactly the text colour.
    static QFont SharpFont() {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(12);
        font.setStyleStrategy(QFont::NoAntialias);
        return font;
    }

    static QRgb Rgb(ui::COLORREF c) { return qRgb(ui::GetRValue(c), ui::GetGValue(c), ui::GetBValue(c)); }

};

constexpr ui::COLORREF kBar = ui::RGB(200, 0, 0);
constexpr ui::COLORREF kBack = ui::RGB(0, 0, 200);
constexpr ui::COLORREF kText = ui::RGB(255, 255, 0);
constexpr ui::COLORREF kTextOnBar = ui::RGB(0, 255, 255);

void SetColours(ProgressWidget& w) {
    w.SendMessage(ui::PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kBar));
    w.SendMessage(ui::CCM_SETBKCOLOR, 0, static_cast<LPARAM>(kBack));
    w.SendMessage(ui::TPM_SETTEXTCOLOR, 0, static_cast<LPARAM>(kText));
    w.SendMessage(ui::TPM_SETTEXTONBARCOLOR, 0, static_cast<LPARAM>(kTextOnBar));
}

TEST_F(QtProgress, BarLeftOfTheSplitBackgroundRightTextChangesColourAtTheEdge) {
    ProgressWidget w;
    w.resize(204, 20);
    w.setFont(SharpFont());
    SetColours(w);
    w.SendMessage(ui::PBM_SETPOS, 50);
    const QImage image = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(204, 20));

    // The flat sunken edge: shadow outside, face inside; inner is (2,2)-(202,18).
    EXPECT_EQ(image.pixel(0, 0), w.palette().color(QPalette::Dark).rgb());
    EXPECT_EQ(image.pixel(1, 10), w.palette().color(QPalette::Button).rgb());
    const int split = 2 + 100;
    EXPECT_EQ(image.pixel(10, 10), Rgb(kBar));
    EXPECT_EQ(image.pixel(split - 1, 2), Rgb(kBar));
    EXPECT_EQ(image.pixel(split, 2), Rgb(kBack));
    EXPECT_EQ(image.pixel(190, 10), Rgb(kBack));

    int onBar = 0;
    int offBar = 0;
    for (int y = 2; y < 18; ++y) {
        for (int x = 2; x < 202; ++x) {
            const QRgb p = image.pixel(x, y);
            if (p == Rgb(kBar)) {
                EXPECT_LT(x, split) << x << "," << y;
            } else if (p == Rgb(kBack)) {
                EXPECT_GE(x, split) << x << "," << y;
            } else if (x < split) {
                EXPECT_EQ(p, Rgb(kTextOnBar)) << x << "," << y;
                ++onBar;
            } else {
                EXPECT_EQ(p, Rgb(kText)) << x << "," << y;
                ++offBar;
            }
        }
    }
    // "50%" straddles the edge: part of it in each colour.
    EXPECT_GT(onBar, 10);
    EXPECT_GT(offBar, 10);
}

TEST_F(QtProgress, PositionChangeRepaintsBeforeSendMessageReturns) {
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    } counter;
    ProgressWidget w;
    w.resize(204, 20);
    w.show();
    QApplication::processEvents();
    w.installEventFilter(&counter);
    w.SendMessage(ui::PBM_SETPOS, 70);
    EXPECT_EQ(counter.paints, 1);  // without returning to the event loop
    w.SendMessage(ui::PBM_SETRANGE, 0, 0x00040000);
    EXPECT_EQ(counter.paints, 1);  // a new range waits for the next position
    w.removeEventFilter(&counter);
}

TEST_F(QtProgress, MarqueeMovesOnItsTimer) {
    ProgressWidget w;
    w.resize(204, 20);
    w.SendMessage(ui::PBM_SETMARQUEE, 1, 10);
    QElapsedTimer elapsed;
    elapsed.start();
    while (w.SendMessage(ui::PBM_GETPOS) < 3 && elapsed.elapsed() < 5000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_GE(w.SendMessage(ui::PBM_GETPOS), 3);
    w.SendMessage(ui::PBM_SETMARQUEE, 0, 0);
    const auto stopped = w.SendMessage(ui::PBM_GETPOS);
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(w.SendMessage(ui::PBM_GETPOS), stopped);
}

TEST_F(QtProgress, QtAndTerminalShowTheSameBarForTheSameState) {
    struct State {
        int lo, hi, pos;
        const char* windowText;
        bool percent;
        const char* shown;
    };
    const State states[] = {
        {0, 100, 0, "", true, "0%"},
        {0, 100, 45, "", true, "45%"},
        {0, 100, 100, "", true, "100%"},
        {0, 4, 1, "Firmware update part 1 of 4", false, "Firmware update part 1 of 4"},
        {0, 3, 2, "", true, "67%"},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.shown);
        ProgressWidget w;
        w.resize(204, 20);
        w.setFont(SharpFont());
        SetColours(w);
        frontend::terminal::TerminalProgressBar t(42, 1, 1, 1, nullptr);
        t.SetSysColors([&](int index) { return ui::DefaultSysColor(index); });
        auto send = [&](ui::UINT m, WPARAM wp, LPARAM lp) {
            w.SendMessage(m, wp, lp);
            t.SendMessage(m, wp, lp);
        };
        send(ui::PBM_SETRANGE32, static_cast<WPARAM>(s.lo), s.hi);
        send(ui::TPM_SETSHOWPERCENT, s.percent ? 1 : 0, 0);
        w.SetWindowText(QString::fromUtf8(s.windowText));
        t.SetWindowText(s.windowText);
        send(ui::PBM_SETPOS, static_cast<WPARAM>(s.pos), 0);

        const double f = static_cast<double>(s.pos - s.lo) / (s.hi - s.lo);
        // Qt: 200 pixels inside the edge; count the bar on the inner rectangle's top row.
        const QImage image = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
        int barPixels = 0;
        for (int x = 2; x < 202; ++x) barPixels += image.pixel(x, 2) == Rgb(kBar);
        EXPECT_EQ(barPixels, static_cast<int>(std::trunc(200 * f)));
        // Terminal: 40 cells inside the brackets.
        const auto& cells = *t.Shown();
        int barCells = 0;
        for (int x = 1; x < 41; ++x) barCells += cells.At(x, 0).bg == ui::DefaultSysColor(ui::COLOR_HIGHLIGHT);
        EXPECT_EQ(barCells, static_cast<int>(std::trunc(40 * f)));
        // Same text, centred in both.
        const std::string row = cells.RowText(0);
        const std::string shown = s.shown;
        const size_t at = row.find(shown);
        ASSERT_NE(at, std::string::npos) << row;
        EXPECT_EQ(static_cast<int>(at), 1 + (40 - static_cast<int>(shown.size())) / 2);
    }
}

}  // namespace
