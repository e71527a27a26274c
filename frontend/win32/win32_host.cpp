#include "frontend/win32/win32_host.h"

#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "frontend/win32/gdi_canvas.h"
#include "frontend/win32/resource.h"

namespace frontend::win32 {

namespace {

// Runs the std::function at lParam on the window's thread (sent, so the sender waits).
constexpr UINT kRunOnWindow = WM_APP + 1;

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

HCURSOR SystemCursor(LPCSTR id) { return ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(id)); }

UINT BoxStyle(app::MbButtons buttons, app::MbIcon icon) {
    UINT style = 0;
    switch (buttons) {
    case app::MbButtons::Ok: style = MB_OK; break;
    case app::MbButtons::OkCancel: style = MB_OKCANCEL; break;
    case app::MbButtons::YesNo: style = MB_YESNO; break;
    }
    switch (icon) {
    case app::MbIcon::Error: style |= MB_ICONERROR; break;
    case app::MbIcon::Warning: style |= MB_ICONWARNING; break;
    case app::MbIcon::Information: style |= MB_ICONINFORMATION; break;
    }
    return style;
}

INT_PTR CALLBACK AboutProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        // The OK button, Enter and Esc; not the button's other notifications.
        if (HIWORD(wParam) == BN_CLICKED && (LOWORD(wParam) == app::IDOK || LOWORD(wParam) == app::IDCANCEL)) {
            ::EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        ::EndDialog(window, app::IDCANCEL);
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

}  // namespace

MainDialog::MainDialog(std::function<void()> onStopRequest, std::function<void()> onDeviceChange)
    : onStopRequest_(std::move(onStopRequest)), onDeviceChange_(std::move(onDeviceChange)) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    window_ = ::CreateDialogParamW(Instance(), MAKEINTRESOURCEW(IDD_MAIN), nullptr, &MainDialog::Procedure,
                                   reinterpret_cast<LPARAM>(this));
}

MainDialog::~MainDialog() {
    if (window_ && ::IsWindow(window_)) ::DestroyWindow(window_);
    if (largeIcon_) ::DestroyIcon(largeIcon_);
    if (smallIcon_) ::DestroyIcon(smallIcon_);
}

std::wstring MainDialog::AboutEntryText() {
    wchar_t text[256] = {};
    const int n = ::LoadStringW(Instance(), IDS_ABOUTBOX, text, 256);
    return std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0);
}

void MainDialog::OnWindow(const std::function<void()>& f) {
    if (!window_) return;
    if (::GetWindowThreadProcessId(window_, nullptr) == ::GetCurrentThreadId()) {
        f();
        return;
    }
    ::SendMessageW(window_, kRunOnWindow, 0, reinterpret_cast<LPARAM>(&f));
}

void MainDialog::EndDialog() {
    ended_ = true;
    // Posted: the window goes once the thread that asked is done with it.
    ::PostMessageW(window_, WM_CLOSE, 0, 0);
}

void MainDialog::SetWaitCursor(bool on) {
    waitCursor_ = on;
    POINT p;
    RECT r;
    // The cursor changes at once when it is over the window, else when it comes.
    if (::GetCursorPos(&p) && ::GetWindowRect(window_, &r) && ::PtInRect(&r, p))
        ::SetCursor(SystemCursor(on ? IDC_WAIT : IDC_ARROW));
}

void MainDialog::ShowAbout() {
    ::DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, AboutProcedure, 0);
}

