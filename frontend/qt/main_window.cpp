#include "frontend/qt/main_window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>

#include <algorithm>

#include "app/dialog_host.h"
#include "frontend/qt/progress_widget.h"
#include "resources/icon/quillon_icon.h"

namespace frontend::qt {

DialogUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    DialogUnits u;
    u.baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    u.baseY = metrics.height();
    return u;
}

MainLayout MainLayoutFor(const DialogUnits& u) {
    MainLayout l;
    l.client = QSize(u.X(299), u.Y(80));
    l.heading = u.Rect(11, 11, 267, 11);
    l.upper = u.Rect(11, 26, 270, 16);
    l.lower = u.Rect(11, 46, 270, 16);
    // The status line: beneath the lower bar, as wide as the bars, two lines of the font high.
    l.status = u.Rect(11, 66, 270, 18);
    l.client.setHeight(u.Y(91));
    return l;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(QPixmap::fromImage(quillon_icon::Draw(size)));
    return icon;
}

QString MainWindow::AboutEntryText() { return QStringLiteral("&About Quillon..."); }

MainWindow::MainWindow(std::function<void()> onStopRequest, QWidget* parent)
    : QDialog(parent), onStopRequest_(std::move(onStopRequest)) {
    setWindowTitle(QStringLiteral("fwupdate"));
    setWindowIcon(ProgramIcon());
    // A fixed frame with caption, system menu and minimise button, as the template asks.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    heading_ = new QLabel(this);
    heading_->setObjectName(QStringLiteral("heading"));
    upper_ = new ProgressWidget(this);
    upper_->setObjectName(QStringLiteral("upper"));
    lower_ = new ProgressWidget(this);
    lower_->setObjectName(QStringLiteral("lower"));
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::RichText);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LayOut();
}

QColor WarningColor() { return QColor(0xb0, 0x30, 0x00); }

void MainWindow::SetStatusText(const QString& text) {
    const QString warning = QString::fromLatin1(kDoNotDisconnect);
    QString html;
    if (text.startsWith(warning)) {
        // The warning on a line of its own, then what is being done.
        html = QStringLiteral("<b><span style=\"color:%1\">%2</span></b>")
                   .arg(WarningColor().name(), warning.toHtmlEscaped());
        const QString rest = text.mid(warning.size()).trimmed();
        if (!rest.isEmpty()) html += QStringLiteral("<br>") + rest.toHtmlEscaped();
    } else {
        html = text.toHtmlEscaped();
    }
    if (html == status_->text()) return;
    status_->setText(html);
    LayOut();
}

void MainWindow::LayOut() {
    layout_ = MainLayoutFor(BaseUnitsOf(font()));
    heading_->setGeometry(layout_.heading);
    upper_->setGeometry(layout_.upper);
    lower_->setGeometry(layout_.lower);
    // A status text longer than the two lines makes the window taller, so none is cut off.
    const int needed = status_->heightForWidth(layout_.status.width());
    statusHeight_ = std::max({statusHeight_, layout_.status.height(), needed});
    QRect status = layout_.status;
    status.setHeight(statusHeight_);
    status_->setGeometry(status);
    setFixedSize(layout_.client.width(), layout_.client.height() + statusHeight_ - layout_.status.height());
}

void MainWindow::changeEvent(QEvent* event) {
    // Another font (the desktop's, or a larger one) lays the template out again.
    if (event->type() == QEvent::FontChange) {
        statusHeight_ = 0;
        LayOut();
    }
    QDialog::changeEvent(event);
}

ProgressWidget* MainWindow::Bar(int id) { return id == app::IDC_PROGRESS_LOWER ? lower_ : upper_; }

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeAllowed_) {
        event->accept();
        return;
    }
    event->ignore();
    if (onStopRequest_) onStopRequest_();
}

void MainWindow::reject() {
    if (closeAllowed_) {
        QDialog::reject();
        return;
    }
    if (onStopRequest_) onStopRequest_();
}

void MainWindow::accept() {
    if (closeAllowed_) QDialog::accept();
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(AboutEntryText(), this, &MainWindow::ShowAbout);
    menu.exec(event->globalPos());
}

void MainWindow::ShowAbout() {
    AboutBox box(this);
    box.exec();
}

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Info about  Quillon"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    const DialogUnits u = BaseUnitsOf(font());
    setFixedSize(u.X(235), u.Y(55));
    auto* icon = new QLabel(this);
    const QRect iconRect = u.Rect(11, 17, 20, 20);
    icon->setPixmap(QPixmap::fromImage(quillon_icon::Draw(std::min(iconRect.width(), iconRect.height()))));
    icon->setGeometry(iconRect);
    auto* text = new QLabel(QStringLiteral("Quillon version 2.60"), this);
    text->setObjectName(QStringLiteral("version"));
    text->setGeometry(u.Rect(40, 10, 119, 8));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->setGeometry(u.Rect(178, 7, 50, 16));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace frontend::qt
