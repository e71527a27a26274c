// The update history: history.csv in the user's state folder, one line per run, appended under
// an exclusive lock so that programs running at once never mix their lines. Fields are quoted
// as RFC 4180 has it, since device texts may hold anything; a damaged or hand-edited file is
// read as far as it goes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kHistoryFile = "history.csv";

// How a run ended, as the history names it.
inline constexpr const char* kOutcomeUpdated = "updated";
inline constexpr const char* kOutcomeUpToDate = "up-to-date";
inline constexpr const char* kOutcomeRefused = "refused";
inline constexpr const char* kOutcomeFailed = "failed";
inline constexpr const char* kOutcomeStopped = "stopped";

struct HistoryEntry {
    std::string start;           // ISO 8601, UTC
    std::string durationSeconds;
    std::string host;
    std::string user;
    std::string port;
    std::string usbLocation;
    std::string model;
    std::string serial;
    std::string firmwareBefore;  // "3.40"
    std::string variantBefore;   // "000"
    std::string firmwareAfter;
    std::string variantAfter;
    std::string outcome;
    std::string exitStatus;
    std::string programVersion;
    std::string runLog;          // the run log's file name
};

// The column names, the file's first line.
const std::vector<std::string>& HistoryColumns();

// One field as CSV writes it: quoted when it holds a comma, a quote, a line end or blanks at its
// ends; quotes doubled.
std::string CsvField(std::string_view value);
// The line of an entry, with its line end.
std::string HistoryLine(const HistoryEntry& entry);

// Splits CSV text into records of fields (RFC 4180: quoted fields may hold commas, quotes and
// line ends). A quote left open swallows the rest; nothing here fails.
std::vector<std::vector<std::string>> ParseCsv(std::string_view text);

// The entries of history text: the header and lines with too few fields are passed over, extra
// fields ignored.
std::vector<HistoryEntry> ParseHistory(std::string_view text);

// Appends the entry to folder/history.csv (with the header when the file is new). false and why
// when it could not.
bool AppendHistory(const std::string& folder, const HistoryEntry& entry, std::string* why);

// Reads folder/history.csv; empty when there is none.
std::vector<HistoryEntry> ReadHistory(const std::string& folder);

// The entries as an aligned table for a terminal, the newest last: the last `last` of them, or
// all when last is 0. Device texts come through `safe`, which makes them fit for a terminal.
std::string HistoryTable(const std::vector<HistoryEntry>& entries, size_t last,
                         std::string (*safe)(std::string_view));

}  // namespace app
