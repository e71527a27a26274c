// The dialog's window under the off-screen platform: its layout from the template at two font
// sizes, the about box, and whole updates through the window's host against the emulated device
// (the dialog on its own thread and the virtual clock, the window on this thread).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <memory>
#include <string>

#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "app/update_sequence.h"
#include "devlib/velmora.h"
#include "firmware/hex_reader.h"
#include "frontend/qt/main_window.h"
#include "frontend/qt/progress_widget.h"
#include "frontend/qt/qt_host.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "sim/newer_emulator.h"
#include "tests/app/test_images.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"
#include "ui/text_progress_ctrl.h"

namespace {

using frontend::qt::MainWindow;
using frontend::qt::QtDialogHost;

class QtWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static char name[] = "test_qt_window";
        static char* argv[] = {name, nullptr};
        static int argc = 1;
        if (!QApplication::instance()) app_ = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }
    static QApplication* app_;
};
QApplication* QtWindow::app_ = nullptr;

TEST_F(QtWindow, LayoutFollowsTheTemplateInTheWindowsFont) {
    int widthAt8 = 0;
    for (int points : {8, 14}) {
        SCOPED_TRACE(points);
        MainWindow window({});
        QFont font = window.font();
        font.setPointSize(points);
        window.setFont(font);
        const frontend::qt::DialogUnits u = frontend::qt::BaseUnitsOf(font);
        ASSERT_GT(u.baseX, 0);
        ASSERT_GT(u.baseY, 0);
        // 299 x 80 units; the controls at their template places.
        EXPECT_EQ(window.size(), QSize((299 * u.baseX + 2) / 4, (80 * u.baseY + 4) / 8));
        EXPECT_EQ(window.Heading()->geometry(), u.Rect(11, 11, 267, 11));
        EXPECT_EQ(window.Bar(app::IDC_PROGRESS_UPPER)->geometry(), u.Rect(11, 26, 270, 16));
        EXPECT_EQ(window.Bar(app::IDC_PROGRESS_LOWER)->geometry(), u.Rect(11, 46, 270, 16));
        // Everything inside the window, the heading above the upper bar above the lower one.
        const QRect client(QPoint(0, 0), window.size());
        for (QWidget* w : {static_cast<QWidget*>(window.Heading()), static_cast<QWidget*>(window.Bar(1002)),
                           static_cast<QWidget*>(window.Bar(1003))})
            EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
        EXPECT_LE(window.Heading()->geometry().bottom(), window.Bar(1003)->geometry().top());
        EXPECT_LT(window.Bar(1003)->geometry().bottom(), window.Bar(1002)->geometry().top());
        EXPECT_FALSE(window.windowIcon().isNull());
        if (points == 8)
            widthAt8 = window.width();
        else
            EXPECT_GT(window.width(), widthAt8 * 3 / 2);  // a larger font, a larger window
    }
}

TEST_F(QtWindow, AboutBox) {
    frontend::qt::AboutBox box;
    EXPECT_EQ(box.windowTitle(), "Info about  Quillon");
    EXPECT_EQ(box.findChild<QLabel*>("version")->text(), "Quillon version 2.60");
    const frontend::qt::DialogUnits u = frontend::qt::BaseUnitsOf(box.font());
    EXPECT_EQ(box.size(), QSize(u.X(235), u.Y(55)));
    EXPECT_EQ(MainWindow::AboutEntryText(), "&About Quillon...");
}

