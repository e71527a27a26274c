// The devices of --all in a window under the off-screen platform, against quillon-devsim
// processes: each device updated by a program of its own (the real quillon --json), the rows and
// outcomes in the table, the warning asked once in the window, closing the window as a stop
// request to every device, the summary and the exit status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTableWidget>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/exit_status.h"
#include "app/history.h"
#include "app/start_and_checks.h"
#include "frontend/qt/devices_window.h"
#include "tests/support/exec.h"
#include "tests/support/offscreen_qt.h"
#include "tests/support/temp_dir.h"

namespace {

using frontend::qt::DevicesWindow;
using testsupport::ReadFile;

class DevicesInWindow : public testsupport::OffscreenQtTest {
protected:
    void SetUp() override {
        // The supervisor looks for the devices here; the devices' programs inherit all of it.
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        std::string ports;
        for (int n = 1; n <= 3; ++n) ports += "0A1F=" + Link(n) + ";";
        setenv("VELMORA_COM_PORTS", ports.c_str(), 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
    }
    void TearDown() override {
        StopDevices();
        for (const char* v : {"VELMORA_COMMON_APPDATA", "VELMORA_LOCK_DIR", "VELMORA_COM_PORTS", "XDG_STATE_HOME",
                              "DBUS_SYSTEM_BUS_ADDRESS"})
            unsetenv(v);
    }

    std::string Link(int n) const { return dir / ("port" + std::to_string(n)); }
    std::string Serial(int n) const { return "N1150" + std::to_string(n); }

    void StartDevice(int n, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {QUILLON_DEVSIM_PATH, "--link", Link(n), "--serial", Serial(n), "--version", "340",
                                         "--restart-delay", "500", "--quiet", "--state-out",
                                         dir / ("state" + std::to_string(n))};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            testsupport::Exec(args);
        }
        for (int i = 0; i < 300 && !std::filesystem::is_symlink(Link(n)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(std::filesystem::is_symlink(Link(n)));
        devices[n] = pid;
    }
    // The devices write their state when they end.
    void StopDevices() {
        for (auto& [n, pid] : devices) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        devices.clear();
    }
    std::string DeviceState(int n) const { return ReadFile(dir / ("state" + std::to_string(n))); }

    static frontend::supervisor::Options AllOptions(bool answerYes) {
        frontend::supervisor::Options options;
        options.program = QUILLON_PATH;
        options.answerYes = answerYes;
        return options;
    }

    // The table's rows by the serial in them: column name -> text.
    static std::map<std::string, std::map<int, std::string>> Rows(DevicesWindow& window) {
        std::map<std::string, std::map<int, std::string>> rows;
        QTableWidget* table = window.Table();
        for (int r = 0; r < table->rowCount(); ++r) {
            std::map<int, std::string> row;
            for (int c = 0; c < DevicesWindow::kColumns; ++c)
                row[c] = table->item(r, c) ? table->item(r, c)->text().toStdString() : "";
            rows[row[DevicesWindow::kSerial]] = row;
        }
        return rows;
    }

    // Answers each message box the window opens with a key, where the focus is; records them.
    struct BoxAnswers {
        explicit BoxAnswers(std::function<int(const QMessageBox&)> key) : key_(std::move(key)) {
            QObject::connect(&poll_, &QTimer::timeout, [this] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box || box == last_.data()) return;
                last_ = box;
                texts.push_back(box->text().toStdString());
                icons.push_back(box->icon());
                QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : box;
                QKeyEvent press(QEvent::KeyPress, key_(*box), Qt::NoModifier);
                QApplication::sendEvent(target, &press);
            });
            poll_.start(20);
        }
        std::vector<std::string> texts;
        std::vector<QMessageBox::Icon> icons;

    private:
        std::function<int(const QMessageBox&)> key_;
        QTimer poll_;
        QPointer<QMessageBox> last_;  // null again once the box is gone
    };

    // The window with its view as the program makes them: its stop requests go to the view.
    struct Shown {
        explicit Shown(bool answerYes) : view(window, answerYes) { viewPointer = &view; }
        frontend::qt::WindowView* viewPointer = nullptr;
        DevicesWindow window{false, [this] {
                                 if (viewPointer) viewPointer->RequestStop();
                             }};
        frontend::qt::WindowView view;
    };

