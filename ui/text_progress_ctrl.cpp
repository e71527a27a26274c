#include "ui/text_progress_ctrl.h"

#include "ui/mem_dc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace ui {

namespace {

// One direction for every marquee bar of the process; two running bars steer each other.
int g_marqueeDirection = 1;

int ParamInt(WPARAM w) { return static_cast<int32_t>(static_cast<uint32_t>(w)); }
int ParamInt(LPARAM l) { return static_cast<int32_t>(static_cast<uint32_t>(l)); }
COLORREF ParamColor(LPARAM l) { return static_cast<COLORREF>(static_cast<uint32_t>(l)); }

// trunc() of a double as a 64-bit integer, saturated well inside the type's range.
int64_t Trunc64(double value) {
    if (std::isnan(value)) return 0;
    constexpr double kLimit = 4.0e15;
    return static_cast<int64_t>(std::clamp(value, -kLimit, kLimit));
}

int SaturateInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

// Rectangle arithmetic of the bar in 64 bits: positions outside the range, huge ranges or
// marquee blocks cannot overflow, and the result is brought back inside the inner rectangle.
struct Rect64 {
    int64_t left, top, right, bottom;
    explicit Rect64(const Rect& r) : left(r.left), top(r.top), right(r.right), bottom(r.bottom) {}
    Rect Within(const Rect& inner) const {
        auto clampX = [&](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, inner.left, inner.right)); };
        auto clampY = [&](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, inner.top, inner.bottom)); };
        Rect r{clampX(left), clampY(top), clampX(right), clampY(bottom)};
        r.right = std::max(r.right, r.left);
        r.bottom = std::max(r.bottom, r.top);
        return r;
    }
};

}  // namespace

CTextProgressCtrl::~CTextProgressCtrl() = default;

int CTextProgressCtrl::MarqueeDirection() { return g_marqueeDirection; }

int CTextProgressCtrl::MarqueeLimit() const {
    const double limit =
        ((static_cast<double>(marqueeBlockPercent) + 100.0) * static_cast<double>(rangeMax) + 0.5) / 100.0;
    return SaturateInt(Trunc64(limit));
}

COLORREF CTextProgressCtrl::Resolve(COLORREF color, int sysColorIndex) const {
    return color == CLR_DEFAULT ? GetSysColor(sysColorIndex) : color;
}

LRESULT CTextProgressCtrl::RepaintThenStore(COLORREF& member, COLORREF value) {
    // The repaint still shows the old value; the new one shows at the next repaint.
    RedrawWindow();
    const COLORREF previous = member;
    member = value;
    return static_cast<LRESULT>(previous);
}

