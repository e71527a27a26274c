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
#include <QPointer>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

#include <cstdlib>
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
#include "tests/support/offscreen_qt.h"
#include "tests/support/temp_dir.h"
#include "ui/text_progress_ctrl.h"

namespace {

using frontend::qt::MainWindow;
using frontend::qt::QtDialogHost;

class QtWindow : public testsupport::OffscreenQtTest {};

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
        // 299 units wide; the controls at their template places, the status line beneath them
        // (the window 91 units high rather than 80 for it).
        EXPECT_EQ(window.size(), QSize((299 * u.baseX + 2) / 4, (91 * u.baseY + 4) / 8));
        EXPECT_EQ(window.Heading()->geometry(), u.Rect(11, 11, 267, 11));
        EXPECT_EQ(window.Bar(app::IDC_PROGRESS_UPPER)->geometry(), u.Rect(11, 26, 270, 16));
        EXPECT_EQ(window.Bar(app::IDC_PROGRESS_LOWER)->geometry(), u.Rect(11, 46, 270, 16));
        EXPECT_EQ(window.Status()->geometry(), u.Rect(11, 66, 270, 18));
        // Everything inside the window, the heading above the upper bar above the lower one above
        // the status line.
        const QRect client(QPoint(0, 0), window.size());
        for (QWidget* w : {static_cast<QWidget*>(window.Heading()), static_cast<QWidget*>(window.Bar(1002)),
                           static_cast<QWidget*>(window.Bar(1003)), static_cast<QWidget*>(window.Status())})
            EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
        EXPECT_LE(window.Heading()->geometry().bottom(), window.Bar(1003)->geometry().top());
        EXPECT_LT(window.Bar(1003)->geometry().bottom(), window.Bar(1002)->geometry().top());
        EXPECT_LT(window.Bar(1002)->geometry().bottom(), window.Status()->geometry().top());
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

// Pixels of the status line's area in the warning's colour, as the window paints them.
int WarningPixels(MainWindow& window) {
    const QImage image = window.grab(window.Status()->geometry()).toImage();
    const QColor warning = frontend::qt::WarningColor();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - warning.red()) + std::abs(c.green() - warning.green()) +
                    std::abs(c.blue() - warning.blue()) < 60)
                ++count;
        }
    return count;
}

std::string ShownStatus(MainWindow& window) {
    QTextDocument document;
    document.setHtml(window.Status()->text());
    return document.toPlainText().toStdString();
}

TEST_F(QtWindow, StatusLineShowsTheWholeTextAndTheWarningStandsOut) {
    const std::string warning = "Do not disconnect or switch off the Norvik 1150.";
    const std::string wait = "Waiting for it to restart with the new firmware: 3 s, at most 100 s; about 1 min 30 s left.";
    // Longer than the two lines hold at a large font: the window grows, and stays so.
    const std::string longer = warning + " Copying esp32_partition_table_and_bootloader_image.bin to its SD card; " +
                               "the card is slow today and the copy takes its time; about 12 min 30 s left.";
    for (int points : {8, 16}) {
        SCOPED_TRACE(points);
        MainWindow window({});
        QFont font = window.font();
        font.setPointSize(points);
        window.setFont(font);
        window.show();
        const QSize initial = window.size();

        window.SetStatusText(QString::fromStdString("Checking the Norvik 1150 on /dev/ttyACM0 <&>..."));
        EXPECT_EQ(ShownStatus(window), "Checking the Norvik 1150 on /dev/ttyACM0 <&>...");
        EXPECT_EQ(WarningPixels(window), 0);
        EXPECT_FALSE(window.Status()->fontInfo().bold());

        window.SetStatusText(QString::fromStdString(warning + " " + wait));
        // The warning on a line of its own, in its colour; what is awaited beneath it.
        EXPECT_EQ(ShownStatus(window), warning + "\n" + wait);
        EXPECT_GT(WarningPixels(window), 20);

        for (const std::string& text : {warning + " " + wait, longer}) {
            window.SetStatusText(QString::fromStdString(text));
            QLabel* status = window.Status();
            EXPECT_LE(status->heightForWidth(status->width()), status->height()) << text;
            EXPECT_TRUE(QRect(QPoint(0, 0), window.size()).contains(status->geometry()));
            EXPECT_EQ(status->width(), window.Bar(app::IDC_PROGRESS_LOWER)->width());
        }
        EXPECT_EQ(window.width(), initial.width());
        if (points == 16) {
            EXPECT_GT(window.height(), initial.height());
        }
        // A shorter text again: the window keeps its height rather than jumping.
        const QSize grown = window.size();
        window.SetStatusText(QStringLiteral("The update is complete."));
        EXPECT_EQ(window.size(), grown);
        EXPECT_EQ(WarningPixels(window), 0);
    }
}