void MainDialog::OnInit() {
    // The program's icon, large for the task switcher and small for the caption and task bar.
    largeIcon_ = static_cast<HICON>(::LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(::LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon_));
    ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    // The about entry below a separator, when string 101 has a text.
    const std::wstring about = AboutEntryText();
    if (HMENU menu = ::GetSystemMenu(window_, FALSE); menu && !about.empty()) {
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
    upper_.Attach(::GetDlgItem(window_, app::IDC_PROGRESS_UPPER));
    lower_.Attach(::GetDlgItem(window_, app::IDC_PROGRESS_LOWER));
}

bool MainDialog::PaintMinimised() {
    if (!::IsIconic(window_)) return false;
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(window_, &ps);
    ::SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT r;
    ::GetClientRect(window_, &r);
    const int cx = ::GetSystemMetrics(SM_CXICON);
    const int cy = ::GetSystemMetrics(SM_CYICON);
    ::DrawIcon(dc, (r.right - r.left - cx + 1) / 2, (r.bottom - r.top - cy + 1) / 2, largeIcon_);
    ::EndPaint(window_, &ps);
    return true;
}

INT_PTR CALLBACK MainDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<MainDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
        self->OnInit();
        return TRUE;
    }
    auto* self = reinterpret_cast<MainDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    return self ? self->Handle(message, wParam, lParam) : FALSE;
}

INT_PTR MainDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    auto result = [this](LRESULT r) {
        ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, r);
        return TRUE;
    };
    switch (message) {
    case kRunOnWindow:
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return TRUE;
    case WM_DEVICECHANGE:
        // Event 7 (DBT_DEVNODES_CHANGED) comes to every top-level window; arrivals and removals
        // are folded into it.
        if (wParam == DBT_DEVNODES_CHANGED || wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)
            if (onDeviceChange_) onDeviceChange_();
        return result(TRUE);
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            ShowAbout();
            return TRUE;
        }
        if ((wParam & 0xFFF0) == SC_CLOSE && !ended_) {
            if (onStopRequest_) onStopRequest_();
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        // Esc (IDCANCEL) of the dialog: a stop request, as closing is. Enter (IDOK) is none: a
        // second press meant for a message box that has just closed must not stop the update.
        if (HIWORD(wParam) == BN_CLICKED && (LOWORD(wParam) == app::IDOK || LOWORD(wParam) == app::IDCANCEL)) {
            if (ended_)
                ::DestroyWindow(window_);
            else if (LOWORD(wParam) == app::IDCANCEL && onStopRequest_)
                onStopRequest_();
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        if (ended_)
            ::DestroyWindow(window_);
        else if (onStopRequest_)
            onStopRequest_();
        return TRUE;
    case WM_QUERYENDSESSION:
        // The session is to end: the update stops at its next safe point. Until then the
        // update's block of the session's end answers no, with its reason for the user.
        if (!ended_ && onStopRequest_) onStopRequest_();
        return result(TRUE);
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return FALSE;
    case WM_SETCURSOR:
        if (waitCursor_ && LOWORD(lParam) == HTCLIENT) {
            ::SetCursor(SystemCursor(IDC_WAIT));
            return result(TRUE);
        }
        return FALSE;
    case ui::WM_PAINT:
        return PaintMinimised() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(largeIcon_);
    default:
        return FALSE;
    }
}

Win32DialogHost::Win32DialogHost(MainDialog& window, std::unique_ptr<platform::WindowsDeviceWatch> watch,
                                 Win32Options options)
    : LoopDialogHost(nullptr), window_(window), watch_(std::move(watch)), options_(std::move(options)) {
    wake_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

Win32DialogHost::~Win32DialogHost() {
    // A note left open goes with the program.
    if (note_ && note_->thread) ::CloseHandle(note_->thread);
    if (wake_) ::CloseHandle(wake_);
}

void Win32DialogHost::RunModal(app::CQuillonDlg& dialog) {
    Loop().AddSource(reinterpret_cast<platform::EventHandle>(wake_), [this] { TakeStops(); });
    if (watch_)
        Loop().AddSource(watch_->WaitHandle(), [this, &dialog] {
            // Changes that come together reach the dialog as one event, as the system folds them.
            if (watch_->TakeChanges() > 0 && !dialog.Ended()) {
                OnDeviceChangeDelivered();
                dialog.OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
            }
        });
    LoopDialogHost::RunModal(dialog);
}

void Win32DialogHost::RequestStop() {
    stopRequested_ = true;
    ::SetEvent(wake_);
}

void Win32DialogHost::DeviceChanged() {
    if (watch_) watch_->Notice();
}

void Win32DialogHost::TakeStops() {
    if (stopRequested_.exchange(false)) Stop();
}

void Win32DialogHost::KeepAlive() { TakeStops(); }

void Win32DialogHost::AfterDispatch() {
    // The wait cursor lasts until the dialog waits for the first time.
    if (!waitCursor_) return;
    waitCursor_ = false;
    window_.OnWindow([this] { window_.SetWaitCursor(false); });
}

int Win32DialogHost::MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                                app::MbIcon icon) {
    return Ask(text, caption, buttons, icon, MB_DEFBUTTON1);
}

