#include "frontend/qt/devices_window.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QPainter>
#include <QSocketNotifier>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cstdio>
#include <thread>

#include "app/exit_status.h"
#include "app/history.h"
#include "app/start_and_checks.h"
#include "frontend/qt/main_window.h"
#include "frontend/qt/qt_host.h"
#include "platform/terminal_text.h"

namespace frontend::qt {

namespace {

// Texts of a device or of its program are untrusted: no control characters reach the window.
QString Safe(const std::string& text) { return QString::fromStdString(platform::TerminalField(text)); }

// The bars' positions of a row, for the delegate that paints them.
enum Role { kUpper = Qt::UserRole, kUpperMaximum, kLower, kLowerMaximum, kRunning };

// One bar as the dialog's bars look: a frame, the part done in the highlight colour, the text
// centred over it (in the highlighted text's colour where the bar is filled).
void PaintBar(QPainter* painter, const QRect& rect, const QPalette& palette, int position, int maximum,
              const QString& text) {
    painter->save();
    painter->setPen(palette.color(QPalette::Mid));
    painter->setBrush(palette.color(QPalette::Base));
    painter->drawRect(rect.adjusted(0, 0, -1, -1));
    const QRect inside = rect.adjusted(1, 1, -1, -1);
    const int filled = maximum > 0 ? inside.width() * std::clamp(position, 0, maximum) / maximum : 0;
    const QRect done(inside.left(), inside.top(), filled, inside.height());
    painter->fillRect(done, palette.color(QPalette::Highlight));
    if (!text.isEmpty()) {
        painter->setPen(palette.color(QPalette::Text));
        painter->drawText(inside, Qt::AlignCenter, text);
        painter->setClipRect(done);
        painter->setPen(palette.color(QPalette::HighlightedText));
        painter->drawText(inside, Qt::AlignCenter, text);
    }
    painter->restore();
}

// Paints the progress cell as the window's two bars: the parts (upper, thin) over the step
// (lower, with its percentage).
class BarsDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        // The cell's text is the bar's: only the bars show it.
        if (!index.data(kRunning).toBool()) return;
        const QRect area = option.rect.adjusted(4, 3, -4, -3);
        const int upperHeight = std::max(area.height() / 3, 5);
        PaintBar(painter, QRect(area.left(), area.top(), area.width(), upperHeight), option.palette,
                 index.data(kUpper).toInt(), index.data(kUpperMaximum).toInt(), QString());
        PaintBar(painter, QRect(area.left(), area.top() + upperHeight + 2, area.width(), area.height() - upperHeight - 2),
                 option.palette, index.data(kLower).toInt(), index.data(kLowerMaximum).toInt(),
                 index.data(Qt::DisplayRole).toString());
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setWidth(std::max(size.width(), option.fontMetrics.horizontalAdvance(QStringLiteral("0")) * 18));
        size.setHeight(std::max(size.height(), option.fontMetrics.height() * 2 + 4));
        return size;
    }
};

std::string Percent(int position, int maximum) {
    if (maximum <= 0) return "";
    return std::to_string(std::clamp(position * 100 / maximum, 0, 100)) + "%";
}

QTableWidgetItem* ItemAt(QTableWidget* table, int row, int column) {
    QTableWidgetItem* item = table->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled);
        table->setItem(row, column, item);
    }
    return item;
}

constexpr std::string_view kWarningPrefix = "Do not disconnect or switch off the Norvik 1150. ";

}  // namespace

DeviceRow RowOf(const supervisor::DeviceRun& r) {
    DeviceRow row;
    row.where = r.usbLocation.empty() ? r.port : "USB " + r.usbLocation;
    row.serial = r.serial;
    row.firmware = (r.firmwareBefore.empty() ? "?" : r.firmwareBefore) + " \u2192 " +
                   (r.ended ? (r.firmwareAfter.empty() ? "?" : r.firmwareAfter) : "");
    row.stage = r.stage;
    row.upper = r.upper;
    row.upperMaximum = r.upperMaximum;
    row.lower = r.lower;
    row.lowerMaximum = r.lowerMaximum;
    row.ended = r.ended;
    row.succeeded = r.ended && supervisor::Succeeded(r);
    row.outcome = r.outcome;
    row.exitStatus = r.exitStatus;
    if (r.ended && !row.succeeded && !r.cause.empty())
        row.status = r.cause;
    else if (r.ended && r.outcome == app::kOutcomeUpToDate)
        row.status = "left as it is: it runs this firmware or a newer one";
    else
        row.status = r.status.empty() ? (r.ended ? "" : r.started ? "starting" : "waiting") : r.status;
    // The warning stands once above the table, not on every row.
    if (row.status.rfind(kWarningPrefix, 0) == 0) row.status.erase(0, kWarningPrefix.size());
    return row;
}

