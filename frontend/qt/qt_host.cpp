#include "frontend/qt/qt_host.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "frontend/qt/main_window.h"
#include "frontend/qt/progress_widget.h"

namespace frontend::qt {

namespace {

QMessageBox::Icon IconOf(app::MbIcon icon) {
    switch (icon) {
    case app::MbIcon::Error:
        return QMessageBox::Critical;
    case app::MbIcon::Warning:
        return QMessageBox::Warning;
    case app::MbIcon::Information:
        return QMessageBox::Information;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

int ShowBox(QWidget* parent, const std::string& text, const std::string& caption, app::MbButtons buttons,
            app::MbIcon icon, bool noByDefault) {
    QMessageBox box(IconOf(icon), QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::NoButton,
                    parent);
    switch (buttons) {
    case app::MbButtons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    case app::MbButtons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    case app::MbButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(noByDefault ? QMessageBox::No : QMessageBox::Yes);
        break;
    }
    // Esc answers Cancel or No, as the platform's box does; an OK box has only OK.
    box.setEscapeButton(buttons == app::MbButtons::Ok ? QMessageBox::Ok
                        : buttons == app::MbButtons::OkCancel ? QMessageBox::Cancel
                                                              : QMessageBox::No);
    switch (box.exec()) {
    case QMessageBox::Ok:
        return app::IDOK;
    case QMessageBox::Cancel:
        return app::IDCANCEL;
    case QMessageBox::Yes:
        return app::IDYES;
    case QMessageBox::No:
        return app::IDNO;
    default:
        return buttons == app::MbButtons::YesNo ? app::IDNO : app::IDCANCEL;
    }
}

QtDialogHost::QtDialogHost(MainWindow& window, std::unique_ptr<platform::DeviceWatch> watch, QtOptions options)
    : LoopDialogHost(std::move(watch)), window_(window), options_(std::move(options)) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (options_.handleSignals) {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
        // Blocked before the dialog's thread starts, so that it inherits the mask.
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    }
}

QtDialogHost::~QtDialogHost() {
    if (wakeFd_ >= 0) close(wakeFd_);
    if (signalFd_ >= 0) close(signalFd_);
}

void QtDialogHost::OnWindow(const std::function<void()>& f) {
    if (QThread::currentThread() == window_.thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(&window_, f, Qt::BlockingQueuedConnection);
}

void QtDialogHost::RunModal(app::CQuillonDlg& dialog) {
    if (wakeFd_ >= 0) Loop().AddSource(wakeFd_, [this] { TakeStops(); });
    LoopDialogHost::RunModal(dialog);
}

void QtDialogHost::WatchSignals() {
    if (signalFd_ < 0) return;
    // The window's thread takes the signals, so that one also answers an open message box.
    auto* notifier = new QSocketNotifier(signalFd_, QSocketNotifier::Read, &window_);
    QObject::connect(notifier, &QSocketNotifier::activated, &window_, [this] {
        signalfd_siginfo info{};
        bool any = false;
        while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
        if (!any) return;
        signalled_ = true;
        RequestStop();
        if (QWidget* box = QApplication::activeModalWidget(); box && box != &window_) box->close();
    });
}

void QtDialogHost::RequestStop() {
    stopRequested_ = true;
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
    }
}

void QtDialogHost::TakeStops() {
    uint64_t count = 0;
    if (wakeFd_ >= 0) [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof count);
    if (stopRequested_.exchange(false)) Stop();
}

void QtDialogHost::KeepAlive() { TakeStops(); }

void QtDialogHost::AfterDispatch() {
    // The wait cursor lasts until the dialog waits for the first time.
    if (!waitCursor_) return;
    waitCursor_ = false;
    OnWindow([] { QApplication::restoreOverrideCursor(); });
}

int QtDialogHost::MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                             app::MbIcon icon) {
    return Ask(text, caption, buttons, icon, false);
}

int QtDialogHost::AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) {
    return Ask(text, caption, app::MbButtons::YesNo, icon, true);
}

int QtDialogHost::Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
                      bool noByDefault) {
    if (waitCursor_) {
        waitCursor_ = false;
        OnWindow([] { QApplication::restoreOverrideCursor(); });
    }
    int answer = options_.Given(text, caption, buttons, icon);
    if (answer == 0) OnWindow([&] { answer = ShowBox(&window_, text, caption, buttons, icon, noByDefault); });
    shown_.AddBox({text, caption, buttons, icon, answer});
    return answer;
}

