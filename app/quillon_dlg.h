// The application object and the main dialog: every member and application-wide variable of
// the update in one place. The steps live in three files: start_and_checks.cpp (start, checks,
// open, close, stages), update_sequence.cpp (timers, download, reconnect, device changes) and
// esp32_update.cpp (the ESP32 images through the SD card).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/dialog_host.h"
#include "app/exit_status.h"
#include "app/history.h"
#include "app/run_log.h"
#include "devlib/records.h"
#include "platform/sleep_inhibit.h"
#include "report/usage_report.h"

namespace app {

// Device id passed to every library call; -1 none.
extern int g_deviceID;
// g_deviceID after the first successful open at start.
extern int g_firstDeviceID;
// 0xFF: the device has not been seen again since the enter-Bootware command; 0: it has gone;
// 1: it was opened again in Bootware, the download may begin.
extern uint8_t g_bootwareState;
// TIMER_DOWNLOAD ticks spent waiting for the device in Bootware.
extern uint8_t g_bootwareWaitTicks;

// Puts the application-wide variables back to their initial values (one run per process;
// tests run several).
void ResetApplicationState();

struct DialogOptions {
    DialogOptions(std::string path = {}) : programPath(std::move(path)) {}  // NOLINT: a path is the common case
    DialogOptions(const char* path) : programPath(path) {}                   // NOLINT
    // Full path of the program file: its name carries the version the heading shows, and the
    // workaround message's caption is its name without the extension.
    std::string programPath;
    // --if-newer: a device that already runs this firmware or a newer one is left as it is.
    bool ifNewer = false;
    // Where the run logs and the history go ("": the user's state folder).
    std::string stateFolder;
};

// What the dialog is doing, for stop requests: during Writing the device must not be left.
enum class Activity { Idle, Writing, Reconnecting };

class CQuillonDlg {
public:
    CQuillonDlg(DialogHost& host, DialogOptions options);

    // Start and checks (start_and_checks.cpp).
    bool OnInitDialog();
    void StartUpdate();
    int OpenAndPrepareDevice();
    void CloseDeviceAndEnd();
    void SetStage(int stage);

    // Update sequence (update_sequence.cpp).
    void OnTimer(unsigned timerId);
    int OnDeviceChange(unsigned eventType, uintptr_t eventData);

    // ESP32 update (esp32_update.cpp).
    int UpdateEsp32();
    int SendFileToSdCard(int resourceId, const std::string& fileName);
    void InstallEsp32Images();

    // Esc, Enter, closing the window, Ctrl-C, SIGTERM. At a safe point the update ends through
    // CloseDeviceAndEnd; while the device is written or installs, the request waits with a note
    // for the next safe point.
    void RequestStop();
    // The host calls this whenever its loop is between two handlers: a held-off stop acts here.
    void OnIdle();
    // The program was suspended (Ctrl-Z) for this long on the installed clock and runs again: the
    // waits for the device do not count that time against their limits.
    void OnResumed(uint64_t suspendedMs);

    // Writes the end of the run log and the run's line of the history (after the dialog ended).
    void FinishRecords();

    bool Ended() const { return m_ended; }
    int ExitStatus() const { return m_exitStatus; }
    Activity CurrentActivity() const { return m_activity; }
    const velmora::DeviceInfo& DeviceInformation() const { return m_deviceInfo; }
    const velmora::SFDeviceSensors& Sensors() const { return m_sensors; }
    int UpdatePhase() const { return m_updatePhase; }
    int ReconnectTicks() const { return m_reconnectTicks; }
    const std::string& ExpectedSerial() const { return m_expectedSerial; }
    const RunLog& RunLogFile() const { return m_runLog; }
    const HistoryEntry& Record() const { return m_record; }
    // The program file's name without its extension: the workaround message's caption.
    std::string ApplicationName() const;

private:
    friend class CQuillonApp;

    // Every ending: the exit status, then CloseDeviceAndEnd.
    void EndWith(int exitStatus);
    // Shows a message box with the caption "Firmware update" and an OK button.
    void Message(const std::string& text, MbIcon icon);
    void ShowWorkaround(const std::string& firstLine = {});
    unsigned StartTimer(unsigned id, unsigned intervalMs);
    void StopTimer(unsigned id);
    bool HasOpenChannel(int deviceID) const;
    bool IsSameDevice(const velmora::DeviceInfo& info) const;
    // Switches the service mode off and closes the channel of an id an attempt opened.
    void CloseAttempt(int deviceID);
    // Checks the controller image before anything is written; 1, or the code for the message.
    int CheckControllerImage();
    bool Esp32ImagesPresent() const;
    bool WaitingForDevice() const;
    // Before the enter-Bootware command a stop ends the run at once: the host is asked for stop
    // requests, and when one came the run ends untouched (true).
    bool StoppedBeforeWrite();
    bool StopMayEndNow() const;
    // The note of a stop: what it leaves on the device.
    std::string_view StopNote() const;
    // Ends the run for a stop, with its note and details.
    void ShowStopNote(std::string_view note);
    // The waits for the device have run out: the endings of the two limits, wherever they are seen.
    void BootwareWaitExpired();
    void ReconnectExpired();
    bool BootwareWaitOver() const;
    bool ReconnectWaitOver() const;
    // Ends the run when the wait that runs now is over; true when it did.
    bool WaitLimitReached();

