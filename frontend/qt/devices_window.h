// The devices of --all and --watch in a window: a row per device (its place on the USB, serial,
// firmware before and after, stage, both bars' positions, status, outcome), the warning asked once,
// a summary at the end. Closing the window or Esc is a stop request to every device's program.
// The supervisor runs on a thread of its own and hands what it shows to the window's thread; the
// device's programs run as JSON and never load the window.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <QDialog>

#include "frontend/supervisor/supervisor.h"

class QLabel;
class QTableWidget;

namespace frontend::qt {

// One device's row as the window shows it: a copy, as the supervisor's thread owns the runs.
struct DeviceRow {
    std::string where;     // "USB 1-1.4", else the port
    std::string serial;
    std::string firmware;  // "3.40 → 3.50"
    int stage = 0;
    int upper = 0, upperMaximum = 4;
    int lower = 0, lowerMaximum = 100;
    std::string status;    // what it does, or why it failed
    std::string outcome;   // "" while it runs
    int exitStatus = -1;
    bool ended = false;
    bool succeeded = false;
};
DeviceRow RowOf(const supervisor::DeviceRun& run);

class DevicesWindow : public QDialog {
    Q_OBJECT
public:
    // The columns of the table.
    enum Column { kDevice, kSerial, kFirmware, kStage, kProgress, kStatus, kOutcome, kColumns };

    DevicesWindow(bool watch, std::function<void()> onStopRequest, QWidget* parent = nullptr);

    QTableWidget* Table() { return table_; }
    QLabel* Found() { return found_; }
    QLabel* Warning() { return warning_; }
    QLabel* Footer() { return footer_; }

    void SetFound(const QString& text);
    void ShowRows(const std::vector<DeviceRow>& rows, const supervisor::RunState& state);
    void AddNote(const QString& line);
    // From now on the window may close (the supervisor has ended).
    void AllowClose() { closeAllowed_ = true; }

protected:
    void closeEvent(QCloseEvent* event) override;

public Q_SLOTS:
    // Esc: a stop request, as closing the window is. Enter is none.
    void reject() override;
    void accept() override;

private:
    void ShowFooter();

    std::function<void()> onStopRequest_;
    bool closeAllowed_ = false;
    QLabel* found_;
    QLabel* warning_;
    QTableWidget* table_;
    QLabel* footer_;
    QString state_;            // the tally and the stop, as the last rows came
    std::vector<QString> notes_;
};

// The supervisor's view on the window: what it shows goes to the window's thread; the warning
// waits for the user's answer there; stop requests come back through a handle the supervisor
// waits on.
class WindowView : public supervisor::View {
public:
    WindowView(DevicesWindow& window, bool answerYes);
    ~WindowView() override;

    // From any thread: closing the window, Esc, a signal.
    void RequestStop();

    void Say(const std::string& text) override;
    bool ConfirmWarning() override;
    platform::EventHandle WakeHandle() const override { return wakeFd_; }
    supervisor::ViewSignals TakeSignals() override;
    void Note(const std::string& line) override;
    void DeviceStep(const supervisor::DeviceRun&, const app::json::Value&) override {}
    void DeviceEnded(const supervisor::DeviceRun&, const std::string&) override {}
    void Show(const std::vector<std::unique_ptr<supervisor::DeviceRun>>& runs,
              const supervisor::RunState& state) override;
    void Finish(const std::vector<std::unique_ptr<supervisor::DeviceRun>>& runs, const supervisor::RunState& state,
                int status) override;

    // What the run ends with (window's thread, once the supervisor has ended): its summary, or
    // what it said when it ended before any device was started.
    bool Finished() const { return finished_; }
    const std::string& Summary() const { return summary_; }
    const std::string& Said() const { return said_; }
    bool AnswerYes() const { return answerYes_; }

private:
    DevicesWindow& window_;
    bool answerYes_;
    int wakeFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    // Window's thread.
    bool finished_ = false;
    std::string summary_;
    std::string said_;
};

// Runs the supervisor with the window (in a running QApplication) until it has ended and its
// summary was seen (not with --yes); returns the exit status. The window may close afterwards.
int RunDevicesInWindow(DevicesWindow& window, WindowView& view, const supervisor::Options& options);

// The whole of --all or --watch in a window: returns the exit status. handleSignals: SIGINT,
// SIGTERM and SIGHUP are stop requests.
int RunDevicesWindow(int argc, char** argv, const supervisor::Options& options, bool handleSignals);

}  // namespace frontend::qt
