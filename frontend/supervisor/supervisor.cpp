#include "frontend/supervisor/supervisor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/exit_status.h"
#include "app/history.h"
#include "app/loop_dialog_host.h"
#include "app/start_and_checks.h"
#include "frontend/terminal/console.h"
#include "platform/device_watch.h"
#include "platform/terminal_text.h"
#include "platform/waiter.h"

namespace frontend::supervisor {

using app::json::Value;

namespace {

#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

constexpr int kRescanMs = 2000;   // --watch: how often the devices are looked for besides changes
constexpr int kRedrawMs = 250;    // the table at most this often

size_t Width(std::string_view s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string Fit(std::string s, size_t width) {
    // Cut at a character's start, counting characters.
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == width) {
            s.resize(i);
            break;
        }
    const size_t w = Width(s);
    return w < width ? s + std::string(width - w, ' ') : s;
}

std::string Percent(int position, int maximum) {
    if (maximum <= 0) return "";
    return std::to_string(std::clamp(position * 100 / maximum, 0, 100)) + "%";
}

// What the table and the summary call a device: its place on the USB, else its port.
std::string Where(const DeviceRun& r) { return r.usbLocation.empty() ? r.port : "USB " + r.usbLocation; }

}  // namespace

const Value* ApplyEvent(DeviceRun& run, const Value& event) {
    const std::string kind = event["event"].AsString();
    if (kind == "device") {
        if (run.serial.empty()) run.serial = event["serial"].AsString();
        if (run.firmwareBefore.empty())
            run.firmwareBefore = event["running"].AsString() == "bootware" ? "Bootware" : event["firmware"].AsString();
        if (run.usbLocation.empty()) run.usbLocation = event["usb_location"].AsString();
    } else if (kind == "stage") {
        run.stage = static_cast<int>(event["stage"].AsInt());
    } else if (kind == "progress") {
        const bool upper = event["bar"].AsString() == "upper";
        (upper ? run.upper : run.lower) = static_cast<int>(event["position"].AsInt());
        (upper ? run.upperMaximum : run.lowerMaximum) = static_cast<int>(event["maximum"].AsInt());
        if (!upper) run.lowerText = event["text"].AsString();
    } else if (kind == "status" || kind == "note") {
        run.status = event["text"].AsString();
    } else if (kind == "message") {
        if (event["details"]["cause"].IsString() && !event["details"]["cause"].AsString().empty())
            run.cause = event["details"]["cause"].AsString();
    } else if (kind == "question") {
        return &event;
    } else if (kind == "end") {
        run.outcome = event["outcome"].AsString();
        run.exitStatus = static_cast<int>(event["exit_status"].AsInt());
        run.firmwareAfter = event["firmware_after"].IsString() ? event["firmware_after"].AsString() : "?";
        if (run.firmwareBefore.empty() && event["firmware_before"].IsString())
            run.firmwareBefore = event["firmware_before"].AsString();
        run.runLog = event["run_log"].IsString() ? event["run_log"].AsString() : "";
    }
    return nullptr;
}

bool Succeeded(const DeviceRun& run) {
    return run.outcome == app::kOutcomeUpdated || run.outcome == app::kOutcomeUpToDate;
}

int OverallStatus(const std::vector<std::unique_ptr<DeviceRun>>& runs) {
    if (runs.empty()) return 1;
    for (const auto& r : runs)
        if (!Succeeded(*r)) return 1;
    return 0;
}

std::string Table(const std::vector<std::unique_ptr<DeviceRun>>& runs, size_t columns) {
    std::vector<std::vector<std::string>> rows = {{"DEVICE", "SERIAL", "FIRMWARE", "PART", "DONE", "STATUS"}};
    for (const auto& r : runs) {
        const std::string firmware = (r->firmwareBefore.empty() ? "?" : r->firmwareBefore) + " -> " +
                                     (r->ended ? (r->firmwareAfter.empty() ? "?" : r->firmwareAfter) : "");
        std::string state;
        if (r->ended)
            state = r->outcome + " (exit " + std::to_string(r->exitStatus) + ")" + (r->cause.empty() ? "" : ": " + r->cause);
        else
            state = r->status.empty() ? (r->started ? "starting" : "waiting") : r->status;
        // The warning stands once above the table, not on every row.
        const std::string warning = "Do not disconnect or switch off the Norvik 1150. ";
        if (state.rfind(warning, 0) == 0) state.erase(0, warning.size());
        rows.push_back({platform::TerminalField(Where(*r)), platform::TerminalField(r->serial),
                        platform::TerminalField(firmware), r->stage ? std::to_string(r->stage) + "/4" : "",
                        r->stage ? Percent(r->lower, r->lowerMaximum) : "", platform::TerminalField(state)});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c + 1 < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c + 1 < row.size(); ++c) line += Fit(row[c], widths[c]) + "  ";
        // The status takes what is left of the line.
        const size_t used = Width(line);
        line += columns > used + 10 ? Fit(row.back(), columns - used) : row.back();
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string Summary(const std::vector<std::unique_ptr<DeviceRun>>& runs) {
    std::string out;
    for (const auto& r : runs) {
        out += platform::TerminalField(Where(*r)) + " (serial " + platform::TerminalField(r->serial) + "): " +
               (r->outcome.empty() ? "not finished" : r->outcome) + ", exit status " + std::to_string(r->exitStatus);
        if (!r->cause.empty() && !Succeeded(*r)) out += " - " + platform::TerminalField(r->cause);
        if (!r->runLog.empty()) out += "\n    run log " + platform::TerminalField(r->runLog);
        out += "\n";
    }
    return out;
}

namespace {

// The whole run: devices found, programs started and read, the view drawn, stops passed on.
class Session {
public:
    Session(const Options& options, View& view) : options_(options), view_(view) {}

    int RunAll() {
        std::vector<FoundDevice> devices = FindDevices();
        std::string others;
        std::vector<FoundDevice> targets;
        for (FoundDevice& d : devices) {
            if (d.answered && d.info.model == app::kModel1160)
                targets.push_back(std::move(d));
            else
                others += "  " + platform::TerminalField(d.port) + ": " +
                          (d.answered ? "model " + std::to_string(d.info.model) + ", not updated by this program"
                                      : "no answer (" + platform::TerminalField(d.failure) + ")") +
                          "\n";
        }
        Say("Found " + std::to_string(targets.size()) + " Norvik 1150" + (targets.size() == 1 ? "" : "s") +
            (others.empty() ? "." : "; also:") + "\n" + others);
        if (!options_.watch && targets.empty()) {
            Say("Nothing to update.\n");
            // Another model found: refused; only ports that could not be used or did not answer
            // (another program updating them, say): no device.
            const bool otherModel = std::any_of(devices.begin(), devices.end(), [](const FoundDevice& d) { return d.answered; });
            return otherModel ? app::kExitRefused : app::kExitNoDevice;
        }
        if (!options_.answerYes && !Warned()) return app::kExitCancelled;
        for (FoundDevice& d : targets) Start(d);
        return Loop();
    }

private:
    void Say(const std::string& text) { view_.Say(text); }

    // The warning, once for every device.
    bool Warned() { return view_.ConfirmWarning(); }

    void Start(const FoundDevice& d) {
        auto run = std::make_unique<DeviceRun>();
        run->port = d.stablePort.empty() ? d.port : d.stablePort;
        run->usbLocation = d.usbLocation;
        run->serial = std::string(d.info.serial, strnlen(d.info.serial, sizeof d.info.serial));
        std::vector<std::string> args = {options_.program, "--json", "--port", run->port};
        if (options_.answerYes) args.push_back("--yes");
        if (options_.ifNewer || options_.watch) args.push_back("--if-newer");
        std::string why;
        run->program = platform::StartChild(options_.program, args, kNullDevice, &why);
        if (!run->program) {
            run->ended = true;
            run->outcome = app::kOutcomeFailed;
            run->exitStatus = app::kExitNoDevice;
            run->cause = "the update program could not be started: " + why;
        } else {
            run->started = true;
            waiter_.Add(run->program->OutputHandle());
        }
        bound_.insert(run->port);
        runs_.push_back(std::move(run));
        dirty_ = true;
    }

    // --watch: devices that came since the last look, not bound to a running program, not
    // updated in this run already.
    void LookForNewDevices() {
        std::vector<std::string> busy;
        for (const auto& r : runs_)
            if (!r->ended) busy.push_back(r->port);
        for (FoundDevice& d : FindDevices(busy)) {
            if (!d.answered || d.info.model != app::kModel1160) continue;
            const std::string port = d.stablePort.empty() ? d.port : d.stablePort;
            const std::string serial(d.info.serial, strnlen(d.info.serial, sizeof d.info.serial));
            if (RunningOn(port)) continue;
            if (done_.count(serial)) {
                if (reported_.insert(serial + "@" + port).second)
                    Note("serial " + platform::TerminalField(serial) + " on " + platform::TerminalField(port) +
                         " was done in this run already (updated or up to date): not written again");
                continue;
            }
            Start(d);
        }
    }

    bool RunningOn(const std::string& port) const {
        for (const auto& r : runs_)
            if (!r->ended && r->port == port) return true;
        return false;
    }

    void Note(const std::string& line) {
        view_.Note(line);
        dirty_ = true;
    }

    // Takes what a device's program wrote; its end is recorded when its output ends.
    void Read(DeviceRun& run) {
        if (!run.program || run.ended) return;
        const bool open = run.program->ReadOutput(&run.pending);
        for (size_t end; (end = run.pending.find('\n')) != std::string::npos;) {
            const std::string line = run.pending.substr(0, end);
            run.pending.erase(0, end + 1);
            const auto event = app::json::Parse(line);
            if (!event || !event->IsObject()) continue;
            const std::string before = run.outcome;
            const int stage = run.stage;
            if (const Value* question = ApplyEvent(run, *event)) Answer(run, *question);
            if (run.stage != stage || (*event)["event"].AsString() == "message") view_.DeviceStep(run, *event);
            dirty_ = true;
        }
        if (open) return;
        waiter_.Remove(run.program->OutputHandle());
        const int status = run.program->Wait();
        run.ended = true;
        if (run.outcome.empty()) {
            // The program ended without saying how: it failed.
            run.outcome = app::kOutcomeFailed;
            run.exitStatus = status;
            if (run.cause.empty()) run.cause = "the update program ended without its last event (status " + std::to_string(status) + ")";
        }
        if (Succeeded(run)) done_.insert(run.serial);
        ++finished_;
        view_.DeviceEnded(run, FinishedLine(run));
        dirty_ = true;
    }

    std::string FinishedLine(const DeviceRun& r) const {
        return platform::TerminalField(Where(r)) + ", serial " + platform::TerminalField(r.serial) + ": " + r.outcome +
               " (" + (r.firmwareBefore.empty() ? "?" : platform::TerminalField(r.firmwareBefore)) + " -> " +
               (r.firmwareAfter.empty() ? "?" : platform::TerminalField(r.firmwareAfter)) + ", exit " +
               std::to_string(r.exitStatus) + ")" + (Succeeded(r) || r.cause.empty() ? "" : ": " + platform::TerminalField(r.cause));
    }

    // The warning was confirmed here once; every other question of a device's program (the same
    // firmware again, an older one) gets the safe answer unless --yes answered it there.
    void Answer(DeviceRun& run, const Value& question) {
        const std::string& text = question["text"].AsString();
        const std::string buttons = question["buttons"].AsString();
        std::string answer = buttons == "yes-no" ? "n\n" : "c\n";
        if (text == app::kWarningText) answer = "o\n";
        if (!run.program->WriteInput(answer)) run.cause = "the update program took no answer";
    }

    void Draw() {
        if (!dirty_) return;
        const uint64_t now = platform::GetClock().NowMs();
        if (now - lastDrawMs_ < static_cast<uint64_t>(kRedrawMs) && !AllEnded()) return;
        lastDrawMs_ = now;
        dirty_ = false;
        view_.Show(runs_, State());
    }

    RunState State() const { return {options_.watch, stopping_, AllEnded(), Tally()}; }

    bool AllEnded() const {
        for (const auto& r : runs_)
            if (!r->ended) return false;
        return true;
    }

    std::string Tally() const {
        int updated = 0, upToDate = 0, failed = 0;
        for (const auto& r : runs_) {
            if (!r->ended) continue;
            if (r->outcome == app::kOutcomeUpdated) ++updated;
            else if (r->outcome == app::kOutcomeUpToDate) ++upToDate;
            else ++failed;
        }
        return "updated " + std::to_string(updated) + ", up to date " + std::to_string(upToDate) + ", failed " +
               std::to_string(failed);
    }

    void StopAll() {
        if (!stopping_) Note("Stopping: every update ends at its next safe point; no new device is taken.");
        stopping_ = true;
        for (const auto& r : runs_)
            if (!r->ended && r->program) r->program->RequestStop();
    }

    int Loop() {
        if (view_.WakeHandle() != platform::kNoEventHandle) waiter_.Add(view_.WakeHandle());
        std::unique_ptr<platform::DeviceWatch> watch;
        if (options_.watch) {
            watch = platform::StartDeviceWatch(app::PortOverridePaths(), true);
            waiter_.Add(watch->WaitHandle());
        }
        uint64_t lastScan = platform::GetClock().NowMs();
        bool changed = false;
        for (;;) {
            Draw();
            if (AllEnded() && (!options_.watch || stopping_)) break;
            waiter_.Wait(options_.watch ? 200 : kRedrawMs);
            const ViewSignals signals = view_.TakeSignals();
            if (signals.stop) StopAll();
            if (signals.redraw) dirty_ = true;
            for (const auto& r : runs_) Read(*r);
            if (watch && watch->TakeChanges() > 0) changed = true;
            const uint64_t now = platform::GetClock().NowMs();
            if (options_.watch && !stopping_ && (changed || now - lastScan >= static_cast<uint64_t>(kRescanMs))) {
                changed = false;
                lastScan = now;
                LookForNewDevices();
            }
        }
        dirty_ = true;
        lastDrawMs_ = 0;
        Draw();
        const int status =
            OverallStatus(runs_) == 0 || (options_.watch && runs_.empty()) ? app::kExitSuccess : app::kExitUpdateFailed;
        view_.Finish(runs_, State(), status);
        return status;
    }

    Options options_;
    View& view_;
    platform::Waiter waiter_;
    std::vector<std::unique_ptr<DeviceRun>> runs_;
    std::set<std::string> bound_;
    std::set<std::string> done_;      // serials updated (or up to date) in this run
    std::set<std::string> reported_;
    bool dirty_ = true;
    bool stopping_ = false;
    uint64_t lastDrawMs_ = 0;
    int finished_ = 0;
};

// The devices as a table in the terminal, redrawn in place; plain lines where the output is no
// terminal (or TERM=dumb).
class TerminalView : public View {
public:
    explicit TerminalView(const Options& options)
        : watch_(options.watch), console_(terminal::OpenConsole(0, 1, true)) {
        inPlace_ = options.drawInPlace && console_->OutputIsTerminal();
    }
    // A console being closed waits for this (Windows): the session is over, its device programs
    // have ended or have the stop request, so the supervisor may go.
    ~TerminalView() override { console_->Finished(); }

    void Say(const std::string& text) override { console_->Write(text); }

    // The warning, once for every device.
    bool ConfirmWarning() override {
        Say("\n[Warning] Firmware update\n" + std::string(app::kWarningText) + "\n");
        const bool keys = console_->AnswersAreKeys();
        if (keys) console_->SingleKeys(true);
        for (;;) {
            Say(keys ? "[O]K / [C]ancel (Enter: OK) " : "Type o (OK) or c (Cancel), then Enter (Enter alone: OK) ");
            std::string line;
            char key = 0;
            const terminal::LineEnd end = keys ? console_->ReadKey(&key) : console_->ReadLine(&line);
            if (keys) line = key == '\n' ? "" : key == '\x1b' ? "c" : std::string(1, key);
            if (end != terminal::LineEnd::Line) {
                console_->TakeSignals();
                Say("\n-> Cancel\n");
                console_->SingleKeys(false);
                return false;
            }
            for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (line.empty() || line == "o" || line == "ok") {
                if (keys) Say("OK\n");
                console_->SingleKeys(false);
                return true;
            }
            if (line == "c" || line == "cancel") {
                if (keys) Say("Cancel\n");
                console_->SingleKeys(false);
                return false;
            }
            if (keys) Say("\n");
        }
    }

    platform::EventHandle WakeHandle() const override { return console_->StopHandle(); }

    ViewSignals TakeSignals() override {
        const terminal::ConsoleSignals signals = console_->TakeSignals();
        return {signals.stop, signals.resized || signals.resumed};
    }

    void Note(const std::string& line) override {
        notes_.push_back(line);
        if (!inPlace_) Say(line + "\n");
    }

    void DeviceStep(const DeviceRun& r, const Value& event) override {
        if (inPlace_) return;
        const std::string kind = event["event"].AsString();
        std::string what = kind == "stage" ? event["text"].AsString() : event["text"].AsString().substr(0, 80);
        for (char& c : what)
            if (c == '\n' || c == '\r') c = ' ';
        Say(platform::TerminalField(Where(r)) + " [" + platform::TerminalField(r.serial) + "] " + platform::TerminalField(what) + "\n");
    }

    void DeviceEnded(const DeviceRun&, const std::string& line) override {
        if (watch_ || !inPlace_) Note(line);
    }

    void Show(const std::vector<std::unique_ptr<DeviceRun>>& runs, const RunState& state) override {
        if (!inPlace_) return;
        const int columns = console_->Columns() > 0 ? console_->Columns() : 100;
        std::string screen = "\x1b[H\x1b[2J";
        screen += state.watch ? "Quillon: updating each Norvik 1150 as it is plugged in (Ctrl-C ends)\n\n"
                              : "Quillon: updating every Norvik 1150 connected\n\n";
        if (!state.allEnded) screen += "Do not disconnect or switch off a Norvik 1150 while its update runs.\n\n";
        screen += Table(runs, static_cast<size_t>(columns));
        if (state.watch) screen += "\n" + state.tally + "\n";
        if (state.stopping) screen += "\nStopping: every update ends at its next safe point.\n";
        const size_t shown = std::min<size_t>(notes_.size(), 8);
        for (size_t i = notes_.size() - shown; i < notes_.size(); ++i) screen += notes_[i] + "\n";
        Say(screen);
    }

    void Finish(const std::vector<std::unique_ptr<DeviceRun>>& runs, const RunState& state, int) override {
        Say("\n" + Summary(runs));
        if (state.watch) Say(state.tally + "\n");
    }

private:
    bool watch_;
    std::unique_ptr<terminal::Console> console_;
    bool inPlace_ = false;
    std::vector<std::string> notes_;
};

}  // namespace

int Run(const Options& options) {
    TerminalView view(options);
    return Run(options, view);
}

int Run(const Options& options, View& view) {
    Session session(options, view);
    return session.RunAll();
}

}  // namespace frontend::supervisor
