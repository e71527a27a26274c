#include "app/run_log.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "app/format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_info.h"

namespace app {

std::string UtcNowIso() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
}

std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

size_t PruneRunLogs(const std::string& folder, size_t keep) {
    std::vector<std::string> logs;
    for (const std::string& name : platform::ListPlainFiles(folder))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) logs.push_back(name);
    if (logs.size() <= keep) return 0;
    std::sort(logs.begin(), logs.end());
    size_t removed = 0;
    for (size_t i = 0; i + keep < logs.size(); ++i)
        if (platform::RemoveFile(folder + platform::kPathSeparator + logs[i])) ++removed;
    return removed;
}

void RunLog::Open(const std::string& stateFolder, const std::string& startIso) {
    file_.reset();
    path_.clear();
    problem_.clear();
    if (stateFolder.empty()) {
        problem_ = "there is no home folder for the records";
        return;
    }
    const std::string folder = stateFolder + platform::kPathSeparator + kRunLogFolder;
    if (!platform::PreparePrivateFolder(folder, &problem_)) return;
    // "2026-12-10T13:30:01Z" as a file name that sorts by time and is valid everywhere.
    std::string stamp = startIso;
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    const std::string base = folder + platform::kPathSeparator + stamp + "-" + std::to_string(platform::ProcessId());
    // A name taken already (a second run within the same second of another process with the
    // same number) gets a counter rather than overwriting anything.
    for (int n = 0; n < 100 && !file_; ++n) {
        const std::string path = base + (n == 0 ? std::string() : "-" + std::to_string(n)) + ".log";
        file_ = platform::CreatePrivateFile(path, &problem_);
        if (file_) path_ = path;
    }
    if (!file_) return;
    problem_.clear();
    PruneRunLogs(folder, kRunLogsKept);
}

std::string RunLog::FileName() const {
    const size_t slash = path_.find_last_of("/\\");
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

void RunLog::Line(const std::string& text) {
    if (!file_) return;
    const platform::LocalTime t = platform::GetClock().LocalNow();
    const std::string line = Format("%02d:%02d:%02d.%03d ", t.hour, t.minute, t.second, t.millisecond) + OneLine(text) +
                             platform::kTextLineEnd;
    if (!file_->Append(line)) {
        // A full disk: the run goes on without its log.
        file_.reset();
        problem_ = "the run log could not be written further (" + path_ + ")";
    }
}

}  // namespace app
