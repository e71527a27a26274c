// Texts bound for a terminal that come from a device or from another process (a serial number,
// a file name stored on the device, the name a process gave itself): made safe to print, so
// that nothing in them can move the cursor, change colours, hide output or retitle the window.
//
// The terminal is taken to speak UTF-8. Each control character becomes one '?': C0 controls
// (0x00-0x1F) but the line ends a kind keeps, DEL (0x7F), and the C1 controls U+0080-U+009F
// written in UTF-8 (C2 80 .. C2 9F). So does each byte that is not part of a valid UTF-8
// sequence, among them raw bytes 0x80-0x9F, which an 8-bit terminal takes as C1 controls.
// Invalid means: a stray continuation byte, a lead byte without its continuation bytes, an
// overlong form, a surrogate (U+D800-U+DFFF), or a value above U+10FFFF. '?' is one column
// wide everywhere, also on consoles without the replacement character's glyph.
// Valid UTF-8 without control characters ("Müller", "日本") comes out unchanged.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// One field on a line (a serial number, a process name): every control character is
// replaced, line feeds and tabs too, so a field can never start a line of its own.
std::string TerminalField(std::string_view text);

// Text of several lines (a message): "\r\n" and a lone "\r" become "\n"; "\n" and tab stay;
// every other control character is replaced.
std::string TerminalLines(std::string_view text);

}  // namespace platform
