// The terminal filter: whatever comes in, what comes out is valid UTF-8 without a control
// character (line feeds and tabs only from the lines' filter), never longer than what came in;
// valid UTF-8 without control characters comes out unchanged. The input is taken as it is, and
// also as code points (three bytes each) that make a valid text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "platform/terminal_text.h"

namespace {

// Decodes text by value ranges (a check written apart from the filter's byte ranges); false
// at the first invalid sequence or control character. allowLines lets '\n' and '\t' pass.
bool SafeUtf8(std::string_view text, bool allowLines) {
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        uint32_t cp = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        static constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (n > 1 && cp < kLeast[n]) return false;             // overlong
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;        // surrogate
        if (cp > 0x10FFFF) return false;
        const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
        if (control && !(allowLines && (cp == '\n' || cp == '\t'))) return false;
        i += n;
    }
    return true;
}

void Append(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | cp >> 6));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | cp >> 12));
        out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | cp >> 18));
        out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void Check(std::string_view in) {
    const std::string field = platform::TerminalField(in);
    const std::string lines = platform::TerminalLines(in);
    if (!SafeUtf8(field, false) || !SafeUtf8(lines, true)) std::abort();
    if (field.size() > in.size() || lines.size() > in.size()) std::abort();
    if (lines.find('\r') != std::string::npos) std::abort();
    if (SafeUtf8(in, false) && (field != in || lines != in)) std::abort();
    if (SafeUtf8(in, true) && in.find('\r') == std::string_view::npos && lines != in) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    Check(std::string_view(reinterpret_cast<const char*>(data), size));
    // Code points from three bytes each: controls, surrogates and values beyond U+10FFFF folded
    // into the valid range, so that the text is valid and must pass unchanged.
    std::string valid;
    while (!in.Empty()) {
        uint32_t cp = (in.Byte() | in.Byte() << 8 | in.Byte() << 16) % 0x110000;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) cp += 0xA0;
        if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800;
        Append(&valid, cp);
    }
    if (platform::TerminalField(valid) != valid || platform::TerminalLines(valid) != valid) std::abort();
    Check(valid);
    return 0;
}
