// The native window under Wine on a virtual display: the dialog as the template makes it (size,
// controls, icons, the system menu's about entry and the about box), the dialog at stage 2 with
// its texts and bars (pixels read back from the window), and a whole update of the emulated
// device in the window, the window answering throughout.
#include "frontend/win32/win32_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/quillon_dlg.h"
#include "frontend/win32/gdi_canvas.h"
#include "frontend/win32/resource.h"
#include "platform/windows/utf16.h"
#include "ui/text_progress_ctrl.h"

namespace {

using frontend::win32::MainDialog;
using frontend::win32::Win32DialogHost;
using frontend::win32::Win32Options;

// Runs the window's messages until done holds or timeoutMs passed.
bool PumpUntil(HWND dialog, const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (dialog && ::IsDialogMessageW(dialog, &msg)) continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

// A template's rectangle in pixels, converted as the dialog manager converts it: place and size
// each on its own.
RECT DialogRect(HWND dialog, int x, int y, int cx, int cy) {
    RECT r{x, y, cx, cy};
    ::MapDialogRect(dialog, &r);
    return {r.left, r.top, r.left + r.right, r.top + r.bottom};
}

RECT ChildRect(HWND dialog, int id) {
    RECT r;
    ::GetWindowRect(::GetDlgItem(dialog, id), &r);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::wstring Text(HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return text;
}

bool Same(const RECT& a, const RECT& b) {
    const bool same = a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    if (!same)
        std::printf("(%ld,%ld)-(%ld,%ld) is not (%ld,%ld)-(%ld,%ld)\n", a.left, a.top, a.right, a.bottom, b.left, b.top,
                    b.right, b.bottom);
    return same;
}

// The bar's pixels as the window shows them, through its own device context.
struct Capture {
    explicit Capture(HWND window) {
        RECT r;
        ::GetClientRect(window, &r);
        width = r.right;
        height = r.bottom;
        BITMAPINFO info{};
        info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        HDC screen = ::GetDC(window);
        HDC memory = ::CreateCompatibleDC(screen);
        void* data = nullptr;
        HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &data, nullptr, 0);
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        ::GdiFlush();
        const auto* p = static_cast<const uint32_t*>(data);
        pixels.assign(p, p + width * height);
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(window, screen);
    }
    COLORREF At(int x, int y) const {
        const uint32_t v = pixels[static_cast<size_t>(y * width + x)];
        return ui::RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

TEST(Win32Window, TemplateIconsAndSystemMenu) {
    MainDialog window({}, {});
    HWND dialog = window.Window();
    ASSERT_NE(dialog, nullptr);
    // 299 x 100 dialog units of "MS Shell Dlg" 8 point, the controls at their template places:
    // the heading and the bars where they always were, the status line beneath them.
    RECT client;
    ::GetClientRect(dialog, &client);
    EXPECT_TRUE(Same(client, DialogRect(dialog, 0, 0, 299, 100)));
    EXPECT_TRUE(Same(ChildRect(dialog, app::IDC_HEADING), DialogRect(dialog, 11, 11, 267, 11)));
    EXPECT_TRUE(Same(ChildRect(dialog, app::IDC_PROGRESS_UPPER), DialogRect(dialog, 11, 26, 270, 16)));
    EXPECT_TRUE(Same(ChildRect(dialog, app::IDC_PROGRESS_LOWER), DialogRect(dialog, 11, 46, 270, 16)));
    EXPECT_TRUE(Same(ChildRect(dialog, IDC_STATUS), DialogRect(dialog, 11, 68, 270, 26)));
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_STREQ(font.lfFaceName, L"MS Shell Dlg");
    EXPECT_EQ(Text(dialog), L"fwupdate");
    EXPECT_EQ(Text(::GetDlgItem(dialog, app::IDC_HEADING)), L"");
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(dialog, GWL_STYLE));
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME), DWORD{WS_CAPTION | WS_SYSMENU | DS_MODALFRAME});
    EXPECT_TRUE(::GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    wchar_t className[64] = {};
    ::GetClassNameW(::GetDlgItem(dialog, app::IDC_PROGRESS_LOWER), className, 64);
    EXPECT_STREQ(className, L"msctls_progress32");
    // Large and small icons.
    EXPECT_NE(::SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(::SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0), 0);
    // The about entry at the end of the system menu, below a separator.
    HMENU menu = ::GetSystemMenu(dialog, FALSE);
    const int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), UINT{IDM_ABOUTBOX});
    wchar_t entry[64] = {};
    ::GetMenuStringW(menu, IDM_ABOUTBOX, entry, 64, MF_BYCOMMAND);
    EXPECT_STREQ(entry, L"&About Quillon...");
    MENUITEMINFOW separator{};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    ::GetMenuItemInfoW(menu, static_cast<UINT>(count - 2), TRUE, &separator);
    EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
}

