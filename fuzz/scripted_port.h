// A serial port whose device side is a script: what the channel reads comes from a byte
// stream, what it writes is kept. It stands in for the operating system's port (com_os) in
// the channel's fuzz target, so the channel's own code runs unchanged on top of it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

// The one port the script serves, as the port list names it.
inline constexpr const char* kScriptedPortPath = "/scripted/port0";

struct PortScript {
    std::span<const uint8_t> stream;  // bytes the device sends, in order
    size_t readPiece = 0;             // at most this many bytes per read piece (0: no limit)
    bool hangUpAtEnd = false;         // once the stream is used up: hang-up instead of silence
    size_t writeLimit = SIZE_MAX;     // bytes the device takes before it stops taking any
};

// Starts a new script; the port is closed.
void SetPortScript(const PortScript& script);
// Bytes the channel wrote since SetPortScript.
const std::vector<uint8_t>& PortWritten();

}  // namespace fuzz
