// What the main dialog needs from the window that shows it. The dialog itself is
// toolkit-neutral: a Qt window, the terminal or a test stands behind this interface.
#pragma once

#include <cstdint>
#include <string>

#include "ui/progress_ctrl.h"

namespace app {

class CQuillonDlg;

enum class MbButtons { Ok, OkCancel, YesNo };
enum class MbIcon { Error, Warning, Information };

// Buttons a message box returns, as the platform numbers them.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Controls of the main dialog.
inline constexpr int IDC_HEADING = 1007;
inline constexpr int IDC_PROGRESS_LOWER = 1002;
inline constexpr int IDC_PROGRESS_UPPER = 1003;

// What the program adds beneath a message of the system (the specified text stays as it is):
// what failed, where the device stands now, what to do next, and where the run log is. Empty
// parts are left out.
struct MessageDetails {
    std::string cause;
    std::string deviceState;
    std::string nextStep;
    std::string runLog;
    bool Empty() const { return cause.empty() && deviceState.empty() && nextStep.empty() && runLog.empty(); }
};

// The details as lines of a paragraph ("What happened: ...", "Where the device stands: ...", ...).
std::string DetailsParagraph(const MessageDetails& details);
// text, then the details as a paragraph of its own.
std::string WithDetails(const std::string& text, const MessageDetails& details);

// The device as the run found it (at the start, and again when it came back).
struct DeviceFacts {
    std::string port;
    std::string usbLocation;
    int model = 0;
    std::string serial;    // as the device sent it (untrusted)
    std::string firmware;  // "3.40"
    std::string variant;   // "000"
    bool runsApplication = true;
    bool afterRestart = false;  // found again after a restart
};

// How the run ended, as the history records it.
struct RunEnd {
    std::string outcome;  // updated, up-to-date, refused, failed, stopped
    int exitStatus = 0;
    std::string firmwareBefore, variantBefore, firmwareAfter, variantAfter;
    std::string durationSeconds;
    std::string runLog;  // full path, "" when none was kept
};

class DialogHost {
public:
    virtual ~DialogHost() = default;

    // Runs the dialog modally: its initialisation, then timers, device changes and input until
    // the dialog ends.
    virtual void RunModal(CQuillonDlg& dialog) = 0;

    // A modal message box; returns the button pressed (IDOK, IDCANCEL, IDYES, IDNO).
    virtual int MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                           MbIcon icon) = 0;
    virtual void SetWindowTitle(const std::string& title) = 0;
    // Window text of a control: the heading line or a bar's text.
    virtual void SetDlgItemText(int id, const std::string& text) = 0;
    // A message to one of the two progress bars.
    virtual ui::LRESULT SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam = 0,
                                           ui::LPARAM lParam = 0) = 0;
    // Starts (or restarts) a timer of the dialog; returns its id, 0 when none could be made.
    virtual unsigned SetTimer(unsigned id, unsigned intervalMs) = 0;
    virtual void KillTimer(unsigned id) = 0;
    // Ends the modal run once the current handler returns.
    virtual void EndDialog(int result) = 0;
    virtual void BeginWaitCursor() = 0;
    // The window's large icon (the program's own).
    virtual void SetLargeIcon() = 0;
    // Pauses the dialog's thread on the installed clock. A window keeps painting meanwhile.
    virtual void Sleep(uint32_t ms) = 0;
    // Called between the pieces of a long step (blocks, pages, chunks, status reads): the host
    // keeps its window answering and passes a stop request (DialogHost::RequestStop) on. No timer
    // tick and no device change is delivered here.
    virtual void KeepAlive() = 0;
    // A short line for the user that needs no answer (a stop request held off, ...).
    virtual void ShowNote(const std::string& text) = 0;

    // A message box with the program's details beneath the text. A host that shows details
    // apart (machine output) overrides this; the others show them as a paragraph of the text.
    virtual int MessageBoxWithDetails(const std::string& text, const std::string& caption, MbButtons buttons,
                                      MbIcon icon, const MessageDetails& details) {
        return MessageBox(WithDetails(text, details), caption, buttons, icon);
    }
    // A note with details beneath it (what a stop leaves on the device).
    virtual void ShowNoteWithDetails(const std::string& text, const MessageDetails& details) {
        ShowNote(WithDetails(text, details));
    }
    // A Yes/No question whose preselected answer is No (Enter, a default button); returns IDYES
    // or IDNO. Hosts without a choice of default ask it as any Yes/No question.
    virtual int AskNoByDefault(const std::string& text, const std::string& caption, MbIcon icon) {
        return MessageBox(text, caption, MbButtons::YesNo, icon);
    }
    // The status line beneath the bars: what is being done or awaited. Hosts without one ignore it.
    virtual void SetStatusText(const std::string&) {}
    // Facts of the run for hosts that report them (machine output); the others ignore them.
    virtual void DeviceIdentified(const DeviceFacts&) {}
    virtual void RunFinished(const RunEnd&) {}
};

}  // namespace app
