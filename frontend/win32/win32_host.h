// The dialog in a native Win32 window, made from the resource template IDD_MAIN. The window
// lives on the program's main thread and never waits for the device: the dialog, every library
// call and the dialog's message loop (timers, device changes, stop requests) run on a thread of
// their own, and each thing the dialog shows is sent to the window's thread (SendMessage with a
// private message) and waited for there. So the window repaints and answers the system during a
// whole download or installation ("not responding" never shows), while the dialog sees ticks
// and device changes only between its handlers, as in the console.
#pragma once

#include "frontend/win32/windows_api.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/loop_dialog_host.h"
#include "app/quillon_dlg.h"
#include "app/window_answers.h"
#include "frontend/win32/win32_progress_bar.h"
#include "platform/windows/device_watch_windows.h"

namespace frontend::win32 {

using Win32Options = app::WindowAnswers;

// The main dialog's window (IDD_MAIN), made on the calling thread, which must run its messages.
class MainDialog {
public:
    // onStopRequest: closing the window, Esc, the end of the session (Enter is none). onDeviceChange: a
    // WM_DEVICECHANGE the system sent the window.
    MainDialog(std::function<void()> onStopRequest, std::function<void()> onDeviceChange);
    ~MainDialog();
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    HWND Window() const { return window_; }
    Win32ProgressBar& Bar(int id) { return id == app::IDC_PROGRESS_LOWER ? lower_ : upper_; }
    // Runs f on the window's thread and waits for it (any thread).
    void OnWindow(const std::function<void()>& f);
    // From now on the window may close: it goes at once (any thread).
    void EndDialog();
    bool Ended() const { return ended_; }
    // Shows the wait cursor over the window until RestoreCursor (window's thread).
    void SetWaitCursor(bool on);
    // The text of the system menu's about entry (string 101).
    static std::wstring AboutEntryText();
    // Opens the about box (the system menu's entry) modally (window's thread).
    void ShowAbout();

private:
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInit();
    bool PaintMinimised();

    std::function<void()> onStopRequest_;
    std::function<void()> onDeviceChange_;
    HWND window_ = nullptr;
    HICON largeIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    bool waitCursor_ = false;
    std::atomic<bool> ended_{false};
    Win32ProgressBar upper_;
    Win32ProgressBar lower_;
};

class Win32DialogHost : public app::LoopDialogHost {
public:
    Win32DialogHost(MainDialog& window, std::unique_ptr<platform::WindowsDeviceWatch> watch, Win32Options options);
    ~Win32DialogHost() override;

    void RunModal(app::CQuillonDlg& dialog) override;
    int MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                   app::MbIcon icon) override;
    // Yes and No with No as the default button (MB_DEFBUTTON2): Enter answers No.
    int AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) override;
    void SetStatusText(const std::string& text) override;
    void SetWindowTitle(const std::string& title) override;
    void SetDlgItemText(int id, const std::string& text) override;
    ui::LRESULT SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam = 0, ui::LPARAM lParam = 0) override;
    void BeginWaitCursor() override;
    void SetLargeIcon() override;
    void KeepAlive() override;
    void ShowNote(const std::string& text) override;

    // From any thread: closing the window, Esc, the end of the session.
    void RequestStop();
    // From any thread: a device change the window was told of.
    void DeviceChanged();

    using Shown = app::ShownLog::Box;
    // Every message box the dialog asked for, in order (shown or answered by --yes).
    std::vector<Shown> Messages() const { return shown_.Boxes(); }
    std::vector<std::string> Notes() const { return shown_.Notes(); }
    // The dialog has ended: the end of the modal run comes once the current handler returns.
    void EndDialog(int result) override;
    // The notes of the run close when the dialog ends, but for the one the ending itself shows
    // (why the update stopped). There is one note at most: a newer note replaces the open one.
    void CloseNotesOfTheRun();
    // Waits until the note the user has open is closed; not with --yes (nobody to read it).
    void WaitForNotes();

protected:
    void AfterDispatch() override;

private:
    // A note's box on a thread of its own (it needs no answer, so nobody waits for it).
    struct Note {
        HANDLE thread = nullptr;
        DWORD threadId = 0;
        bool ofTheEnding = false;  // shown once the dialog had ended
    };
    static DWORD WINAPI NoteThread(void* text);
    int Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
            UINT defaultButton);
    void TakeStops();
    // Closes the open note's box and waits for its thread (noteMutex_ held).
    void CloseNoteLocked();

    MainDialog& window_;
    // Owned here rather than by LoopDialogHost: the window hands its WM_DEVICECHANGE to it.
    std::unique_ptr<platform::WindowsDeviceWatch> watch_;
    Win32Options options_;
    HANDLE wake_ = nullptr;
    std::atomic<bool> stopRequested_{false};
    bool waitCursor_ = false;
    std::string status_;  // the status line as shown (the dialog's thread)
    app::ShownLog shown_;
    std::atomic<bool> dialogEnded_{false};
    std::mutex noteMutex_;
    std::unique_ptr<Note> note_;
};

// Runs the dialog in a window that exists until it ends; returns the exit status. The calling
// thread is the window's and runs its messages meanwhile.
int RunDialogInWindow(MainDialog& window, Win32DialogHost& host, const app::DialogOptions& options);

// Runs the whole program in the window: returns its exit status.
int RunInWindow(const app::DialogOptions& dialogOptions, Win32Options options);

}  // namespace frontend::win32
