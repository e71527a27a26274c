// Cell grids as terminal output: cursor positioning and SGR colours. Only cells that changed
// are written, so a bar that did not change visibly costs nothing on the terminal.
#pragma once

#include "frontend/terminal/progress_cells.h"

#include <string>

namespace frontend::terminal {

enum class ColorMode {
    TrueColor,  // 24-bit colours (SGR 38;2 / 48;2)
    Basic16,    // the nearest of the 16 standard colours, for terminals without 24-bit colour
};

// The colour mode a terminal with these COLORTERM and TERM values understands.
ColorMode ColorModeFor(const char* colorterm, const char* term);

// SGR sequence that sets both colours.
std::string SgrColors(ui::COLORREF fg, ui::COLORREF bg, ColorMode mode);

// Escape sequences that turn the picture `before` into `now` on the screen, the grid's top-left
// cell at 1-based row and column. Every cell is written when before is null or of another
// size; an empty string when nothing changed. The cursor is saved before and restored after,
// and the colours are reset at the end.
std::string AnsiUpdate(const CellGrid* before, const CellGrid& now, int row, int column, ColorMode mode);

}  // namespace frontend::terminal
