// The JSON of the machine output: any text a device sends, put into an event, is written as one
// line of valid JSON that reads back to the same text (bytes that are not UTF-8 as U+FFFD); and
// the reader, given anything, never fails but by saying so, and what it reads writes back to
// the same values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Written: a device text in an event.
    app::json::Value event = app::json::Value::Object();
    event.Set("event", "device").Set("serial", std::string(input)).Set("model", 1160);
    const std::string line = event.Dump();
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20) std::abort();  // one line, no control character
    const auto back = app::json::Parse(line);
    if (!back || (*back)["model"].AsInt() != 1160) std::abort();
    const std::string& serial = (*back)["serial"].AsString();
    // Text that was valid UTF-8 comes back unchanged; written again, the read text is stable.
    if (app::json::Quote(serial) != app::json::Quote(input)) std::abort();
    bool valid = true;
    for (size_t i = 0; i < serial.size(); ++i)
        if (serial.compare(i, 3, "\xEF\xBF\xBD") == 0) valid = false;
    if (valid && serial != input) std::abort();

    // Read: whatever comes in.
    if (const auto parsed = app::json::Parse(input)) {
        const auto again = app::json::Parse(parsed->Dump());
        if (!again || !(*again == *parsed)) std::abort();
    }
    return 0;
}
