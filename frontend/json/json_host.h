// The dialog for scripts and the supervisor of several devices: every change as one JSON object
// per line on the standard output (JSON Lines), nothing else there. Questions are answered by
// --yes, or by one line each on the standard input ("ok", "cancel", "yes", "no", their first
// letters, or an empty line for the preselected answer). SIGINT, SIGTERM, SIGHUP and SIGQUIT
// (Windows: Ctrl-C, Ctrl-Break, closing the console) are stop requests, as in the terminal.
// The events and their fields are described by docs/events.schema.json.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/json.h"
#include "app/loop_dialog_host.h"
#include "frontend/terminal/console.h"
#include "ui/text_progress_ctrl.h"

namespace frontend::json {

struct JsonOptions {
    int inputFd = 0;
    int outputFd = 1;
    bool answerYes = false;
    bool handleSignals = true;
};

// The "start" event: the program, its version and the firmware it installs.
app::json::Value StartEvent(const std::string& programPath);

class JsonHost : public app::LoopDialogHost {
public:
    JsonHost(std::unique_ptr<platform::DeviceWatch> watch, JsonOptions options, app::json::Value start);
    ~JsonHost() override;

    void RunModal(app::CQuillonDlg& dialog) override;
    int MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                   app::MbIcon icon) override;
    int MessageBoxWithDetails(const std::string& text, const std::string& caption, app::MbButtons buttons,
                              app::MbIcon icon, const app::MessageDetails& details) override;
    int AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) override;
    void ShowNote(const std::string& text) override;
    void ShowNoteWithDetails(const std::string& text, const app::MessageDetails& details) override;
    void SetWindowTitle(const std::string& title) override;
    void SetDlgItemText(int id, const std::string& text) override;
    ui::LRESULT SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override;
    void BeginWaitCursor() override {}
    void SetLargeIcon() override {}
    void KeepAlive() override;
    void SetStatusText(const std::string& text) override;
    void DeviceIdentified(const app::DeviceFacts& facts) override;
    void RunFinished(const app::RunEnd& end) override;

private:
    void Emit(const app::json::Value& event);
    int Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
            const app::MessageDetails* details, bool noByDefault);
    void TakeSignals();

    JsonOptions options_;
    std::unique_ptr<terminal::Console> console_;
    app::json::Value start_;
    // The bars' state, kept as a window's controls keep it.
    ui::CTextProgressCtrl upper_;
    ui::CTextProgressCtrl lower_;
    int stage_ = 0;
    int upperPosition_ = -1;
    int lowerPosition_ = -1;
    std::string upperText_, lowerText_, heading_;
    uint64_t startMs_ = 0;
};

}  // namespace frontend::json
