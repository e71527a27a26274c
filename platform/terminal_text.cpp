#include "platform/terminal_text.h"

namespace platform {
namespace {

constexpr char kReplacement = '?';

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at text[i] (lead byte at least 0xC2), 0 when there is
// none. The second byte's range rules out overlong forms, surrogates and values above U+10FFFF.
size_t SequenceLength(std::string_view text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = at(0);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (!Continuation(at(k))) return 0;
    return length;
}

std::string Filter(std::string_view text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (keepLines && c == '\r') {
                // "\r\n" and a lone "\r" both end one line.
                out.push_back('\n');
                i += i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
                continue;
            }
            const bool kept = c >= 0x20 && c != 0x7F;
            out.push_back(kept || (keepLines && (c == '\n' || c == '\t')) ? static_cast<char>(c) : kReplacement);
            ++i;
            continue;
        }
        const size_t length = SequenceLength(text, i);
        if (length == 0) {
            out.push_back(kReplacement);  // a byte outside any valid sequence
            ++i;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out.push_back(kReplacement);  // U+0080-U+009F: a C1 control
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace

std::string TerminalField(std::string_view text) { return Filter(text, false); }

std::string TerminalLines(std::string_view text) { return Filter(text, true); }

}  // namespace platform
