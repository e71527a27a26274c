// Several devices at once: one update program per device (quillon --json --port <its port>),
// started and watched by this front end, which reads their events and shows them together. The
// library's state is per process, so a process per device is the sound unit; a failure of one
// never stops the others, and a stop request reaches each program, which stops at its own safe
// point.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/json.h"
#include "frontend/device_list.h"
#include "platform/child_process.h"

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

// Runs --all or --watch; returns the exit status.
int Run(const Options& options);

}  // namespace frontend::supervisor