LRESULT CTextProgressCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND:
        // The paint covers the whole window; erasing first would only flicker.
        return 1;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_TIMER:
        if (wParam == kMarqueeTimerId) OnMarqueeStep();
        return 0;
    case PBM_SETRANGE: {
        const LRESULT previous = MAKELRESULT(static_cast<unsigned>(rangeMin), static_cast<unsigned>(rangeMax));
        rangeMin = static_cast<int>(static_cast<uint32_t>(lParam) & 0xFFFFu);
        rangeMax = static_cast<int>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFFu);
        return previous;
    }
    case PBM_SETPOS:
        return OnSetPos(ParamInt(wParam));
    case PBM_DELTAPOS:
        return OnSetPos(static_cast<int64_t>(position) + ParamInt(wParam));
    case PBM_SETSTEP: {
        const int previous = step;
        step = ParamInt(wParam);
        return previous;
    }
    case PBM_STEPIT:
        return OnStepIt();
    case PBM_SETRANGE32: {
        const LRESULT previous = MAKELRESULT(static_cast<unsigned>(rangeMin), static_cast<unsigned>(rangeMax));
        rangeMin = ParamInt(wParam);
        rangeMax = ParamInt(lParam);
        return previous;
    }
    case PBM_GETRANGE: {
        // lParam is null or the address of a PBRANGE, as the message defines.
        if (lParam != 0) {
            auto* range = reinterpret_cast<PBRANGE*>(lParam);
            range->iLow = rangeMin;
            range->iHigh = rangeMax;
        }
        return wParam != 0 ? rangeMin : rangeMax;
    }
    case PBM_GETPOS:
        return position;
    case PBM_SETBARCOLOR:
        return RepaintThenStore(barColor, ParamColor(lParam));
    case PBM_SETMARQUEE:
        RedrawWindow();
        showPercent = 0;
        if (wParam != 0) {
            ModifyStyle(0, PBS_MARQUEE);
            if (Host()) Host()->SetTimer(kMarqueeTimerId, static_cast<unsigned>(ParamInt(lParam)));
        } else {
            if (Host()) Host()->KillTimer(kMarqueeTimerId);
            ModifyStyle(PBS_MARQUEE, 0);
        }
        return static_cast<LRESULT>(wParam);
    case CCM_SETBKCOLOR:
        return RepaintThenStore(backgroundColor, ParamColor(lParam));
    case TPM_GETBARCOLOR:
        return static_cast<LRESULT>(Resolve(barColor, COLOR_HIGHLIGHT));
    case TPM_GETBKCOLOR:
        return static_cast<LRESULT>(Resolve(backgroundColor, COLOR_BTNFACE));
    case TPM_SETTEXTCOLOR:
        return RepaintThenStore(textColor, ParamColor(lParam));
    case TPM_GETTEXTCOLOR:
        return static_cast<LRESULT>(Resolve(textColor, COLOR_WINDOWTEXT));
    case TPM_SETTEXTONBARCOLOR:
        return RepaintThenStore(textOnBarColor, ParamColor(lParam));
    case TPM_GETTEXTONBARCOLOR:
        return static_cast<LRESULT>(Resolve(textOnBarColor, COLOR_WINDOW));
    case TPM_SETSHOWPERCENT: {
        RedrawWindow();
        const int previous = showPercent;
        showPercent = ParamInt(wParam);
        return previous;
    }
    case TPM_SETTEXTALIGN: {
        RedrawWindow();
        const int previous = textAlignment;
        textAlignment = ParamInt(wParam);
        return previous;
    }
    case TPM_SETMARQUEEBLOCK:
        RedrawWindow();
        marqueeBlockPercent = ParamInt(wParam);
        return static_cast<LRESULT>(wParam);
    default:
        return CProgressCtrl::WindowProc(message, wParam, lParam);
    }
}

LRESULT CTextProgressCtrl::OnSetPos(int64_t newPosition) {
    const int previous = position;
    int64_t value = newPosition;
    if (value < rangeMin) value = rangeMin;
    if (GetStyle() & PBS_MARQUEE) {
        const int limit = MarqueeLimit();
        if (value > limit) value = limit;
    } else if (value > rangeMax) {
        value = rangeMax;
    }
    position = SaturateInt(value);
    RedrawWindow();
    return previous;
}

LRESULT CTextProgressCtrl::OnStepIt() {
    int64_t n = static_cast<int64_t>(position) + step;
    if (n < rangeMin)
        n = rangeMax - (rangeMin - n);
    else if (n > rangeMax)
        n = rangeMin + (n - rangeMax);
    return OnSetPos(n);
}

void CTextProgressCtrl::OnMarqueeStep() {
    const int p = position;
    if (g_marqueeDirection == 1 && p >= MarqueeLimit()) g_marqueeDirection = -1;
    if (g_marqueeDirection == -1 && p <= rangeMin) g_marqueeDirection = 1;
    OnSetPos(static_cast<int64_t>(p) + g_marqueeDirection);
}

void CTextProgressCtrl::OnPaint() {
    // An empty or inverted range has nothing to show.
    if (!(rangeMin < rangeMax)) return;
    if (!Host()) return;
    std::unique_ptr<PaintTarget> target = Host()->BeginPaint();
    if (!target) return;
    CMemDCFTPC dc(*target);
    Paint(dc);
    // dc goes first: it puts the picture onto the window, then painting ends with target.
}