void QtDialogHost::SetWindowTitle(const std::string& title) {
    OnWindow([&] { window_.setWindowTitle(QString::fromStdString(title)); });
}

void QtDialogHost::SetStatusText(const std::string& text) {
    OnWindow([&] { window_.SetStatusText(QString::fromStdString(text)); });
}

void QtDialogHost::SetDlgItemText(int id, const std::string& text) {
    OnWindow([&] {
        if (id == app::IDC_HEADING) {
            window_.Heading()->setText(QString::fromStdString(text));
        } else {
            window_.Bar(id)->SetWindowText(QString::fromStdString(text));
            window_.Bar(id)->update();
        }
    });
}

ui::LRESULT QtDialogHost::SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
    ui::LRESULT result = 0;
    OnWindow([&] {
        result = window_.Bar(id)->SendMessage(message, wParam, lParam);
        // A state change that does not paint (the percentage switch, the range) shows at the next
        // paint; asking for one costs nothing when nothing changed.
        window_.Bar(id)->update();
    });
    return result;
}

void QtDialogHost::BeginWaitCursor() {
    if (waitCursor_) return;
    waitCursor_ = true;
    OnWindow([] { QApplication::setOverrideCursor(Qt::WaitCursor); });
}

void QtDialogHost::SetLargeIcon() {
    OnWindow([this] { window_.setWindowIcon(ProgramIcon()); });
}

void QtDialogHost::EndDialog(int result) {
    LoopDialogHost::EndDialog(result);
    dialogEnded_ = true;
}

QMessageBox* QtDialogHost::CloseNotesOfTheRun() {
    if (!noteOfTheEnding_) CloseNote();
    return note_;
}

void QtDialogHost::CloseNote() {
    if (note_) note_->close();
    note_ = nullptr;
}

void QtDialogHost::ShowNote(const std::string& text) {
    shown_.AddNote(text);
    OnWindow([&] {
        // A note needs no answer: it stays beside the window until closed, replaced by a newer
        // note, or the dialog ends (unless the ending shows it).
        CloseNote();
        noteOfTheEnding_ = dialogEnded_;
        auto* box = new QMessageBox(QMessageBox::Information, QString::fromUtf8(app::kCaption.data(),
                                                                                static_cast<qsizetype>(app::kCaption.size())),
                                    QString::fromStdString(text), QMessageBox::Ok, &window_);
        box->setObjectName(QStringLiteral("note"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
        note_ = box;
    });
}

int RunDialogInWindow(MainWindow& window, QtDialogHost& host, const app::DialogOptions& options) {
    host.WatchSignals();
    window.show();
    int status = app::kExitCancelled;
    std::thread dialogThread([&] {
        app::CQuillonApp program(host, options);
        program.InitInstance();
        status = program.ExitStatus();
        QMetaObject::invokeMethod(&window, [&window, &host] {
            window.AllowClose();
            // The note of the ending (why the update stopped) keeps the program until it is
            // closed; not when a signal stopped the program or nobody is there to answer.
            QMessageBox* note = host.CloseNotesOfTheRun();
            if (!note || !note->isVisible() || host.EndsWithoutWaiting()) {
                QApplication::exit(0);
                return;
            }
            QObject::connect(note, &QObject::destroyed, &window, [] { QApplication::exit(0); });
        }, Qt::QueuedConnection);
    });
    QApplication::exec();
    dialogThread.join();
    return status;
}

int RunInWindow(int argc, char** argv, const app::DialogOptions& dialogOptions, QtOptions options) {
    if (options.handleSignals) {
        // Blocked before Qt starts threads of its own: a stop signal must reach the dialog's
        // signalfd, never end the process in another thread.
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    QApplication application(argc, argv);
    // Only the end of the dialog ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QtDialogHost* hostPointer = nullptr;
    MainWindow window([&hostPointer] {
        if (hostPointer) hostPointer->RequestStop();
    });
    QtDialogHost host(window, app::WatchDevicesAndPorts(), std::move(options));
    hostPointer = &host;
    return RunDialogInWindow(window, host, dialogOptions);
}


}  // namespace frontend::qt
