// Several devices at once: one update program per device (quillon --json --port <its port>),
// started and watched by this front end, which reads their events and shows them together. The
// library's state is per process, so a process per device is the sound unit; a failure of one
// never stops the others, and a stop request reaches each program, which stops at its own safe
// point. What it shows and asks goes through a view: the table in the terminal, or a window.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/json.h"
#include "frontend/device_list.h"
#include "platform/child_process.h"
#include "platform/clock.h"

namespace frontend::supervisor {

// One device's update as its program's events tell it.
struct DeviceRun {
    std::string port;         // the port the program was bound to
    std::string usbLocation;  // or ""
    std::string serial;       // from the device (untrusted)
    std::string firmwareBefore;
    std::string firmwareAfter;
    int stage = 0;
    int upper = 0, upperMaximum = 4;
    int lower = 0, lowerMaximum = 100;
    std::string lowerText;
    std::string status;
    std::string cause;        // of its last failure message
    std::string outcome;      // updated, up-to-date, refused, failed, stopped ("" while it runs)
    int exitStatus = -1;
    std::string runLog;
    bool started = false;     // its program runs or ran
    bool ended = false;

    std::unique_ptr<platform::ChildProcess> program;
    std::string pending;      // output not yet a whole line
};

// Applies one event of a device's program to its state; returns the question to answer when the
// event is one (else null).
const app::json::Value* ApplyEvent(DeviceRun& run, const app::json::Value& event);

// Whether the run ended well: updated, or up to date.
bool Succeeded(const DeviceRun& run);

// The exit status of the whole: 0 when every device ended updated or up to date, else 1.
int OverallStatus(const std::vector<std::unique_ptr<DeviceRun>>& runs);

// The table of all devices (location, serial, firmware before -> after, stage, positions, status
// or outcome), for a terminal of that many columns; texts of devices filtered for the terminal.
std::string Table(const std::vector<std::unique_ptr<DeviceRun>>& runs, size_t columns);

// One line per device at the end: its outcome, exit status and run log.
std::string Summary(const std::vector<std::unique_ptr<DeviceRun>>& runs);

struct Options {
    std::string program;      // the update program to start per device (this program's file)
    bool answerYes = false;   // --yes: passed on; else the warning is asked once here
    bool ifNewer = false;     // --if-newer (always with --watch)
    bool watch = false;       // stay running and update each device as it is plugged in
    bool drawInPlace = true;  // a terminal: the table redrawn in place
};

// The run as a whole, besides the rows.
struct RunState {
    bool watch = false;     // --watch: devices come and go until a stop request
    bool stopping = false;  // a stop request was passed on to every device's program
    bool allEnded = false;  // no device's program runs
    std::string tally;      // "updated 1, up to date 0, failed 0" (devices ended so far)
};

// What came to a view since its last look.
struct ViewSignals {
    bool stop = false;    // a stop request: Ctrl-C, SIGTERM, closing the window, Esc
    bool redraw = false;  // the view wants the devices again (a resized terminal, ...)
};

// Where the supervisor shows the devices and asks the user: a table in the terminal, or a
// window. The supervisor calls it on the thread that runs the supervisor.
class View {
public:
    virtual ~View() = default;
    // Text of the run's start: the devices found, nothing to update.
    virtual void Say(const std::string& text) = 0;
    // The warning, asked once for every device (not with --yes); true for OK.
    virtual bool ConfirmWarning() = 0;
    // Has input when a stop request or another signal of TakeSignals came (kNoEventHandle: none).
    virtual platform::EventHandle WakeHandle() const = 0;
    virtual ViewSignals TakeSignals() = 0;
    // A note of the run: a device done in this run already, the stop passed on.
    virtual void Note(const std::string& line) = 0;
    // A device's program reached another stage, or said a message (its event).
    virtual void DeviceStep(const DeviceRun& run, const app::json::Value& event) = 0;
    // A device's program has ended; line: its outcome in one line.
    virtual void DeviceEnded(const DeviceRun& run, const std::string& line) = 0;
    // The devices as they are now: at most every quarter second while they change, and at the end.
    virtual void Show(const std::vector<std::unique_ptr<DeviceRun>>& runs, const RunState& state) = 0;
    // The run has ended with this exit status, after its last Show.
    virtual void Finish(const std::vector<std::unique_ptr<DeviceRun>>& runs, const RunState& state, int status) = 0;
};

// Runs --all or --watch in the terminal; returns the exit status.
int Run(const Options& options);
// The same with another view (a window).
int Run(const Options& options, View& view);

}  // namespace frontend::supervisor
