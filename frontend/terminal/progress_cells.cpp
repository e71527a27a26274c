#include "frontend/terminal/progress_cells.h"

#include <algorithm>

namespace frontend::terminal {

CellGrid::CellGrid(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      cells_(static_cast<size_t>(width_) * static_cast<size_t>(height_)) {}

std::string CellGrid::RowText(int y) const {
    std::string out;
    if (y < 0 || y >= height_) return out;
    for (int x = 0; x < width_; ++x) AppendUtf8(out, At(x, y).ch);
    return out;
}

std::u32string DecodeUtf8(std::string_view text) {
    std::u32string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        int length = 0;
        char32_t cp = 0;
        if (b0 < 0x80) {
            length = 1;
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            length = 2;
            cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            length = 3;
            cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            length = 4;
            cp = b0 & 0x07;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
        if (!valid) {
            out.push_back(U'\uFFFD');
            ++i;
            continue;
        }
        out.push_back(cp);
        i += length;
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t ch) {
    if (ch < 0x80) {
        out.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (ch >> 18)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
}

void CellCanvas::FillRect(const ui::Rect& rect, ui::COLORREF color) {
    const ui::Rect r = ui::Intersect(rect, {0, 0, grid_->Width(), grid_->Height()});
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) grid_->At(x, y) = Cell{U' ', kTerminalDefault, color};
}

void CellCanvas::Put(int x, int y, char32_t ch) {
    if (!grid_->Contains(x, y)) return;
    grid_->At(x, y) = Cell{ch, kTerminalDefault, kTerminalDefault};
}

void CellCanvas::DrawSunkenEdge(ui::Rect& rect) {
    const bool sides = rect.Width() >= 3;
    const bool ends = rect.Height() >= 3;
    const int right = rect.right - 1;
    const int bottom = rect.bottom - 1;
    if (sides && ends) {
        for (int x = rect.left + 1; x < right; ++x) {
            Put(x, rect.top, U'─');
            Put(x, bottom, U'─');
        }
        for (int y = rect.top + 1; y < bottom; ++y) {
            Put(rect.left, y, U'│');
            Put(right, y, U'│');
        }
        Put(rect.left, rect.top, U'┌');
        Put(right, rect.top, U'┐');
        Put(rect.left, bottom, U'└');
        Put(right, bottom, U'┘');
    } else if (sides) {
        for (int y = rect.top; y < rect.bottom; ++y) {
            Put(rect.left, y, U'[');
            Put(right, y, U']');
        }
    } else if (ends) {
        for (int x = rect.left; x < rect.right; ++x) {
            Put(x, rect.top, U'─');
            Put(x, bottom, U'─');
        }
    }
    if (sides) {
        ++rect.left;
        --rect.right;
    }
    if (ends) {
        ++rect.top;
        --rect.bottom;
    }
}

ui::FontDesc CellCanvas::SelectFont(const ui::FontDesc& font) {
    ui::FontDesc previous = font_;
    font_ = font;
    return previous;
}

ui::Size CellCanvas::MeasureText(std::string_view text) {
    return {static_cast<int>(DecodeUtf8(text).size()), 1};
}

void CellCanvas::DrawText(int x, int y, const ui::Rect& clip, ui::COLORREF color, std::string_view text) {
    const bool upward = font_.escapement == 900;
    const std::u32string chars = DecodeUtf8(text);
    for (size_t i = 0; i < chars.size(); ++i) {
        // The text cell's top-left corner is (x, y); written upward, the first character
        // sits in the row just above y.
        const int offset = static_cast<int>(i);
        const int cx = upward ? x : x + offset;
        const int cy = upward ? y - 1 - offset : y;
        if (cx < clip.left || cx >= clip.right || cy < clip.top || cy >= clip.bottom) continue;
        if (!grid_->Contains(cx, cy)) continue;
        Cell& cell = grid_->At(cx, cy);
        cell.ch = chars[i];
        cell.fg = color;  // the background stays: text is drawn transparently
    }
}

CellPaintTarget::CellPaintTarget(CellGrid& screen, ui::Rect clipBox, SysColors sysColors)
    : screen_(&screen), direct_(screen), clipBox_(clipBox), sysColors_(std::move(sysColors)) {}

std::unique_ptr<ui::OffscreenSurface> CellPaintTarget::CreateOffscreen(int width, int height) {
    return std::make_unique<CellSurface>(width, height);
}

void CellPaintTarget::CopyFromOffscreen(ui::OffscreenSurface& source, const ui::Rect& area) {
    auto* canvas = dynamic_cast<CellCanvas*>(&source);
    if (!canvas) return;
    const CellGrid& from = canvas->Grid();
    for (int y = 0; y < from.Height(); ++y)
        for (int x = 0; x < from.Width(); ++x)
            if (screen_->Contains(area.left + x, area.top + y)) screen_->At(area.left + x, area.top + y) = from.At(x, y);
}

}  // namespace frontend::terminal
