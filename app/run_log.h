// The program's own log of one run: each step with its time, the device's identity and the
// answers that decided the outcome, the outcome and the exit status. One file per run in the
// user's state folder (runs/), the last 50 kept. A folder that cannot be used or a full disk
// never stops an update: the run goes on without its log and says so once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/state_store.h"

namespace app {

inline constexpr size_t kRunLogsKept = 50;
inline constexpr const char* kRunLogFolder = "runs";

// The current time in UTC as ISO 8601 ("2026-12-10T13:30:01Z"), from the system's wall clock.
std::string UtcNowIso();

class RunLog {
public:
    // Opens a new log in stateFolder/runs, named after the start time (UTC) and the process, and
    // removes the oldest logs beyond the last kRunLogsKept. Without a usable folder nothing is
    // written and Problem() says why.
    void Open(const std::string& stateFolder, const std::string& startIso);

    // One line: the local time with milliseconds, then text (control characters of device texts
    // replaced). Ignored when the log is not kept; a write that fails ends the log.
    void Line(const std::string& text);

    bool Kept() const { return file_ != nullptr; }
    // The log's full path ("" when none is kept) and its file name.
    const std::string& Path() const { return path_; }
    std::string FileName() const;
    const std::string& Problem() const { return problem_; }

private:
    std::unique_ptr<platform::PrivateFile> file_;
    std::string path_;
    std::string problem_;
};

// Keeps the newest `keep` of the run logs in folder (their names sort by their start) and
// removes the others; returns how many were removed.
size_t PruneRunLogs(const std::string& folder, size_t keep);

// Text from a device or another program made fit for one line of a log or a record: control
// characters and DEL become '?'.
std::string OneLine(const std::string& text);

}  // namespace app
