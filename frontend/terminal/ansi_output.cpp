#include "frontend/terminal/ansi_output.h"

#include <climits>
#include <string_view>

namespace frontend::terminal {

namespace {

struct Rgb {
    int r, g, b;
};

// The usual palette of the 16 standard colours (xterm).
constexpr Rgb kBasic[16] = {{0, 0, 0},       {205, 0, 0},     {0, 205, 0},     {205, 205, 0},
                            {0, 0, 238},     {205, 0, 205},   {0, 205, 205},   {229, 229, 229},
                            {127, 127, 127}, {255, 0, 0},     {0, 255, 0},     {255, 255, 0},
                            {92, 92, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};

int NearestBasic(ui::COLORREF c) {
    int best = 0;
    long bestDistance = LONG_MAX;
    for (int i = 0; i < 16; ++i) {
        const long dr = ui::GetRValue(c) - kBasic[i].r;
        const long dg = ui::GetGValue(c) - kBasic[i].g;
        const long db = ui::GetBValue(c) - kBasic[i].b;
        const long d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

void AppendColor(std::string& out, ui::COLORREF c, bool foreground, ColorMode mode) {
    if (c == kTerminalDefault) {
        out += foreground ? "39" : "49";
        return;
    }
    if (mode == ColorMode::TrueColor) {
        out += foreground ? "38;2;" : "48;2;";
        out += std::to_string(ui::GetRValue(c)) + ';' + std::to_string(ui::GetGValue(c)) + ';' +
               std::to_string(ui::GetBValue(c));
        return;
    }
    const int index = NearestBasic(c);
    const int base = foreground ? (index < 8 ? 30 : 90) : (index < 8 ? 40 : 100);
    out += std::to_string(base + index % 8);
}

}  // namespace

ColorMode ColorModeFor(const char* colorterm, const char* term) {
    const std::string_view ct = colorterm ? colorterm : "";
    if (ct == "truecolor" || ct == "24bit") return ColorMode::TrueColor;
    const std::string_view t = term ? term : "";
    if (t.find("direct") != std::string_view::npos) return ColorMode::TrueColor;
    return ColorMode::Basic16;
}

std::string SgrColors(ui::COLORREF fg, ui::COLORREF bg, ColorMode mode) {
    std::string out = "\x1b[";
    AppendColor(out, fg, true, mode);
    out += ';';
    AppendColor(out, bg, false, mode);
    out += 'm';
    return out;
}

std::string AnsiUpdate(const CellGrid* before, const CellGrid& now, int row, int column, ColorMode mode) {
    const bool all = !before || before->Width() != now.Width() || before->Height() != now.Height();
    std::string out;
    for (int y = 0; y < now.Height(); ++y) {
        int first = -1;
        int last = -1;
        for (int x = 0; x < now.Width(); ++x) {
            if (all || !(before->At(x, y) == now.At(x, y))) {
                if (first < 0) first = x;
                last = x;
            }
        }
        if (first < 0) continue;
        if (out.empty()) out += "\x1b" "7";  // save the cursor
        out += "\x1b[" + std::to_string(row + y) + ';' + std::to_string(column + first) + 'H';
        bool haveColors = false;
        ui::COLORREF fg = 0;
        ui::COLORREF bg = 0;
        for (int x = first; x <= last; ++x) {
            const Cell& cell = now.At(x, y);
            if (!haveColors || cell.fg != fg || cell.bg != bg) {
                out += SgrColors(cell.fg, cell.bg, mode);
                fg = cell.fg;
                bg = cell.bg;
                haveColors = true;
            }
            // Control characters would move the cursor; they show as blanks.
            const bool control = cell.ch < 0x20 || (cell.ch >= 0x7F && cell.ch < 0xA0);
            AppendUtf8(out, control ? U' ' : cell.ch);
        }
    }
    if (!out.empty()) out += "\x1b[0m\x1b" "8";  // colours back, cursor back
    return out;
}

}  // namespace frontend::terminal
