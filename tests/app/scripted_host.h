// A host for the dialog in tests: message boxes answered from a script, the window's texts and
// the two bars kept as state, the dialog's own message loop on the installed clock.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/loop_dialog_host.h"
#include "app/quillon_dlg.h"
#include "ui/text_progress_ctrl.h"

namespace apptest {

struct Shown {
    std::string text;
    std::string caption;
    app::MbButtons buttons;
    app::MbIcon icon;
    app::MessageDetails details{};
    bool noByDefault = false;  // a Yes/No question whose preselected answer is No
};

class ScriptedHost : public app::LoopDialogHost {
public:
    // Device changes come from the port override's paths only: the machine's own devices do not
    // disturb a test.
    ScriptedHost() : LoopDialogHost(app::WatchDevicesAndPorts(false)) {}

    int MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                   app::MbIcon icon) override {
        messages.push_back({text, caption, buttons, icon, pendingDetails, pendingNoByDefault});
        pendingDetails = {};
        pendingNoByDefault = false;
        if (onMessage) onMessage(messages.back());
        if (!answers.empty()) {
            const int a = answers.front();
            answers.pop_front();
            return a;
        }
        return buttons == app::MbButtons::YesNo ? app::IDYES : app::IDOK;
    }
    // Details and notes are kept apart from the system's texts, as machine output has them.
    int MessageBoxWithDetails(const std::string& text, const std::string& caption, app::MbButtons buttons,
                              app::MbIcon icon, const app::MessageDetails& details) override {
        pendingDetails = details;
        return MessageBox(text, caption, buttons, icon);
    }
    int AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) override {
        pendingNoByDefault = true;
        return MessageBox(text, caption, app::MbButtons::YesNo, icon);
    }
    void ShowNoteWithDetails(const std::string& text, const app::MessageDetails& details) override {
        ShowNote(text);
        noteDetails.push_back(details);
    }
    void SetStatusText(const std::string& text) override {
        status = text;
        statusLines.push_back(text);
    }
    void SetWindowTitle(const std::string& text) override { title = text; }
    void SetDlgItemText(int id, const std::string& text) override {
        if (id == app::IDC_HEADING)
            heading = text;
        else
            Bar(id).SetWindowText(text);
        if (onText) onText(id, text);
    }
    ui::LRESULT SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM w, ui::LPARAM l) override {
        if (message == ui::TPM_SETSHOWPERCENT) (id == app::IDC_PROGRESS_LOWER ? lowerPercent : upperPercent) = w != 0;
        const ui::LRESULT r = Bar(id).SendMessage(message, w, l);
        if (message == ui::PBM_SETPOS && onPosition) onPosition(id, Position(id));
        return r;
    }
    void BeginWaitCursor() override { waitCursor = true; }
    void SetLargeIcon() override { largeIcon = true; }
    void KeepAlive() override {
        if (onKeepAlive) onKeepAlive();
    }
    void ShowNote(const std::string& text) override { notes.push_back(text); }

    // A stop request, as Esc or Ctrl-C give one.
    void PressStop() { Stop(); }
    app::CQuillonDlg* DialogForTest() const { return Dialog(); }

    ui::CTextProgressCtrl& Bar(int id) { return id == app::IDC_PROGRESS_LOWER ? lower : upper; }
    int Position(int id) { return static_cast<int>(Bar(id).SendMessage(ui::PBM_GETPOS)); }
    std::string Text(int id) { return Bar(id).GetWindowText(); }

    std::vector<Shown> messages;
    std::deque<int> answers;
    std::vector<std::string> notes;
    std::vector<app::MessageDetails> noteDetails;  // of the notes that had details
    std::string status;                            // the status line now
    std::vector<std::string> statusLines;          // every status line shown
    std::string title = "fwupdate";
    std::string heading;
    bool lowerPercent = true;
    bool upperPercent = true;
    bool waitCursor = false;
    bool largeIcon = false;
    int deviceChanges = 0;
    std::vector<unsigned> ticks;

    std::function<void(const Shown&)> onMessage;
    std::function<void(int id, const std::string&)> onText;
    std::function<void(int id, int position)> onPosition;
    std::function<void()> onKeepAlive;
    std::function<void(unsigned id, size_t n)> onTick;  // n: ticks of that id so far, this one included

protected:
    void OnDeviceChangeDelivered() override { ++deviceChanges; }
    void OnTickDelivered(unsigned id) override {
        ticks.push_back(id);
        if (onTick) {
            size_t n = 0;
            for (unsigned t : ticks) n += t == id;
            onTick(id, n);
        }
    }

private:
    app::MessageDetails pendingDetails;
    bool pendingNoByDefault = false;
    ui::CTextProgressCtrl lower;
    ui::CTextProgressCtrl upper;
};

}  // namespace apptest
