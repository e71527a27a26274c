// CTextProgressCtrl: a progress bar that keeps its own position and range, paints itself
// through an off-screen surface, and writes its window text and percentage across the bar in
// one colour over the filled part and another over the empty part. It also has a marquee mode
// (a block sliding to and fro) and vertical bars with upward text.
#pragma once

#include "ui/canvas.h"
#include "ui/progress_ctrl.h"

#include <cstdint>
#include <optional>

namespace ui {

inline constexpr UINT TPM_GETBARCOLOR = WM_USER + 100;
inline constexpr UINT TPM_GETBKCOLOR = WM_USER + 101;
inline constexpr UINT TPM_SETTEXTCOLOR = WM_USER + 102;
inline constexpr UINT TPM_GETTEXTCOLOR = WM_USER + 103;
inline constexpr UINT TPM_SETTEXTONBARCOLOR = WM_USER + 104;
inline constexpr UINT TPM_GETTEXTONBARCOLOR = WM_USER + 105;
inline constexpr UINT TPM_SETSHOWPERCENT = WM_USER + 106;
inline constexpr UINT TPM_SETTEXTALIGN = WM_USER + 107;
inline constexpr UINT TPM_SETMARQUEEBLOCK = WM_USER + 108;

// The timer that moves the marquee block.
inline constexpr unsigned kMarqueeTimerId = 1;

class CTextProgressCtrl : public CProgressCtrl {
public:
    CTextProgressCtrl() = default;
    ~CTextProgressCtrl() override;

    // Every message of the bar is answered here; WM_PAINT paints through the host.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Where the marquee block may run: rangeMax plus the block's percentage of it.
    int MarqueeLimit() const;
    // The marquee direction (+1 or -1), one for the whole process.
    static int MarqueeDirection();
    bool HasVerticalFont() const { return verticalFont.has_value(); }

private:
    LRESULT OnSetPos(int64_t newPosition);
    LRESULT OnStepIt();
    void OnMarqueeStep();
    void OnPaint();
    void Paint(Canvas& dc);
    COLORREF Resolve(COLORREF color, int sysColorIndex) const;
    // Repaints with the old state, then stores value into member; returns the old value.
    LRESULT RepaintThenStore(COLORREF& member, COLORREF value);

    int showPercent = 1;
    std::optional<FontDesc> verticalFont;
    COLORREF barColor = CLR_DEFAULT;
    COLORREF backgroundColor = CLR_DEFAULT;
    COLORREF textColor = CLR_DEFAULT;
    COLORREF textOnBarColor = CLR_DEFAULT;
    int textAlignment = 1;
    int position = 0;
    int step = 10;
    int rangeMin = 0;
    int rangeMax = 100;
    int marqueeBlockPercent = 20;
};

}  // namespace ui
