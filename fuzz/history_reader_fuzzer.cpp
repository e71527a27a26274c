// The update history's reader: whatever a damaged or hand-edited file holds, reading it never
// fails; every entry read is written back as one line that reads as the same entry; any entry
// written reads back the same; and the table for the terminal holds no control character but
// its line ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/history.h"
#include "fuzz/fuzz_input.h"
#include "platform/terminal_text.h"

namespace {

std::vector<std::string*> Fields(app::HistoryEntry& e) {
    return {&e.start,          &e.durationSeconds, &e.host,         &e.user,          &e.port,
            &e.usbLocation,    &e.model,           &e.serial,       &e.firmwareBefore, &e.variantBefore,
            &e.firmwareAfter,  &e.variantAfter,    &e.outcome,      &e.exitStatus,    &e.programVersion,
            &e.runLog};
}

bool Same(app::HistoryEntry a, app::HistoryEntry b) {
    const auto x = Fields(a), y = Fields(b);
    for (size_t i = 0; i < x.size(); ++i)
        if (*x[i] != *y[i]) return false;
    return true;
}

// Written and read again: exactly this entry.
void RoundTrip(const app::HistoryEntry& e) {
    const std::string line = app::HistoryLine(e);
    const auto back = app::ParseHistory(line);
    if (back.size() != 1 || !Same(back[0], e)) std::abort();
}

void TableIsSafe(const std::vector<app::HistoryEntry>& entries) {
    const std::string table = app::HistoryTable(entries, 0, platform::TerminalField);
    for (const char c : table) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\n') || b == 0x7F) std::abort();
    }
    for (size_t i = 0; i + 1 < table.size(); ++i)  // C1 controls as UTF-8
        if (static_cast<unsigned char>(table[i]) == 0xC2 && static_cast<unsigned char>(table[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(table[i + 1]) <= 0x9F)
            std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Read: the file as it is.
    const std::vector<app::HistoryEntry> entries = app::ParseHistory(text);
    for (const app::HistoryEntry& e : entries) RoundTrip(e);
    TableIsSafe(entries);

    // Written: an entry of arbitrary texts (a device's serial may hold anything).
    fuzz::Input in(data, size);
    app::HistoryEntry made;
    for (std::string* f : Fields(made)) {
        const auto piece = in.Piece();
        f->assign(piece.begin(), piece.end());
    }
    if (made.start != app::HistoryColumns()[0]) RoundTrip(made);  // a line like the header is passed over
    TableIsSafe({made});
    return 0;
}