void CTextProgressCtrl::Paint(Canvas& dc) {
    const COLORREF clrBar = Resolve(barColor, COLOR_HIGHLIGHT);
    const COLORREF clrBackground = Resolve(backgroundColor, COLOR_BTNFACE);
    const COLORREF clrText = Resolve(textColor, COLOR_WINDOWTEXT);
    const COLORREF clrTextOnBar = Resolve(textOnBarColor, COLOR_WINDOW);

    std::optional<FontDesc> font = Host()->GetFont();
    if (!font) font = Host()->GetParentFont();
    if (font) dc.SelectFont(*font);

    Rect inner = Host()->GetClientRect();
    dc.DrawSunkenEdge(inner);

    const double f = (static_cast<double>(position) - rangeMin) /
                     (static_cast<double>(rangeMax) - static_cast<double>(rangeMin));
    const bool vertical = (GetStyle() & PBS_VERTICAL) != 0;
    const bool marquee = (GetStyle() & PBS_MARQUEE) != 0;

    if (vertical && !verticalFont) {
        // A control without a font of its own turns the font it draws with (its parent's).
        FontDesc rotated = font.value_or(FontDesc{});
        rotated.escapement = 900;
        rotated.orientation = 900;
        verticalFont = rotated;
    }

    const int64_t width = inner.Width();
    const int64_t height = inner.Height();
    Rect64 bar(inner), before(inner), after(inner);
    bool showBefore = true;
    bool showAfter = true;
    if (marquee) {
        const int64_t length = vertical ? height : width;
        const int64_t block = (length * marqueeBlockPercent + 50) / 100;
        if (!vertical) {
            const int64_t lead = inner.left + Trunc64(static_cast<double>(width) * f);
            bar.left = lead - block;
            bar.right = lead;
            if (bar.left <= inner.left) {
                showBefore = false;
                bar.left = inner.left;
            } else {
                before.right = bar.left;
            }
            if (lead < inner.right) {
                after.left = lead;
            } else {
                showAfter = false;
                bar.right = inner.right;
            }
        } else {
            const int64_t lead = inner.bottom - Trunc64(static_cast<double>(height) * f);
            bar.top = lead;
            bar.bottom = lead + block;
            if (bar.bottom >= inner.bottom) {
                showBefore = false;
                bar.bottom = inner.bottom;
            } else {
                before.top = bar.bottom;
            }
            if (lead > inner.top) {
                after.bottom = lead;
            } else {
                showAfter = false;
                bar.top = inner.top;
            }
        }
    } else {
        showBefore = false;
        if (!vertical) {
            bar.right = inner.left + Trunc64(static_cast<double>(width) * f);
            after.left = bar.right;
        } else {
            bar.top = inner.bottom - Trunc64(static_cast<double>(height) * f);
            after.bottom = bar.top;
        }
    }
    // A position left outside a narrowed range must not paint over the edge.
    const Rect barRect = bar.Within(inner);
    const Rect beforeRect = before.Within(inner);
    const Rect afterRect = after.Within(inner);
    if (showBefore) dc.FillRect(beforeRect, clrBackground);
    dc.FillRect(barRect, clrBar);
    if (showAfter) dc.FillRect(afterRect, clrBackground);

    std::string text = GetWindowText();
    if (showPercent) {
        char percent[16];
        std::snprintf(percent, sizeof percent, "%d%%", SaturateInt(Trunc64(f * 100.0 + 0.5)));
        text += percent;
    }
    if (text.empty()) return;

    std::optional<FontDesc> replaced;
    if (vertical) replaced = dc.SelectFont(*verticalFont);
    const Size extent = dc.MeasureText(text);
    int x = 0;
    int y = 0;
    if (vertical) {
        x = inner.left + (inner.right - extent.cy - inner.left) / 2;
        if (textAlignment == 0)
            y = inner.bottom - 3;
        else if (textAlignment == 2)
            y = inner.top + 2 + extent.cx;
        else
            y = inner.top + extent.cx + (inner.bottom - extent.cx - inner.top) / 2;
    } else {
        y = inner.top + (inner.bottom - extent.cy - inner.top) / 2;
        if (textAlignment == 0)
            x = inner.left + 2;
        else if (textAlignment == 2)
            x = inner.right - extent.cx - 3;
        else
            x = inner.left + (inner.right - extent.cx - inner.left) / 2;
    }

    dc.SetTransparentBackground();
    if (showBefore) dc.DrawText(x, y, Intersect(beforeRect, inner), clrText, text);
    dc.DrawText(x, y, Intersect(barRect, inner), clrTextOnBar, text);
    if (showAfter) dc.DrawText(x, y, Intersect(afterRect, inner), clrText, text);

    if (replaced) dc.SelectFont(*replaced);
}

}  // namespace ui