// Whole updates through the window's host.
class QtUpdate : public QtWindow {
protected:
    void SetUp() override {
        velmora::ResetLibraryForTest();
        app::ResetApplicationState();
        firmware::HexState() = firmware::HexReaderState{};
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        setenv("QUILLON_REPORT_HOST", "", 1);
        setenv("VELMORA_COM_PORTS", ("0A1F=" + dir / "port0").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        platform::SetEventSink(&sink);
        clock.SetLongPollSlice(5000, 1000);
        platform::SetClock(&clock);
    }
    void TearDown() override {
        if (emulator) emulator->Stop();
        for (int id = 0; id < velmora::kMaxDevices; ++id) velmora::Close(id);
        platform::SetClock(nullptr);
        platform::SetEventSink(nullptr);
        velmora::ResetLibraryForTest();
        for (const char* v : {"VELMORA_COMMON_APPDATA", "VELMORA_LOCK_DIR", "QUILLON_REPORT_HOST", "VELMORA_COM_PORTS",
                              "XDG_STATE_HOME"})
            unsetenv(v);
    }
    void StartDevice(const std::function<void(quillon_sim::DeviceState&)>& setup, bool throttle = false) {
        quillon_sim::EmulatorConfig config;
        config.throttle = throttle;
        config.linkPath = dir / "port0";
        config.device = quillon_sim::MakeDevice(1160);
        config.device.serial = "N11501";
        config.device.version = config.device.pendingVersion = 340;
        config.restartDelayMs = 1000;
        setup(config.device);
        emulator = std::make_unique<quillon_sim::NewerDeviceEmulator>(config);
        ASSERT_TRUE(emulator->Start());
    }

    testsupport::TempDir dir;
    testsupport::NullEventSink sink;
    platform::VirtualClock clock{platform::VirtualClock::DefaultStart(), 5};
    apptest::TestImages images;
    std::unique_ptr<quillon_sim::NewerDeviceEmulator> emulator;

    // Runs act on the window's thread once, while the dialog's thread waits for the window to
    // show the first step of the download (the lower bar moving in stage 1): the dialog is
    // writing the device then.
    class AtFirstDownloadStep : public QObject {
    public:
        AtFirstDownloadStep(MainWindow& window, std::function<void()> act) : window_(window), act_(std::move(act)) {
            window_.Bar(app::IDC_PROGRESS_LOWER)->installEventFilter(this);
        }
        bool done = false;

    protected:
        bool eventFilter(QObject*, QEvent* event) override {
            if (!done && event->type() == QEvent::Paint &&
                window_.Bar(app::IDC_PROGRESS_UPPER)->WindowText().toStdString() == app::kStageText[1] &&
                window_.Bar(app::IDC_PROGRESS_LOWER)->SendMessage(ui::PBM_GETPOS) > 0) {
                done = true;
                act_();
            }
            return false;
        }

    private:
        MainWindow& window_;
        std::function<void()> act_;
    };

    // The note boxes the window shows at the moment.
    static std::vector<std::string> VisibleNotes(MainWindow& window) {
        std::vector<std::string> texts;
        for (QMessageBox* box : window.findChildren<QMessageBox*>(QStringLiteral("note")))
            if (box->isVisible()) texts.push_back(box->text().toStdString());
        return texts;
    }

    // Eight blocks at the link's real rate: the download takes about a second.
    void UseEightBlocks() {
        images.controllerBytes = apptest::ControllerBytes(1160, 350, 0, 8 * 64496 - 100);
        images.controllerHex = apptest::HexOf(images.controllerBytes, apptest::TestImages::kBase);
    }

    // The window with its host as the program makes them, answering every box with OK or Yes.
    struct Window {
        static frontend::qt::QtOptions Options() {
            frontend::qt::QtOptions options;
            options.handleSignals = false;
            options.answerYes = true;
            return options;
        }
        MainWindow window{[this] { host.RequestStop(); }};
        QtDialogHost host{window, app::WatchDevicesAndPorts(false), Options()};
    };
};

TEST_F(QtUpdate, WholeUpdateEndsInTheWindowAtStage2) {
    // Eight blocks at the link's real rate: the download alone, one step of the dialog, takes
    // about a second.
    images.controllerBytes = apptest::ControllerBytes(1160, 350, 0, 8 * 64496 - 100);
    images.controllerHex = apptest::HexOf(images.controllerBytes, apptest::TestImages::kBase);
    StartDevice([](quillon_sim::DeviceState& d) { quillon_sim::SetEsp32Present(d, false); }, true);
    firmware::ScopedResourceStore store(images.Store());
    Window w;
    MainWindow& window = w.window;
    QtDialogHost& qtHost = w.host;
    // The window's thread keeps handling its events while the dialog works: the longest pause
    // between two ticks of a 10 ms timer here is far below what a desktop calls hung.
    QElapsedTimer sinceTick;
    qint64 longestPause = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (sinceTick.isValid()) longestPause = std::max(longestPause, sinceTick.elapsed());
        sinceTick.restart();
    });
    ticker.start(10);

    const int status = frontend::qt::RunDialogInWindow(window, qtHost, "/opt/quillon/quillon-0350_Norvik1150");
    ticker.stop();
    EXPECT_LT(longestPause, 500);
    EXPECT_EQ(status, app::kExitSuccess);
    const auto messages = qtHost.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text.substr(0, 11), "Attention\n\n");
    EXPECT_EQ(messages[0].buttons, app::MbButtons::OkCancel);
    EXPECT_EQ(messages[0].icon, app::MbIcon::Warning);
    // The system's text first; the program's details follow as a paragraph of their own.
    EXPECT_EQ(messages[1].text.rfind("Firmware successful updated.\n\n", 0), 0u) << messages[1].text;
    EXPECT_EQ(messages[1].caption, "Firmware update");
    EXPECT_EQ(messages[1].icon, app::MbIcon::Information);

    // The window as the update left it: stage 2, both bars full.
    EXPECT_EQ(window.windowTitle(), "Firmware update to Norvik 1150 | SNr.N11501 | FW 3.40 | Var 000 ");
    EXPECT_EQ(window.Heading()->text(), " Firmware update Norvik 1150 to Firmware 03.50 ");
    EXPECT_EQ(window.Bar(app::IDC_PROGRESS_UPPER)->WindowText(), "Firmware update part 2 of 4");
    EXPECT_EQ(window.Bar(app::IDC_PROGRESS_UPPER)->SendMessage(ui::PBM_GETPOS), 4);
    EXPECT_EQ(window.Bar(app::IDC_PROGRESS_LOWER)->WindowText(), "Reconnect Norvik 1150");
    EXPECT_EQ(window.Bar(app::IDC_PROGRESS_LOWER)->SendMessage(ui::PBM_GETPOS), 100);
    EXPECT_EQ(emulator->State().version, 350);
}

