#include "frontend/json/json_host.h"

#include <cctype>
#include <cstdio>

#include "app/quillon_dlg.h"
#include "app/run_log.h"
#include "app/start_and_checks.h"
#include "firmware/controller_version.h"
#include "firmware/resources.h"
#include "platform/clock.h"
#include "platform/system_info.h"

namespace frontend::json {

using app::json::Value;

namespace {

const char* IconName(app::MbIcon icon) {
    switch (icon) {
    case app::MbIcon::Error: return "error";
    case app::MbIcon::Warning: return "warning";
    case app::MbIcon::Information: return "information";
    }
    return "information";
}

const char* ButtonsName(app::MbButtons buttons) {
    switch (buttons) {
    case app::MbButtons::Ok: return "ok";
    case app::MbButtons::OkCancel: return "ok-cancel";
    case app::MbButtons::YesNo: return "yes-no";
    }
    return "ok";
}

const char* AnswerName(int answer) {
    switch (answer) {
    case app::IDOK: return "ok";
    case app::IDCANCEL: return "cancel";
    case app::IDYES: return "yes";
    case app::IDNO: return "no";
    }
    return "cancel";
}

Value DetailsObject(const app::MessageDetails& d) {
    Value v = Value::Object();
    v.Set("cause", d.cause).Set("device_state", d.deviceState).Set("next_step", d.nextStep).Set("run_log", d.runLog);
    return v;
}

std::string Lower(std::string s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r') out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

// What an answer line means for these buttons; -1 when it means nothing.
int LineAnswer(const std::string& line, app::MbButtons buttons, bool noByDefault) {
    const std::string a = Lower(line);
    switch (buttons) {
    case app::MbButtons::Ok:
        return app::IDOK;
    case app::MbButtons::OkCancel:
        if (a.empty() || a == "o" || a == "ok") return app::IDOK;
        if (a == "c" || a == "cancel") return app::IDCANCEL;
        return -1;
    case app::MbButtons::YesNo:
        if (a.empty()) return noByDefault ? app::IDNO : app::IDYES;
        if (a == "y" || a == "yes") return app::IDYES;
        if (a == "n" || a == "no") return app::IDNO;
        return -1;
    }
    return -1;
}

// Answers when none can be read (the input ended, a stop request): the safe one.
int NoAnswer(app::MbButtons buttons) {
    return buttons == app::MbButtons::Ok ? app::IDOK : buttons == app::MbButtons::YesNo ? app::IDNO : app::IDCANCEL;
}

}  // namespace

Value StartEvent(const std::string& programPath) {
    Value v = Value::Object();
    const size_t slash = programPath.find_last_of("/\\");
    v.Set("event", "start")
        .Set("program", slash == std::string::npos ? programPath : programPath.substr(slash + 1))
        .Set("version", std::string(app::kProgramVersion))
        .Set("time", app::UtcNowIso())
        .Set("pid", static_cast<int64_t>(platform::ProcessId()));
    int model = 0, version = 0, variant = 0;
    if (firmware::ReadControllerFirmwareVersion(&model, &version, &variant, [](const std::string&) {}, programPath) == 1) {
        char text[16];
        std::snprintf(text, sizeof text, "%d.%02d", version / 100, version % 100);
        v.Set("firmware", text).Set("model", model);
        std::snprintf(text, sizeof text, "%03d", variant);
        v.Set("variant", text);
    } else {
        v.Set("firmware", nullptr).Set("model", nullptr).Set("variant", nullptr);
    }
    return v;
}

JsonHost::JsonHost(std::unique_ptr<platform::DeviceWatch> watch, JsonOptions options, Value start)
    : LoopDialogHost(std::move(watch)),
      options_(options),
      console_(terminal::OpenConsole(options.inputFd, options.outputFd, options.handleSignals)),
      start_(std::move(start)) {}

JsonHost::~JsonHost() { console_->Finished(); }

void JsonHost::Emit(const Value& event) {
    // One line per event, written whole; a reader that went away never stops the update.
    console_->Write(event.Dump() + "\n");
}

void JsonHost::RunModal(app::CQuillonDlg& dialog) {
    startMs_ = platform::GetClock().NowMs();
    Emit(start_);
    Loop().AddSource(console_->StopHandle(), [this] { TakeSignals(); });
    LoopDialogHost::RunModal(dialog);
}

void JsonHost::TakeSignals() {
    if (console_->TakeSignals().stop) Stop();
}

void JsonHost::KeepAlive() { TakeSignals(); }

int JsonHost::Ask(const std::string& text, const std::string& caption, app::MbButtons buttons, app::MbIcon icon,
                  const app::MessageDetails* details, bool noByDefault) {
    Value event = Value::Object();
    event.Set("event", "message").Set("caption", caption).Set("icon", IconName(icon)).Set("buttons", ButtonsName(buttons));
    event.Set("text", text);
    if (details && !details->Empty()) event.Set("details", DetailsObject(*details));
    if (buttons == app::MbButtons::YesNo) event.Set("preselected", noByDefault ? "no" : "yes");
    int answer = 0;
    std::string how = "given";
    if (options_.answerYes || buttons == app::MbButtons::Ok) {
        // Nothing to choose in an OK box; --yes answers OK and Yes.
        answer = buttons == app::MbButtons::YesNo ? app::IDYES : app::IDOK;
        how = options_.answerYes ? "yes-option" : "ok-box";
    } else {
        // The question goes out first; its answer is a line on the standard input.
        Value question = event;
        question.Set("event", "question");
        Emit(question);
        for (;;) {
            std::string line;
            const terminal::LineEnd end = console_->ReadLine(&line);
            if (end == terminal::LineEnd::Line) {
                answer = LineAnswer(line, buttons, noByDefault);
                if (answer > 0) break;
                continue;
            }
            const bool stop = console_->TakeSignals().stop;
            if (stop) Stop();
            if (end == terminal::LineEnd::End || stop) {
                answer = NoAnswer(buttons);
                how = stop ? "stopped" : "end-of-input";
                break;
            }
        }
    }
    event.Set("answer", AnswerName(answer)).Set("answered_by", how);
    Emit(event);
    return answer;
}

int JsonHost::MessageBox(const std::string& text, const std::string& caption, app::MbButtons buttons,
                         app::MbIcon icon) {
    return Ask(text, caption, buttons, icon, nullptr, false);
}

int JsonHost::MessageBoxWithDetails(const std::string& text, const std::string& caption, app::MbButtons buttons,
                                    app::MbIcon icon, const app::MessageDetails& details) {
    return Ask(text, caption, buttons, icon, &details, false);
}

int JsonHost::AskNoByDefault(const std::string& text, const std::string& caption, app::MbIcon icon) {
    return Ask(text, caption, app::MbButtons::YesNo, icon, nullptr, true);
}

void JsonHost::ShowNote(const std::string& text) {
    Value event = Value::Object();
    event.Set("event", "note").Set("text", text);
    Emit(event);
}

void JsonHost::ShowNoteWithDetails(const std::string& text, const app::MessageDetails& details) {
    Value event = Value::Object();
    event.Set("event", "note").Set("text", text);
    if (!details.Empty()) event.Set("details", DetailsObject(details));
    Emit(event);
}

void JsonHost::SetWindowTitle(const std::string& title) {
    Value event = Value::Object();
    event.Set("event", "title").Set("text", title);
    Emit(event);
}

void JsonHost::SetDlgItemText(int id, const std::string& text) {
    if (id == app::IDC_HEADING) {
        if (text == heading_) return;
        heading_ = text;
        Value event = Value::Object();
        event.Set("event", "heading").Set("text", text);
        Emit(event);
        return;
    }
    const bool upper = id == app::IDC_PROGRESS_UPPER;
    (upper ? upper_ : lower_).SetWindowText(text);
    std::string& shown = upper ? upperText_ : lowerText_;
    if (shown == text) return;
    shown = text;
    // The upper bar's text names the stage ("Firmware update part 2 of 4").
    int stage = 0;
    if (upper && std::sscanf(text.c_str(), "Firmware update part %d of 4", &stage) == 1 && stage != stage_) {
        stage_ = stage;
        Value event = Value::Object();
        event.Set("event", "stage").Set("stage", stage).Set("text", text);
        Emit(event);
    }
}

ui::LRESULT JsonHost::SendDlgItemMessage(int id, ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) {
    const bool upper = id == app::IDC_PROGRESS_UPPER;
    ui::CTextProgressCtrl& bar = upper ? upper_ : lower_;
    const ui::LRESULT r = bar.SendMessage(message, wParam, lParam);
    if (message != ui::PBM_SETPOS) return r;
    const int position = static_cast<int>(bar.SendMessage(ui::PBM_GETPOS));
    int& last = upper ? upperPosition_ : lowerPosition_;
    if (position == last) return r;
    last = position;
    const ui::LRESULT range = bar.SendMessage(ui::PBM_GETRANGE, 0, 0);  // its maximum
    Value event = Value::Object();
    event.Set("event", "progress")
        .Set("bar", upper ? "upper" : "lower")
        .Set("position", position)
        .Set("maximum", static_cast<int>(range))
        .Set("text", upper ? upperText_ : lowerText_);
    Emit(event);
    return r;
}

void JsonHost::SetStatusText(const std::string& text) {
    Value event = Value::Object();
    event.Set("event", "status").Set("text", text);
    Emit(event);
}

void JsonHost::DeviceIdentified(const app::DeviceFacts& f) {
    Value event = Value::Object();
    event.Set("event", "device")
        .Set("port", f.port)
        .Set("usb_location", f.usbLocation)
        .Set("model", f.model)
        .Set("serial", f.serial)
        .Set("firmware", f.firmware)
        .Set("variant", f.variant)
        .Set("running", f.runsApplication ? "application" : "bootware")
        .Set("after_restart", f.afterRestart);
    Emit(event);
}

void JsonHost::RunFinished(const app::RunEnd& end) {
    const auto field = [](const std::string& s) { return s.empty() ? Value() : Value(s); };
    Value event = Value::Object();
    event.Set("event", "end")
        .Set("outcome", end.outcome)
        .Set("exit_status", end.exitStatus)
        .Set("firmware_before", field(end.firmwareBefore))
        .Set("variant_before", field(end.variantBefore))
        .Set("firmware_after", field(end.firmwareAfter))
        .Set("variant_after", field(end.variantAfter))
        .Set("duration_s", std::atoi(end.durationSeconds.c_str()))
        .Set("run_log", field(end.runLog));
    Emit(event);
}

}  // namespace frontend::json