// The status line: a static text beneath the lower bar, inside the window, that wraps its words
// (no "&" taken for a mnemonic) and has room for the longest text the dialog shows.
TEST(Win32Window, StatusLineBeneathTheBarsShowsTheWholeText) {
    MainDialog window({}, {});
    Win32DialogHost host(window, nullptr, {});
    HWND dialog = window.Window();
    ::ShowWindow(dialog, SW_SHOW);
    const std::string longest =
        "Do not disconnect or switch off the Norvik 1150. Waiting for it to restart with the new firmware: 100 s, "
        "at most 100 s; about 10 min 59 s left.";
    const std::string opening = "Opening the Norvik 1150 (it has 10 s to answer)...";
    std::atomic<int> step{0};
    std::thread dialogThread([&] {
        host.SetStatusText(opening);
        step = 1;
        while (step != 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        host.SetStatusText(longest);
        host.SetStatusText(longest);
        step = 3;
    });
    HWND status = ::GetDlgItem(dialog, IDC_STATUS);
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(PumpUntil(dialog, [&] { return step == 1; }));
    EXPECT_EQ(Text(status), L"Opening the Norvik 1150 (it has 10 s to answer)...");
    step = 2;
    ASSERT_TRUE(PumpUntil(dialog, [&] { return step == 3; }));
    dialogThread.join();
    EXPECT_EQ(Text(status), platform::Widen(longest));

    wchar_t className[16] = {};
    ::GetClassNameW(status, className, 16);
    EXPECT_STREQ(className, L"Static");
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(status, GWL_STYLE));
    EXPECT_EQ(style & SS_TYPEMASK, DWORD{SS_LEFT});  // SS_LEFT wraps at words; the others do not
    EXPECT_TRUE(style & SS_NOPREFIX);
    EXPECT_TRUE(::IsWindowVisible(status));
    RECT client;
    ::GetClientRect(dialog, &client);
    const RECT box = ChildRect(dialog, IDC_STATUS);
    EXPECT_GE(box.top, ChildRect(dialog, app::IDC_PROGRESS_LOWER).bottom);
    EXPECT_LE(box.bottom, client.bottom);
    // The longest text, wrapped in the control's font at its width, takes more than one line
    // and fits its height.
    HDC dc = ::GetDC(status);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(status, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    RECT needed{0, 0, box.right - box.left, 0};
    const std::wstring wide = platform::Widen(longest);
    ::DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &needed, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    ::SelectObject(dc, old);
    ::ReleaseDC(status, dc);
    EXPECT_GT(needed.bottom, metrics.tmHeight);
    EXPECT_LE(needed.bottom, box.bottom - box.top);
    EXPECT_LE(needed.right, box.right - box.left);
}

// The question before an older firmware is installed has No as its default button, so Enter
// answers No; any other Yes/No question keeps Yes as its default. Enter is pressed in each box
// as the keyboard sends it, inside the box's own modal loop.
TEST(Win32Window, EnterAnswersNoWhereNoIsPreselected) {
    MainDialog window({}, {});
    Win32DialogHost host(window, nullptr, {});
    HWND dialog = window.Window();
    ::ShowWindow(dialog, SW_SHOW);
    struct Look {
        HWND main;
        std::vector<HWND> pressed;
        std::vector<int> defaults;  // each box's default button
    } look{dialog, {}, {}};
    static Look* current = nullptr;
    current = &look;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
        ::EnumThreadWindows(
            ::GetCurrentThreadId(),
            [](HWND w, LPARAM) -> BOOL {
                wchar_t cls[16] = {};
                ::GetClassNameW(w, cls, 16);
                if (w == current->main || std::wstring_view(cls) != L"#32770" || !::IsWindowVisible(w)) return TRUE;
                for (HWND seen : current->pressed)
                    if (seen == w) return TRUE;
                current->pressed.push_back(w);
                // The button drawn as the default one.
                int def = 0;
                for (int id : {app::IDYES, app::IDNO})
                    if ((::GetWindowLongPtrW(::GetDlgItem(w, id), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) def = id;
                current->defaults.push_back(def);
                ::PostMessageW(w, WM_KEYDOWN, VK_RETURN, 0x001C0001);
                ::PostMessageW(w, WM_KEYUP, VK_RETURN, static_cast<LPARAM>(0xC01C0001));
                return TRUE;
            },
            0);
    });
    std::atomic<int> older{0}, same{0};
    std::atomic<bool> done{false};
    std::thread dialogThread([&] {
        older = host.AskNoByDefault("Install the older firmware 3.40?", "Firmware update", app::MbIcon::Warning);
        same = host.MessageBox("Install 3.50 again?", "Firmware update", app::MbButtons::YesNo, app::MbIcon::Warning);
        done = true;
    });
    const bool answered = PumpUntil(dialog, [&] { return done.load(); }, 20000);
    ::KillTimer(nullptr, timer);
    if (!answered)
        for (HWND w : look.pressed) ::PostMessageW(w, WM_COMMAND, app::IDCANCEL, 0);
    dialogThread.join();
    ASSERT_TRUE(answered);
    EXPECT_EQ(look.defaults, (std::vector<int>{app::IDNO, app::IDYES}));
    EXPECT_EQ(older.load(), app::IDNO);
    EXPECT_EQ(same.load(), app::IDYES);
    const auto boxes = host.Messages();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].answer, app::IDNO);
}

