// The dialog in a Qt window. The window lives on the program's main thread and never waits for
// the device: the dialog, every library call and the dialog's message loop (timers, device
// changes, stop requests) run on a thread of their own, and each thing the dialog shows is handed
// to the window's thread and waited for there. So the window repaints and answers the desktop
// during a whole download or installation, while the dialog sees ticks and device changes only
// between its handlers, as in the terminal.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QPointer>

#include "app/loop_dialog_host.h"
#include "app/quillon_dlg.h"
#include "app/window_answers.h"

class QMessageBox;
class QWidget;

namespace frontend::qt {

class MainWindow;

// Shows a message box modally over parent and returns the button pressed (app::IDOK, ...).
// noByDefault: a Yes/No box whose default button (Enter) is No.
int ShowBox(QWidget* parent, const std::string& text, const std::string& caption, app::MbButtons buttons,
            app::MbIcon icon, bool noByDefault = false);

struct QtOptions : app::WindowAnswers {
    bool handleSignals = true;
};

class QtDialogHost : public app::LoopDialogHost {
public:
    QtDialogHost(MainWindow& window, std::unique_ptr<platform::DeviceWatch> watch, QtOptions options);
    ~QtDialogHost() override;

    void RunModal(app::CQuillonDlg& dialog) override;
    int MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                   app::MbIcon icon) override;
    // A Yes/No box whose default button is No: Enter answers No.
    int AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) override;
    void SetStatusText(const std::string& text) override;
    void SetWindowTitle(const std::string& title) override;
    void SetDlgItemText(int id, const std::string& text) override;
    ui::LRESULT SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override;
    void BeginWaitCursor() override;
    void SetLargeIcon() override;
    void KeepAlive() override;
    void ShowNote(const std::string& text) override;

    // From any thread: Esc, Enter, closing the window, a signal.
    void RequestStop();
    // Takes SIGINT, SIGTERM and SIGHUP on the window's thread as stop requests; one that comes
    // while a message box waits closes the box (Cancel or No).
    void WatchSignals();

    using Shown = app::ShownLog::Box;
    // Every message box the dialog asked for, in order (shown or answered by --yes).
    std::vector<Shown> Messages() const { return shown_.Boxes(); }
    std::vector<std::string> Notes() const { return shown_.Notes(); }
    // Whether the program ends at once when the dialog has, open notes or not: --yes, or a signal.
    bool EndsWithoutWaiting() const { return options_.answerYes || signalled_; }
    // The dialog has ended: the end of the modal run comes once the current handler returns.
    void EndDialog(int result) override;
    // The notes of the run close when the dialog ends, but for the one the ending itself shows
    // (why the update stopped); returns that one, if any (window's thread). There is one note
    // at most: a newer note replaces the open one.
    QMessageBox* CloseNotesOfTheRun();

protected:
    void AfterDispatch() override;

private:
    // Runs f on the window's thread and waits for it.
    void OnWindow(const std::function<void()>& f);
    void TakeStops();
    int Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
            bool noByDefault);
    // Closes the note on the screen (window's thread).
    void CloseNote();

    MainWindow& window_;
    QtOptions options_;
    int wakeFd_ = -1;
    int signalFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> signalled_{false};
    bool waitCursor_ = false;
    app::ShownLog shown_;
    std::atomic<bool> dialogEnded_{false};
    QPointer<QMessageBox> note_;   // window's thread
    bool noteOfTheEnding_ = false;  // window's thread
};

// Runs the dialog in a window that exists (in a running QApplication) until it ends; returns
// the exit status. The window may close afterwards.
int RunDialogInWindow(MainWindow& window, QtDialogHost& host, const app::DialogOptions& options);

// Runs the whole program in a window: returns its exit status.
int RunInWindow(int argc, char** argv, const app::DialogOptions& dialogOptions, QtOptions options);


}  // namespace frontend::qt