    testsupport::TempDir dir;
    std::map<int, pid_t> devices;
};

// Two devices with --yes, one of which fails: both rows end with their outcomes, the failure's
// cause on its row, the exit status says not all were updated, and no box waits for anybody.
TEST_F(DevicesInWindow, EveryDeviceHasItsRowAndOutcome) {
    StartDevice(1);
    StartDevice(2, {"--fault", "corrupt-page"});
    Shown w(true);
    DevicesWindow& window = w.window;
    BoxAnswers boxes([](const QMessageBox&) { return Qt::Key_Escape; });

    const int status = frontend::qt::RunDevicesInWindow(window, w.view, AllOptions(true));
    EXPECT_EQ(status, app::kExitUpdateFailed);
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.front();
    EXPECT_EQ(window.Found()->text().toStdString(), "Found 2 Norvik 1150s.");
    EXPECT_FALSE(window.Warning()->isVisible());
    const auto rows = Rows(window);
    ASSERT_EQ(rows.size(), 2u);
    const auto& updated = rows.at(Serial(1));
    EXPECT_EQ(updated.at(DevicesWindow::kFirmware), "3.40 \u2192 3.50");
    EXPECT_EQ(updated.at(DevicesWindow::kStage), "4 of 4");
    EXPECT_EQ(updated.at(DevicesWindow::kProgress), "100%");
    EXPECT_EQ(updated.at(DevicesWindow::kOutcome), "updated (exit 0)");
    EXPECT_EQ(updated.at(DevicesWindow::kDevice), Link(1));
    const auto& failed = rows.at(Serial(2));
    EXPECT_EQ(failed.at(DevicesWindow::kOutcome), "failed (exit 1)");
    EXPECT_NE(failed.at(DevicesWindow::kStatus).find("page 4 of the controller image read back"), std::string::npos)
        << failed.at(DevicesWindow::kStatus);
    StopDevices();
    EXPECT_NE(DeviceState(1).find("version 350\n"), std::string::npos);
}

// Without --yes: Esc on the warning cancels before any device is touched; OK (Enter) updates
// every device after the one question. A device that already runs this firmware asks its own
// question, which the supervisor answers No without troubling the window (the device is left up
// to date); the summary box ends the run.
TEST_F(DevicesInWindow, TheWarningIsAskedOnceAndTheSummaryEndsTheRun) {
    StartDevice(1);
    StartDevice(2);
    StartDevice(3, {"--version", "350"});
    {
        Shown w(false);
        BoxAnswers boxes([](const QMessageBox&) { return Qt::Key_Escape; });
        EXPECT_EQ(frontend::qt::RunDevicesInWindow(w.window, w.view, AllOptions(false)), app::kExitCancelled);
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], app::kWarningText);
        EXPECT_EQ(w.window.Table()->rowCount(), 0);
        EXPECT_TRUE(app::ReadHistory(dir / "state/quillon").empty());
    }
    Shown w(false);
    DevicesWindow& window = w.window;
    BoxAnswers boxes([](const QMessageBox&) { return Qt::Key_Return; });
    const int status = frontend::qt::RunDevicesInWindow(window, w.view, AllOptions(false));
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts[0], app::kWarningText);
    EXPECT_EQ(boxes.icons[0], QMessageBox::Warning);
    const std::string& summary = boxes.texts[1];
    EXPECT_EQ(summary.rfind("Every Norvik 1150 was updated or was up to date already.\n\n", 0), 0u) << summary;
    EXPECT_EQ(boxes.icons[1], QMessageBox::Information);
    for (int n : {1, 2, 3}) EXPECT_NE(summary.find("(serial " + Serial(n) + ")"), std::string::npos) << summary;
    const auto rows = Rows(window);
    ASSERT_EQ(rows.size(), 3u);
    for (int n : {1, 2}) EXPECT_EQ(rows.at(Serial(n)).at(DevicesWindow::kOutcome), "updated (exit 0)");
    EXPECT_EQ(rows.at(Serial(3)).at(DevicesWindow::kOutcome), "up-to-date (exit 6)");
    EXPECT_EQ(rows.at(Serial(3)).at(DevicesWindow::kStatus), "left as it is: it runs this firmware or a newer one");
    EXPECT_EQ(status, app::kExitSuccess);
    StopDevices();
    for (int n : {1, 2}) EXPECT_NE(DeviceState(n).find("version 350\n"), std::string::npos);
    EXPECT_NE(DeviceState(3).find("enter-bootware-sent 0\n"), std::string::npos);
}

// Closing the window during the updates is a stop request to every device's program; each
// stops at its own safe point, and the window stays until they have.
TEST_F(DevicesInWindow, ClosingTheWindowStopsEveryDevice) {
    StartDevice(1, {"--restart-delay", "6000"});
    StartDevice(2, {"--restart-delay", "6000"});
    Shown w(true);
    bool closedWhileRunning = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const auto rows = Rows(w.window);
        if (rows.size() != 2) return;
        for (const auto& [serial, row] : rows)
            if (row.at(DevicesWindow::kStage) != "1 of 4") return;
        poll.stop();
        w.window.close();
        closedWhileRunning = w.window.isVisible();
    });
    poll.start(50);

    const int status = frontend::qt::RunDevicesInWindow(w.window, w.view, AllOptions(true));
    EXPECT_TRUE(closedWhileRunning);
    EXPECT_EQ(status, app::kExitUpdateFailed);
    const auto rows = Rows(w.window);
    ASSERT_EQ(rows.size(), 2u);
    for (int n : {1, 2}) EXPECT_EQ(rows.at(Serial(n)).at(DevicesWindow::kOutcome), "stopped (exit 6)");
    EXPECT_NE(w.window.Footer()->text().toStdString().find("Stopping"), std::string::npos);
    for (const auto& entry : app::ReadHistory(dir / "state/quillon")) EXPECT_EQ(entry.outcome, "stopped");
}

}  // namespace