TEST_F(QtWindow, NoIsTheDefaultOfTheQuestionBeforeAnOlderFirmware) {
    // Enter, pressed where the focus is, answers the box: No for the question whose preselected
    // answer is No, Yes for an ordinary Yes/No question.
    MainWindow window({});
    frontend::qt::QtOptions options;
    options.handleSignals = false;
    QtDialogHost host(window, app::WatchDevicesAndPorts(false), options);
    window.show();
    for (bool noByDefault : {true, false}) {
        SCOPED_TRACE(noByDefault);
        std::string defaultButton;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            poll.stop();
            if (box->defaultButton()) defaultButton = box->defaultButton()->text().toStdString();
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : box;
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(target, &press);
            QApplication::sendEvent(target, &release);
        });
        poll.start(20);
        const int answer = noByDefault ? host.AskNoByDefault("Install the older firmware?", "Firmware update",
                                                             app::MbIcon::Warning)
                                       : host.MessageBox("Install it again?", "Firmware update", app::MbButtons::YesNo,
                                                         app::MbIcon::Warning);
        EXPECT_EQ(answer, noByDefault ? app::IDNO : app::IDYES);
        EXPECT_EQ(defaultButton, noByDefault ? "&No" : "&Yes");
    }
    window.AllowClose();
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
    // The lower bar first moves while the device restarts in Bootware: the status line beneath
    // the bars counts the wait under the warning.
    std::string statusDuringRestart;
    int warningPixels = 0;
    AtFirstDownloadStep atRestart(window, [&] {
        statusDuringRestart = ShownStatus(window);
        warningPixels = WarningPixels(window);
    });

    const int status = frontend::qt::RunDialogInWindow(window, qtHost, "/opt/quillon/quillon-0350_Norvik1150");
    ticker.stop();
    EXPECT_LT(longestPause, 500);
    ASSERT_TRUE(atRestart.done);
    EXPECT_EQ(statusDuringRestart.rfind("Do not disconnect or switch off the Norvik 1150.\nWaiting for it to restart in Bootware: ", 0), 0u)
        << statusDuringRestart;
    EXPECT_NE(statusDuringRestart.find(" s, at most 10 s; about "), std::string::npos) << statusDuringRestart;
    EXPECT_GT(warningPixels, 20);
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

TEST_F(QtUpdate, EnterAnswersNoBeforeAnOlderFirmware) {
    // The device runs 3.60, the program brings 3.50: the question before the older firmware is
    // shown, Enter answers it, and the device is left as it is.
    StartDevice([](quillon_sim::DeviceState& d) { d.version = d.pendingVersion = 360; });
    firmware::ScopedResourceStore store(images.Store());
    MainWindow window([] {});
    frontend::qt::QtOptions options;
    options.handleSignals = false;
    // The warning is answered OK here; every other box is shown.
    options.answer = [](const std::string& text, const std::string&, app::MbButtons, app::MbIcon) {
        return text.rfind("Attention", 0) == 0 ? app::IDOK : 0;
    };
    QtDialogHost host(window, app::WatchDevicesAndPorts(false), options);
    // Every box is answered with Enter (should the update go on, its final message too).
    std::string question;
    QPointer<QMessageBox> answered;  // null again once the box is gone
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == answered.data()) return;
        answered = box;
        if (question.empty()) question = box->text().toStdString();
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : box;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    });
    poll.start(20);

    const int status = frontend::qt::RunDialogInWindow(window, host, "/opt/quillon/quillon-0350_Norvik1150");
    poll.stop();
    EXPECT_EQ(status, app::kExitCancelled);
    EXPECT_NE(question.find("3.60"), std::string::npos) << question;
    const auto messages = host.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].buttons, app::MbButtons::YesNo);
    EXPECT_EQ(messages[1].answer, app::IDNO);
    EXPECT_EQ(emulator->State().version, 360);
    EXPECT_FALSE(emulator->State().serviceMode);
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