DevicesWindow::DevicesWindow(bool watch, std::function<void()> onStopRequest, QWidget* parent)
    : QDialog(parent), onStopRequest_(std::move(onStopRequest)) {
    setWindowTitle(watch ? QStringLiteral("Quillon: updating each Norvik 1150 as it is plugged in")
                         : QStringLiteral("Quillon: updating every Norvik 1150 connected"));
    setWindowIcon(ProgramIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    auto* layout = new QVBoxLayout(this);
    found_ = new QLabel(this);
    found_->setObjectName(QStringLiteral("found"));
    found_->setTextFormat(Qt::PlainText);
    found_->setWordWrap(true);
    warning_ = new QLabel(QStringLiteral("Do not disconnect or switch off a Norvik 1150 while its update runs."), this);
    warning_->setObjectName(QStringLiteral("warning"));
    warning_->setStyleSheet(QStringLiteral("QLabel { color: %1; font-weight: bold; }").arg(WarningColor().name()));
    warning_->setWordWrap(true);
    warning_->hide();
    table_ = new QTableWidget(0, kColumns, this);
    table_->setObjectName(QStringLiteral("devices"));
    table_->setHorizontalHeaderLabels({QStringLiteral("Device"), QStringLiteral("Serial"), QStringLiteral("Firmware"),
                                       QStringLiteral("Stage"), QStringLiteral("Progress"), QStringLiteral("Status"),
                                       QStringLiteral("Outcome")});
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setFocusPolicy(Qt::NoFocus);
    table_->setWordWrap(true);
    table_->setItemDelegateForColumn(kProgress, new BarsDelegate(table_));
    QHeaderView* header = table_->horizontalHeader();
    for (int c = 0; c < kColumns; ++c) header->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kStatus, QHeaderView::Stretch);
    footer_ = new QLabel(this);
    footer_->setObjectName(QStringLiteral("footer"));
    footer_->setTextFormat(Qt::PlainText);
    footer_->setWordWrap(true);
    layout->addWidget(found_);
    layout->addWidget(warning_);
    layout->addWidget(table_, 1);
    layout->addWidget(footer_);
    resize(980, 360);
}

void DevicesWindow::SetFound(const QString& text) { found_->setText(text); }

void DevicesWindow::ShowRows(const std::vector<DeviceRow>& rows, const supervisor::RunState& state) {
    table_->setRowCount(static_cast<int>(rows.size()));
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const DeviceRow& r = rows[static_cast<size_t>(i)];
        ItemAt(table_, i, kDevice)->setText(Safe(r.where));
        ItemAt(table_, i, kSerial)->setText(Safe(r.serial));
        ItemAt(table_, i, kFirmware)->setText(Safe(r.firmware));
        ItemAt(table_, i, kStage)->setText(r.stage ? QStringLiteral("%1 of 4").arg(r.stage) : QString());
        QTableWidgetItem* bars = ItemAt(table_, i, kProgress);
        bars->setData(kRunning, r.stage > 0);
        bars->setData(kUpper, r.upper);
        bars->setData(kUpperMaximum, r.upperMaximum);
        bars->setData(kLower, r.lower);
        bars->setData(kLowerMaximum, r.lowerMaximum);
        bars->setText(r.stage ? QString::fromStdString(Percent(r.lower, r.lowerMaximum)) : QString());
        QTableWidgetItem* status = ItemAt(table_, i, kStatus);
        status->setText(Safe(r.status));
        status->setToolTip(status->text());
        QTableWidgetItem* outcome = ItemAt(table_, i, kOutcome);
        outcome->setText(r.ended ? Safe(r.outcome) + QStringLiteral(" (exit %1)").arg(r.exitStatus) : QString());
        QFont font = outcome->font();
        font.setBold(r.ended);
        outcome->setFont(font);
        outcome->setForeground(r.succeeded ? QColor(0x1b, 0x7a, 0x2e) : WarningColor());
    }
    table_->resizeRowsToContents();
    warning_->setVisible(!state.allEnded);
    QStringList parts;
    if (state.watch) parts << QString::fromStdString(state.tally);
    if (state.stopping) parts << QStringLiteral("Stopping: every update ends at its next safe point.");
    state_ = parts.join(QStringLiteral("\n"));
    ShowFooter();
}

void DevicesWindow::AddNote(const QString& line) {
    notes_.push_back(line);
    ShowFooter();
}

void DevicesWindow::ShowFooter() {
    QStringList lines;
    if (!state_.isEmpty()) lines << state_;
    // The last notes, as the terminal's table shows them.
    const size_t shown = std::min<size_t>(notes_.size(), 4);
    for (size_t i = notes_.size() - shown; i < notes_.size(); ++i) lines << notes_[i];
    footer_->setText(lines.join(QStringLiteral("\n")));
    footer_->setVisible(!lines.isEmpty());
}

void DevicesWindow::closeEvent(QCloseEvent* event) {
    if (closeAllowed_) {
        event->accept();
        return;
    }
    event->ignore();
    if (onStopRequest_) onStopRequest_();
}

void DevicesWindow::reject() {
    if (closeAllowed_) {
        QDialog::reject();
        return;
    }
    if (onStopRequest_) onStopRequest_();
}

void DevicesWindow::accept() {
    if (closeAllowed_) QDialog::accept();
}