TEST(Win32Window, AboutEntryOpensTheAboutBox) {
    MainDialog window({}, {});
    HWND dialog = window.Window();
    ::ShowWindow(dialog, SW_SHOW);
    ::PostMessageW(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND about = nullptr;
    // The box runs its own modal loop; it is looked at and closed from a timer inside it.
    struct Look {
        HWND* about;
        RECT client{};
        std::wstring caption, version;
        RECT ok{};
    } look{&about, {}, {}, {}, {}};
    static Look* current = nullptr;
    current = &look;
    ::SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
        HWND box = ::FindWindowW(nullptr, L"Info about  Quillon");
        if (!box) return;
        ::KillTimer(nullptr, id);
        *current->about = box;
        ::GetClientRect(box, &current->client);
        current->caption = Text(box);
        current->version = Text(::GetDlgItem(box, IDC_ABOUT_TEXT));
        current->ok = ChildRect(box, app::IDOK);
        ::PostMessageW(box, WM_COMMAND, app::IDOK, 0);
    });
    const bool closed = PumpUntil(dialog, [&] { return about != nullptr && !::IsWindow(about); });
    ASSERT_TRUE(closed);
    EXPECT_EQ(look.caption, L"Info about  Quillon");
    EXPECT_EQ(look.version, L"Quillon version 2.60");
    EXPECT_TRUE(Same(look.client, DialogRect(about ? dialog : dialog, 0, 0, 235, 55)));
    EXPECT_TRUE(Same(look.ok, DialogRect(dialog, 178, 7, 50, 16)));
}

TEST(Win32Window, Stage2ShowsItsTextsAndBars) {
    MainDialog window({}, {});
    Win32DialogHost host(window, nullptr, {});
    HWND dialog = window.Window();
    ::ShowWindow(dialog, SW_SHOW);
    std::atomic<bool> done{false};
    // The dialog's calls come from a thread of their own, as in the program.
    std::thread dialogThread([&] {
        app::CQuillonDlg dlg(host, {"C:\\Quillon\\quillon-0350_Norvik.exe"});
        host.SetWindowTitle("Firmware update to Norvik 1150 | SNr.N11501 | FW 3.40 | Var 000 ");
        host.SetDlgItemText(app::IDC_HEADING, " Firmware update Norvik 1150 to Firmware 03.50 ");
        dlg.SetStage(1);
        for (int p = 12; p <= 96; p += 12) host.SendDlgItemMessage(app::IDC_PROGRESS_LOWER, ui::PBM_SETPOS, p);
        host.SendDlgItemMessage(app::IDC_PROGRESS_LOWER, ui::PBM_SETPOS, 100);
        dlg.SetStage(2);
        for (int tick = 1; tick <= 7; ++tick) host.SendDlgItemMessage(app::IDC_PROGRESS_LOWER, ui::PBM_SETPOS, tick);
        done = true;
    });
    ASSERT_TRUE(PumpUntil(dialog, [&] { return done.load(); }));
    dialogThread.join();
    ::UpdateWindow(dialog);
    PumpUntil(dialog, [] { return false; }, 200);

    EXPECT_EQ(Text(dialog), L"Firmware update to Norvik 1150 | SNr.N11501 | FW 3.40 | Var 000 ");
    EXPECT_EQ(Text(::GetDlgItem(dialog, app::IDC_HEADING)), L" Firmware update Norvik 1150 to Firmware 03.50 ");
    HWND upper = ::GetDlgItem(dialog, app::IDC_PROGRESS_UPPER);
    HWND lower = ::GetDlgItem(dialog, app::IDC_PROGRESS_LOWER);
    EXPECT_EQ(Text(upper), L"Firmware update part 2 of 4");
    EXPECT_EQ(Text(lower), L"Reconnect Norvik 1150");
    EXPECT_EQ(::SendMessageW(upper, ui::PBM_GETPOS, 0, 0), 2);
    EXPECT_EQ(::SendMessageW(upper, ui::PBM_GETRANGE, 0, 0), 4);
    EXPECT_EQ(::SendMessageW(lower, ui::PBM_GETPOS, 0, 0), 7);
    EXPECT_EQ(::SendMessageW(lower, ui::PBM_GETRANGE, 0, 0), 100);

    // What the window shows: each bar filled to its share on the row inside the edges.
    const COLORREF barColour = ::GetSysColor(ui::COLOR_HIGHLIGHT);
    for (auto [bar, share] : {std::pair{upper, 0.5}, std::pair{lower, 0.07}}) {
        const Capture c(bar);
        ASSERT_GT(c.width, 8);
        const int inner = c.width - 4;
        int filled = 0;
        for (int x = 2; x < c.width - 2; ++x) filled += c.At(x, 2) == barColour;
        EXPECT_EQ(filled, static_cast<int>(std::trunc(inner * share))) << (bar == upper ? "upper" : "lower");
        EXPECT_EQ(c.At(0, 0), ::GetSysColor(ui::COLOR_BTNSHADOW));
    }
}

}  // namespace