    // The run's records and the details of its messages (run_record.cpp).
    void BeginRecords();
    void Log(const std::string& line);
    void LogDevice(const char* when, const velmora::DeviceInfo& info);
    // What failed, for the details of the message that follows; nextStep replaces the one the
    // device's state gives.
    void SetCause(const std::string& cause, const std::string& nextStep = {});
    MessageDetails Details() const;
    // After success: the reminder of the warning's first point, and the run log.
    MessageDetails SuccessDetails() const;
    std::string DeviceStateText() const;
    std::string NextStepText() const;
    std::string Outcome() const;
    void Status(const std::string& text);
    // "about 1 min 20 s left": the bytes still to move at the rate measured so far, and the
    // sequence's own waits still ahead.
    std::string TimeLeft() const;
    // The line while a wait for the device runs: "...: 3 s, at most 10 s".
    void WaitStatus(const char* what, uint64_t waitedMs, uint64_t limitMs);
    // The questions before anything is written: true to go on.
    bool AskAboutVersion();
    // From the first open on, only the device at that place is opened again: after its restarts
    // another Norvik 1150 connected beside it is never taken for it.
    void BindToPort(const std::string& port);

    // update_sequence.cpp
    void DownloadStep();
    void ControllerDownload();
    void ReconnectStep();
    void DeviceChangeBeforeCommit();
    void DeviceChangeAfterCommit();

    DialogHost& m_host;
    DialogOptions m_options;

    // Members of the dialog.
    velmora::DeviceInfo m_deviceInfo{};
    int m_imageModel = 0;
    int m_imageVersion = 0;
    int m_imageVariant = 0;
    unsigned m_downloadTimerId = 0;
    int m_updatePhase = 0;     // 0 before the commit; 1 from the commit on; 2 success without ESP32
    int m_reconnectTicks = 0;
    std::string m_expectedSerial;  // the serial read at start, or "BOOTWARE"
    report::ReportRecord m_report;
    velmora::SFDeviceSensors m_sensors{};

    // The sound behaviour around the original's steps.
    bool m_ended = false;
    int m_exitStatus = kExitCancelled;
    bool m_downloadTimerRunning = false;
    bool m_reconnectTimerRunning = false;
    uint64_t m_reconnectStartMs = 0;
    uint64_t m_bootwareStartMs = 0;      // when the enter-Bootware command was accepted
    bool m_bootwareEntered = false;      // the enter-Bootware command was accepted
    bool m_sensorsRead = false;          // m_sensors holds a reading of this device
    bool m_seenInBootwareAfterCommit = false;
    bool m_newFirmwareSeen = false;      // the device came back running the image's firmware
    bool m_sensorReadFailed = false;     // the last reconnect tick could not read the sensors
    Activity m_activity = Activity::Idle;
    bool m_stopRequested = false;
    bool m_stopNoteShown = false;
    std::unique_ptr<platform::SleepInhibit> m_sleepBlock;  // from the update's start to its end

    // The run's records: the run log, the history line, what the details say.
    RunLog m_runLog;
    HistoryEntry m_record;
    uint64_t m_startMs = 0;
    bool m_recordsBegun = false;
    bool m_recordsFinished = false;
    std::string m_cause;
    std::string m_nextStep;
    bool m_deviceIdentified = false;     // m_startInfo holds the device as it was at the start
    velmora::DeviceInfo m_startInfo{};
    int m_blocksWritten = 0;             // blocks the device accepted
    bool m_esp32Started = false;         // the first ESP32 file went to the card
    bool m_upToDate = false;             // left as it was: it already runs this firmware or a newer one

    // What the status line's estimate of the time left is made of.
    int m_imageBlocks = 0;               // blocks of the controller image
    uint64_t m_imageBytes = 0;           // and their bytes
    uint64_t m_bytesWritten = 0;         // controller bytes written and read back so far
    uint64_t m_linkBytes = 0;            // bytes moved over the link in the write, both ways
    uint64_t m_linkMs = 0;               // and the time that took
    uint64_t m_esp32BytesLeft = 0;       // of the ESP32 images still to copy
};

class CQuillonApp {
public:
    CQuillonApp(DialogHost& host, DialogOptions options) : m_host(host), m_options(std::move(options)) {}
    // Runs the dialog modally and returns false: the program ends after the dialog.
    bool InitInstance();
    // The dialog's exit status once InitInstance has returned.
    int ExitStatus() const { return m_exitStatus; }

private:
    DialogHost& m_host;
    DialogOptions m_options;
    int m_exitStatus = kExitCancelled;
};

}  // namespace app
