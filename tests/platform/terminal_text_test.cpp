// The filter for texts bound to a terminal: control characters in every form a terminal obeys
// are replaced, valid UTF-8 passes unchanged.
#include <gtest/gtest.h>

#include <string>

#include "platform/terminal_text.h"

namespace {

using platform::TerminalField;
using platform::TerminalLines;

TEST(TerminalTextFilter, ControlCharactersInEveryFormAreReplaced) {
    struct {
        std::string in, field, lines;
    } cases[] = {
        {"\x1b[8mAB", "?[8mAB", "?[8mAB"},                       // ESC: hides what follows
        {"\xc2\x9b" "8mAB", "?8mAB", "?8mAB"},                  // U+009B, the C1 introducer
        {"\xc2\x80|\xc2\x9f|\xc2\xa0", "?|?|\xc2\xa0", "?|?|\xc2\xa0"},  // C1 ends at U+009F
        {"\x9b" "8m\x85", "?8m?", "?8m?"},                      // raw C1 bytes
        {"del\x7f nul", std::string("del? nul"), "del? nul"},
        {std::string("a\0b", 3), "a?b", "a?b"},
        {"bell\a bs\b", "bell? bs?", "bell? bs?"},
        {"a\r\nb\rc\nd\te", "a??b?c?d?e", "a\nb\nc\nd\te"},     // only lines keep line ends
        {"\r", "?", "\n"},
        // Invalid UTF-8: a stray continuation, a cut sequence, overlong forms, a surrogate,
        // beyond U+10FFFF, bytes that never start a sequence.
        {"\x80x", "?x", "?x"},
        {"\xe6\x97", "??", "??"},
        {"\xe6\x97x", "??x", "??x"},
        {"\xc0\xaf \xc1\xbf \xe0\x80\xaf \xf0\x80\x80\xaf", "?? ?? ??? ????", "?? ?? ??? ????"},
        {"\xed\xa0\x80", "???", "???"},
        {"\xf4\x90\x80\x80 \xf5\x80", "???? ??", "???? ??"},
        {"\xfe\xff", "??", "??"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TerminalField(c.in), c.field) << c.in;
        EXPECT_EQ(TerminalLines(c.in), c.lines) << c.in;
    }
}

TEST(TerminalTextFilter, ValidTextPassesUnchanged) {
    for (const std::string text : {"", "N11501", "Müller", "日本語のテキスト", "\xc2\xa0\xdf\xbf",
                                   "\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbd",  // 3-byte edges
                                   "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf 😀", "~ !"}) {
        EXPECT_EQ(TerminalField(text), text);
        EXPECT_EQ(TerminalLines(text), text);
    }
}

}  // namespace