WindowView::WindowView(DevicesWindow& window, bool answerYes)
    : window_(window), answerYes_(answerYes), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WindowView::~WindowView() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void WindowView::RequestStop() {
    stopRequested_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

supervisor::ViewSignals WindowView::TakeSignals() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof count);
    return {stopRequested_.exchange(false), false};
}

void WindowView::Say(const std::string& text) {
    QMetaObject::invokeMethod(&window_, [this, text] {
        said_ += text;
        window_.SetFound(QString::fromStdString(said_).trimmed());
    }, Qt::QueuedConnection);
}

bool WindowView::ConfirmWarning() {
    // A stop requested before the question is its answer.
    if (stopRequested_) return false;
    int answer = app::IDCANCEL;
    QMetaObject::invokeMethod(&window_, [&] {
        answer = ShowBox(&window_, std::string(app::kWarningText), std::string(app::kCaption), app::MbButtons::OkCancel,
                         app::MbIcon::Warning);
    }, Qt::BlockingQueuedConnection);
    return answer == app::IDOK && !stopRequested_;
}

void WindowView::Note(const std::string& line) {
    QMetaObject::invokeMethod(&window_, [this, line] { window_.AddNote(QString::fromStdString(line)); },
                              Qt::QueuedConnection);
}

void WindowView::Show(const std::vector<std::unique_ptr<supervisor::DeviceRun>>& runs,
                      const supervisor::RunState& state) {
    std::vector<DeviceRow> rows;
    for (const auto& r : runs) rows.push_back(RowOf(*r));
    QMetaObject::invokeMethod(&window_, [this, rows, state] { window_.ShowRows(rows, state); }, Qt::QueuedConnection);
}

void WindowView::Finish(const std::vector<std::unique_ptr<supervisor::DeviceRun>>& runs,
                        const supervisor::RunState& state, int) {
    std::string summary = supervisor::Summary(runs);
    if (state.watch) summary += state.tally + "\n";
    // The same lines on the standard output: a run started from a shell leaves its record there.
    std::fputs(summary.c_str(), stdout);
    std::fflush(stdout);
    QMetaObject::invokeMethod(&window_, [this, summary] {
        finished_ = true;
        summary_ = summary;
    }, Qt::QueuedConnection);
}

namespace {

// What the window shows once the supervisor has ended (window's thread): the summary, or why no
// device was updated. Nothing when the user gave the answers beforehand (--yes) or cancelled.
void ShowTheEnd(DevicesWindow& window, const WindowView& view, int status) {
    if (view.AnswerYes()) return;
    if (view.Finished()) {
        const std::string headline = view.Summary().empty() ? "No Norvik 1150 was updated."
                                     : status == app::kExitSuccess
                                         ? "Every Norvik 1150 was updated or was up to date already."
                                         : "Not every Norvik 1150 was updated.";
        ShowBox(&window, headline + "\n\n" + view.Summary(), std::string(app::kCaption), app::MbButtons::Ok,
                status == app::kExitSuccess ? app::MbIcon::Information : app::MbIcon::Warning);
    } else if (status != app::kExitCancelled) {
        ShowBox(&window, view.Said(), std::string(app::kCaption), app::MbButtons::Ok, app::MbIcon::Warning);
    }
}

}  // namespace

int RunDevicesInWindow(DevicesWindow& window, WindowView& view, const supervisor::Options& options) {
    window.show();
    int status = app::kExitCancelled;
    std::thread supervisorThread([&window, &view, &options, &status] {
        const int result = supervisor::Run(options, view);
        status = result;
        QMetaObject::invokeMethod(&window, [&window, &view, result] {
            window.AllowClose();
            ShowTheEnd(window, view, result);
            QApplication::exit(0);
        }, Qt::QueuedConnection);
    });
    QApplication::exec();
    supervisorThread.join();
    return status;
}

int RunDevicesWindow(int argc, char** argv, const supervisor::Options& options, bool handleSignals) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
    // Blocked before Qt and the supervisor start threads: a stop signal reaches the signalfd,
    // never ends the process in another thread. The devices' programs start with none blocked.
    if (handleSignals) pthread_sigmask(SIG_BLOCK, &set, nullptr);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    WindowView* viewPointer = nullptr;
    DevicesWindow window(options.watch, [&viewPointer] {
        if (viewPointer) viewPointer->RequestStop();
    });
    WindowView view(window, options.answerYes);
    viewPointer = &view;
    const int signalFd = handleSignals ? signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC) : -1;
    if (signalFd >= 0) {
        auto* notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [signalFd, &view, &window] {
            signalfd_siginfo info{};
            bool any = false;
            while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
            if (!any) return;
            view.RequestStop();
            // A question open at the time is answered Cancel.
            if (QWidget* box = QApplication::activeModalWidget(); box && box != &window) box->close();
        });
    }
    const int status = RunDevicesInWindow(window, view, options);
    if (signalFd >= 0) close(signalFd);
    return status;
}

}  // namespace frontend::qt
