// The main dialog's window on Qt: laid out from the dialog template in dialog units converted
// with the base units of the font the window really uses, the heading line over the two bars,
// the status line beneath them, the program's icons, an about entry in the context menu. It never blocks: the dialog runs on
// a thread of its own (qt_host.h) and every request to close becomes a stop request.
#pragma once

#include <QDialog>
#include <QColor>
#include <QFont>
#include <QRect>
#include <QSize>

#include <functional>

class QLabel;

namespace frontend::qt {

class ProgressWidget;

// Dialog units to pixels as the platform converts them: x by the average width of the 52 Latin
// letters of the font, over 4; y by the font's height, over 8.
struct DialogUnits {
    int baseX = 0;
    int baseY = 0;
    int X(int units) const { return (units * baseX + 2) / 4; }
    int Y(int units) const { return (units * baseY + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }
};
DialogUnits BaseUnitsOf(const QFont& font);

// The main dialog's template (IDD_MAIN): the three controls at their places, and beneath them
// the status line (two lines of text; a longer text makes the window taller).
struct MainLayout {
    QSize client;
    QRect heading;  // control 1007
    QRect upper;    // control 1003
    QRect lower;    // control 1002
    QRect status;
};
MainLayout MainLayoutFor(const DialogUnits& units);

class MainWindow : public QDialog {
    Q_OBJECT
public:
    explicit MainWindow(std::function<void()> onStopRequest, QWidget* parent = nullptr);

    ProgressWidget* Bar(int id);
    QLabel* Heading() { return heading_; }
    QLabel* Status() { return status_; }
    // The status line: what is being done or awaited. A text that starts with the warning not to
    // disconnect the device shows that sentence in bold and in the warning's colour.
    void SetStatusText(const QString& text);
    const MainLayout& Layout() const { return layout_; }
    // From now on the window may close (the dialog has ended).
    void AllowClose() { closeAllowed_ = true; }
    // Opens the about box (the context menu's entry).
    void ShowAbout();
    // Text of the context menu's about entry.
    static QString AboutEntryText();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

public Q_SLOTS:
    // Esc: a stop request, as closing the window is. Enter is none: a second press meant for a
    // message box that has just closed must not stop the update.
    void reject() override;
    void accept() override;

private:
    void LayOut();

    std::function<void()> onStopRequest_;
    bool closeAllowed_ = false;
    MainLayout layout_;
    QLabel* heading_;
    ProgressWidget* upper_;
    ProgressWidget* lower_;
    QLabel* status_;
    int statusHeight_ = 0;  // the tallest status text so far: the window grows, never shrinks back
};

// The sentence a status text starts with while the device is being changed.
inline constexpr const char* kDoNotDisconnect = "Do not disconnect or switch off the Norvik 1150.";
// The colour of that warning in the status line.
QColor WarningColor();

// The about box (IDD_ABOUTBOX): caption "Info about  Quillon", the icon, the version text, OK.
class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);
};

// The program's icon in the sizes a window and its task-bar entry use.
QIcon ProgramIcon();

}  // namespace frontend::qt