TEST_F(QtUpdate, ClosingTheWindowStopsTheUpdateThroughItsEnd) {
    // The device never comes back in Bootware: the window is closed while the dialog waits.
    StartDevice([](quillon_sim::DeviceState& d) { d.faults.insert(quillon_sim::Fault::NeverReturn); });
    firmware::ScopedResourceStore store(images.Store());
    Window w;
    MainWindow& window = w.window;
    QtDialogHost& qtHost = w.host;
    bool stillShownAfterClose = false;
    QTimer::singleShot(100, &window, [&] {
        window.close();
        stillShownAfterClose = window.isVisible();  // held until the dialog has ended
    });

    const int status = frontend::qt::RunDialogInWindow(window, qtHost, "/opt/quillon/quillon-0350_Norvik1150");
    EXPECT_EQ(status, app::kExitCancelled);
    EXPECT_TRUE(stillShownAfterClose);
    ASSERT_EQ(qtHost.Notes().size(), 1u);
    EXPECT_EQ(qtHost.Notes()[0].rfind(app::kStopped, 0), 0u) << qtHost.Notes()[0];
    EXPECT_FALSE(emulator->State().serviceMode);
    for (int id = 0; id < velmora::kMaxDevices; ++id) EXPECT_EQ(velmora::DeviceChannel(id), nullptr);
}

TEST_F(QtUpdate, EnterInTheWindowIsNoStopRequest) {
    // Enter pressed again and again during the write (a second press meant for a box that has
    // just closed), and the dialog's own accept, which Enter reaches through a default button:
    // the update goes on to its end.
    UseEightBlocks();
    StartDevice([](quillon_sim::DeviceState& d) { quillon_sim::SetEsp32Present(d, false); }, true);
    firmware::ScopedResourceStore store(images.Store());
    Window w;
    AtFirstDownloadStep enter(w.window, [&] {
        for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
            QKeyEvent press(QEvent::KeyPress, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            QApplication::sendEvent(&w.window, &press);
            QApplication::sendEvent(&w.window, &release);
        }
        w.window.accept();
    });

    const int status = frontend::qt::RunDialogInWindow(w.window, w.host, "/opt/quillon/quillon-0350_Norvik1150");
    EXPECT_TRUE(enter.done);
    EXPECT_EQ(status, app::kExitSuccess);
    EXPECT_TRUE(w.host.Notes().empty());
    ASSERT_FALSE(w.host.Messages().empty());
    EXPECT_EQ(w.host.Messages().back().text.rfind(app::kSuccess, 0), 0u) << w.host.Messages().back().text;
    EXPECT_EQ(emulator->State().version, 350);
}

TEST_F(QtUpdate, NotesCloseWithTheDialogButForTheStopsOwn) {
    // The window is closed while the device is written: the note that says the stop is held off
    // does not outlive the dialog. Either the stop at the next safe point replaces it with the
    // stop's own note, which stays (why the update ended), or a failure on the way ends the run
    // with its message box, and no note is left.
    struct Case {
        const char* name;
        bool corruptPage;
        int status;
        size_t notes;  // shown in the run
        bool stopNoteLeft;
    };
    for (const Case& c : {Case{"stopped at the next safe point", false, app::kExitCancelled, 2, true},
                          Case{"the read-back fails", true, app::kExitUpdateFailed, 1, false}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        UseEightBlocks();
        StartDevice([&](quillon_sim::DeviceState& d) {
            quillon_sim::SetEsp32Present(d, false);
            if (c.corruptPage) d.faults.insert(quillon_sim::Fault::CorruptPage);
        }, true);
        firmware::ScopedResourceStore store(images.Store());
        Window w;
        AtFirstDownloadStep close(w.window, [&] { w.window.close(); });

        const int status = frontend::qt::RunDialogInWindow(w.window, w.host, "/opt/quillon/quillon-0350_Norvik1150");
        EXPECT_TRUE(close.done);
        EXPECT_EQ(status, c.status);
        const auto notes = w.host.Notes();
        ASSERT_EQ(notes.size(), c.notes);
        EXPECT_EQ(notes[0], app::kStopHeldOff);
        const auto visible = VisibleNotes(w.window);
        if (c.stopNoteLeft) {
            EXPECT_EQ(notes[1].rfind(app::kStopped, 0), 0u) << notes[1];
            EXPECT_EQ(visible, std::vector<std::string>{notes[1]});
        } else {
            EXPECT_TRUE(visible.empty()) << visible.front();
            EXPECT_GT(w.host.Messages().size(), 1u);  // the failure's box ended the run
        }
    }
}

}  // namespace