int Win32DialogHost::AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) {
    return Ask(text, caption, app::MbButtons::YesNo, icon, MB_DEFBUTTON2);
}

int Win32DialogHost::Ask(const std::string& text, const std::string& caption, app::MbButtons buttons,
                         app::MbIcon icon, UINT defaultButton) {
    if (waitCursor_) {
        waitCursor_ = false;
        window_.OnWindow([this] { window_.SetWaitCursor(false); });
    }
    int answer = options_.Given(text, caption, buttons, icon);
    if (answer == 0)
        window_.OnWindow([&] {
            answer = ::MessageBoxW(window_.Window(), platform::Widen(text).c_str(), platform::Widen(caption).c_str(),
                                   BoxStyle(buttons, icon) | defaultButton);
        });
    shown_.AddBox({text, caption, buttons, icon, answer});
    return answer;
}

void Win32DialogHost::SetStatusText(const std::string& text) {
    // A countdown sets its text every second; an unchanged one is not sent again.
    if (text == status_) return;
    status_ = text;
    window_.OnWindow([&] { ::SetDlgItemTextW(window_.Window(), IDC_STATUS, platform::Widen(text).c_str()); });
}

void Win32DialogHost::SetWindowTitle(const std::string& title) {
    window_.OnWindow([&] { ::SetWindowTextW(window_.Window(), platform::Widen(title).c_str()); });
}

void Win32DialogHost::SetDlgItemText(int id, const std::string& text) {
    window_.OnWindow([&] {
        ::SetDlgItemTextW(window_.Window(), id, platform::Widen(text).c_str());
        // A bar's new text shows at its next paint, as the window's text of a control does.
        if (id != app::IDC_HEADING) ::InvalidateRect(::GetDlgItem(window_.Window(), id), nullptr, FALSE);
    });
}

ui::LRESULT Win32DialogHost::SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
    ui::LRESULT result = 0;
    window_.OnWindow([&] {
        HWND bar = ::GetDlgItem(window_.Window(), id);
        result = ::SendMessageW(bar, message, wParam, lParam);
        // A state change that does not paint (the percentage switch, the range) shows at the next
        // paint; asking for one costs nothing when nothing changed.
        ::InvalidateRect(bar, nullptr, FALSE);
    });
    return result;
}

void Win32DialogHost::BeginWaitCursor() {
    if (waitCursor_) return;
    waitCursor_ = true;
    window_.OnWindow([this] { window_.SetWaitCursor(true); });
}

void Win32DialogHost::SetLargeIcon() {
    window_.OnWindow([this] {
        auto icon = reinterpret_cast<LPARAM>(::SendMessageW(window_.Window(), WM_GETICON, ICON_BIG, 0));
        if (!icon)
            icon = reinterpret_cast<LPARAM>(::LoadIconW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME)));
        ::SendMessageW(window_.Window(), WM_SETICON, ICON_BIG, icon);
    });
}

