#include "app/history.h"

#include <algorithm>

#include "platform/files.h"
#include "platform/state_store.h"

namespace app {

namespace {

// A history larger than this is read from its end: the last runs are what is asked for.
constexpr size_t kMaxHistoryRead = 16u << 20;

std::vector<std::string> Fields(const HistoryEntry& e) {
    return {e.start,         e.durationSeconds, e.host,          e.user,        e.port,     e.usbLocation,
            e.model,         e.serial,          e.firmwareBefore, e.variantBefore, e.firmwareAfter, e.variantAfter,
            e.outcome,       e.exitStatus,      e.programVersion, e.runLog};
}

// Characters counted as a terminal shows them (UTF-8 continuation bytes take no column).
size_t Width(std::string_view s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string Pad(const std::string& s, size_t width) {
    const size_t w = Width(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

}  // namespace

const std::vector<std::string>& HistoryColumns() {
    static const std::vector<std::string> columns = {
        "start",          "duration_s",     "host",           "user",          "port",    "usb_location",
        "model",          "serial",         "firmware_before", "variant_before", "firmware_after",
        "variant_after",  "outcome",        "exit_status",    "program_version", "run_log"};
    return columns;
}

std::string CsvField(std::string_view value) {
    const bool quote = value.find_first_of(",\"\r\n") != std::string_view::npos ||
                       (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!quote) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string HistoryLine(const HistoryEntry& entry) {
    std::string line;
    bool first = true;
    for (const std::string& f : Fields(entry)) {
        if (!first) line.push_back(',');
        first = false;
        line += CsvField(f);
    }
    // Every line ends with CR LF, as RFC 4180 has it, on every system.
    return line + "\r\n";
}

std::vector<std::vector<std::string>> ParseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;       // inside a quoted field
    bool fieldStarted = false;  // the record has something (a field or a separator)
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field.push_back('"');
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field.push_back(c);
            }
            continue;
        }
        switch (c) {
        case '"':
            quoted = true;
            fieldStarted = true;
            break;
        case ',':
            record.push_back(std::move(field));
            field.clear();
            fieldStarted = true;
            break;
        case '\r':
            break;
        case '\n':
            if (fieldStarted || !field.empty()) {
                record.push_back(std::move(field));
                records.push_back(std::move(record));
            }
            record.clear();
            field.clear();
            fieldStarted = false;
            break;
        default:
            field.push_back(c);
            fieldStarted = true;
            break;
        }
    }
    if (fieldStarted || !field.empty()) {
        record.push_back(std::move(field));
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<HistoryEntry> ParseHistory(std::string_view text) {
    std::vector<HistoryEntry> entries;
    const size_t columns = HistoryColumns().size();
    for (std::vector<std::string>& r : ParseCsv(text)) {
        if (r.size() < columns || r[0] == HistoryColumns()[0]) continue;
        HistoryEntry e;
        std::string* fields[] = {&e.start,         &e.durationSeconds, &e.host,          &e.user,
                                 &e.port,          &e.usbLocation,     &e.model,         &e.serial,
                                 &e.firmwareBefore, &e.variantBefore,  &e.firmwareAfter, &e.variantAfter,
                                 &e.outcome,       &e.exitStatus,      &e.programVersion, &e.runLog};
        for (size_t i = 0; i < columns; ++i) *fields[i] = std::move(r[i]);
        entries.push_back(std::move(e));
    }
    return entries;
}

bool AppendHistory(const std::string& folder, const HistoryEntry& entry, std::string* why) {
    if (!platform::PreparePrivateFolder(folder, why)) return false;
    std::string header;
    for (const std::string& c : HistoryColumns()) header += (header.empty() ? "" : ",") + c;
    return platform::AppendLocked(folder + platform::kPathSeparator + kHistoryFile, HistoryLine(entry), why,
                                  header + "\r\n");
}

std::vector<HistoryEntry> ReadHistory(const std::string& folder) {
    std::string text;
    if (folder.empty() ||
        !platform::ReadPrivateFile(folder + platform::kPathSeparator + kHistoryFile, &text, kMaxHistoryRead, true))
        return {};
    return ParseHistory(text);
}

std::string HistoryTable(const std::vector<HistoryEntry>& entries, size_t last,
                         std::string (*safe)(std::string_view)) {
    const size_t from = last == 0 || entries.size() <= last ? 0 : entries.size() - last;
    std::vector<std::vector<std::string>> rows = {
        {"start (UTC)", "time", "port", "model", "serial", "firmware", "outcome", "exit"}};
    for (size_t i = from; i < entries.size(); ++i) {
        const HistoryEntry& e = entries[i];
        const auto firmware = [](const std::string& version, const std::string& variant) {
            if (version.empty()) return std::string("?");
            return version + (variant.empty() ? "" : "/" + variant);
        };
        std::vector<std::string> row = {e.start,
                                        e.durationSeconds.empty() ? "" : e.durationSeconds + " s",
                                        e.port,
                                        e.model,
                                        e.serial,
                                        firmware(e.firmwareBefore, e.variantBefore) + " -> " +
                                            firmware(e.firmwareAfter, e.variantAfter),
                                        e.outcome,
                                        e.exitStatus};
        for (std::string& cell : row) {
            cell = safe(cell);
            std::replace(cell.begin(), cell.end(), '\n', ' ');
            std::replace(cell.begin(), cell.end(), '\t', ' ');
        }
        rows.push_back(std::move(row));
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) line += (c ? "  " : "") + (c + 1 < row.size() ? Pad(row[c], widths[c]) : row[c]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    if (rows.size() == 1) out += "(no runs recorded yet)\n";
    return out;
}

}  // namespace app