DWORD WINAPI Win32DialogHost::NoteThread(void* p) {
    // The thread owns its text: a note left open may outlive the host.
    const std::unique_ptr<std::wstring> text(static_cast<std::wstring*>(p));
    ::MessageBoxW(nullptr, text->c_str(), platform::Widen(app::kCaption).c_str(),
                  MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
    return 0;
}

namespace {

// Presses OK of each message box of the thread: a posted click, as the box's own button sends.
BOOL CALLBACK PressOk(HWND window, LPARAM) {
    wchar_t cls[16] = {};
    if (::GetClassNameW(window, cls, 16) && std::wstring_view(cls) == L"#32770")
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(app::IDOK, BN_CLICKED), 0);
    return TRUE;
}

}  // namespace

void Win32DialogHost::CloseNoteLocked() {
    if (!note_) return;
    // The thread may not have made its box yet: press OK until the thread ends with its box.
    // A box that does not close within 5 s is left open rather than hold the update up.
    for (int attempt = 0; attempt < 250; ++attempt) {
        ::EnumThreadWindows(note_->threadId, PressOk, 0);
        if (::WaitForSingleObject(note_->thread, 20) != WAIT_TIMEOUT) break;
    }
    ::CloseHandle(note_->thread);
    note_.reset();
}

void Win32DialogHost::ShowNote(const std::string& text) {
    shown_.AddNote(text);
    if (options_.Unattended()) return;  // nobody to read it: the note is kept only
    std::lock_guard<std::mutex> lock(noteMutex_);
    CloseNoteLocked();
    // A note needs no answer: a box of its own thread, beside the window, until closed, replaced
    // by a newer note, or the dialog ends (unless the ending shows it).
    auto note = std::make_unique<Note>();
    note->ofTheEnding = dialogEnded_;
    auto wide = std::make_unique<std::wstring>(platform::Widen(text));
    note->thread = ::CreateThread(nullptr, 0, &Win32DialogHost::NoteThread, wide.get(), 0, &note->threadId);
    if (!note->thread) return;
    static_cast<void>(wide.release());  // the thread's now
    note_ = std::move(note);
}

void Win32DialogHost::EndDialog(int result) {
    LoopDialogHost::EndDialog(result);
    dialogEnded_ = true;
}

void Win32DialogHost::CloseNotesOfTheRun() {
    std::lock_guard<std::mutex> lock(noteMutex_);
    if (note_ && !note_->ofTheEnding) CloseNoteLocked();
}

void Win32DialogHost::WaitForNotes() {
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(noteMutex_);
        if (note_) ::DuplicateHandle(::GetCurrentProcess(), note_->thread, ::GetCurrentProcess(), &thread, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS);
    }
    if (!thread) return;
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

int RunDialogInWindow(MainDialog& window, Win32DialogHost& host, const app::DialogOptions& options) {
    ::ShowWindow(window.Window(), SW_SHOW);
    int status = app::kExitCancelled;
    std::thread dialogThread([&] {
        app::CQuillonApp program(host, options);
        program.InitInstance();
        status = program.ExitStatus();
        // The note of the ending (why the update stopped) keeps the program until it is closed.
        host.CloseNotesOfTheRun();
        host.WaitForNotes();
        window.EndDialog();
    });
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(window.Window(), &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    dialogThread.join();
    return status;
}

int RunInWindow(const app::DialogOptions& dialogOptions, Win32Options options) {
    Win32DialogHost* hostPointer = nullptr;
    MainDialog window([&hostPointer] { if (hostPointer) hostPointer->RequestStop(); },
                      [&hostPointer] { if (hostPointer) hostPointer->DeviceChanged(); });
    if (!window.Window()) return app::kExitCancelled;
    Win32DialogHost host(window, platform::StartWindowsDeviceWatch(app::PortOverridePaths(), false),
                         std::move(options));
    hostPointer = &host;
    return RunDialogInWindow(window, host, dialogOptions);
}

}  // namespace frontend::win32
