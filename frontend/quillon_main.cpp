// quillon: updates the firmware of a connected Norvik 1150. The dialog runs in a window where a
// display is available (on Windows: the desktop), else (or with --text) in the terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/history.h"
#include "app/loop_dialog_host.h"
#include "app/quillon_dlg.h"
#include "firmware/controller_version.h"
#include "firmware/resources.h"
#include "frontend/command_line.h"
#include "frontend/device_list.h"
#include "frontend/json/json_host.h"
#include "frontend/supervisor/supervisor.h"
#include "frontend/program_window.h"
#include "frontend/terminal/ansi_output.h"
#include "frontend/terminal/terminal_host.h"
#include "platform/files.h"
#include "platform/state_store.h"
#include "platform/system_info.h"

namespace {

std::string ProgramName(const char* argv0) {
    std::string name = argv0 ? argv0 : "quillon";
    const size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

int PrintVersion(const std::string& name) {
    int model = 0, version = 0, variant = 0;
    const int r = firmware::ReadControllerFirmwareVersion(&model, &version, &variant, [](const std::string&) {});
    bool esp32 = true;
    for (int id : {141, 142, 144, 145}) esp32 = esp32 && firmware::GetFwFileLength(id) > 0;
    std::printf("Quillon %s (%s)\n", QUILLON_PROGRAM_VERSION, name.c_str());
    if (r == 1) {
        const std::string device = model == 1160 ? "Norvik 1150" : "model " + std::to_string(model);
        std::printf("Installs the %s controller firmware %d.%02d (Var %03d)%s.\n", device.c_str(), version / 100,
                    version % 100, variant, esp32 ? " and its ESP32 images" : "");
    } else {
        std::printf("Installs the ESP32 images of the Norvik 1150 (version %s).\n",
                    firmware::VersionTextFromPath(platform::ProgramPath(), firmware::kEsp32VersionTail).c_str());
    }
    std::printf("Library Velmora %s\n", QUILLON_VERSION_TEXT);
    return app::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // A closed output (| head, a pager quit early) is a failed write, never the end of an update.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const std::string name = ProgramName(argv[0]);
    const frontend::CommandLine cmd = frontend::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!cmd.error.empty()) {
        std::fputs(frontend::UsageError(name, cmd.error).c_str(), stderr);
        return app::kExitBadCommandLine;
    }
    if (cmd.help) {
        std::fputs(frontend::HelpText(name).c_str(), stdout);
        return app::kExitSuccess;
    }
    if (cmd.version) return PrintVersion(name);
    if (cmd.history >= 0) {
        const std::string folder = platform::ProgramStateFolder();
        const auto entries = app::ReadHistory(folder);
        std::fputs(app::HistoryTable(entries, static_cast<size_t>(cmd.history), [](std::string_view s) {
                       return frontend::terminal::TerminalSafe(s);
                   }).c_str(),
                   stdout);
        if (!entries.empty()) std::printf("(%s%c%s)\n", folder.c_str(), platform::kPathSeparator, app::kHistoryFile);
        return app::kExitSuccess;
    }
    if (!cmd.port.empty()) {
        // The named port stands for both product ids, so the device is found whatever it reports.
        const std::string list = "0A1E=" + cmd.port + ";0A1F=" + cmd.port;
        platform::SetEnv("VELMORA_COM_PORTS", list);
    }
    if (cmd.list) {
        std::string out;
        const int found = frontend::ListDevices(&out);
        std::fputs(out.c_str(), stdout);
        return found > 0 ? app::kExitSuccess : app::kExitNoDevice;
    }

    if (cmd.all || cmd.watch) {
        frontend::supervisor::Options options;
        options.program = platform::ProgramPath();
        options.answerYes = cmd.yes;
        options.ifNewer = cmd.ifNewer;
        options.watch = cmd.watch;
        const char* term = std::getenv("TERM");
        options.drawInPlace = !(term && std::string(term) == "dumb");
        // A window where one opens (the devices' own programs never load it: they run as JSON).
        if (!cmd.text && frontend::WindowAvailable() && frontend::DevicesWindowAvailable())
            return frontend::RunDevicesInWindow(argc, argv, options);
        return frontend::supervisor::Run(options);
    }

    app::DialogOptions dialogOptions(platform::ProgramPath());
    dialogOptions.ifNewer = cmd.ifNewer;
    if (cmd.json) {
        // Machine output: one JSON object per line, nothing else on the standard output.
        frontend::json::JsonOptions json;
        json.answerYes = cmd.yes;
        frontend::json::JsonHost host(app::WatchDevicesAndPorts(), json, frontend::json::StartEvent(platform::ProgramPath()));
        app::CQuillonApp application(host, dialogOptions);
        application.InitInstance();
        return application.ExitStatus();
    }
    if (!cmd.text && frontend::WindowAvailable()) return frontend::RunInWindow(argc, argv, dialogOptions, cmd.yes);

    frontend::terminal::TerminalOptions options;
    options.answerYes = cmd.yes;
    const char* term = std::getenv("TERM");
    options.drawInPlace = !(term && std::string(term) == "dumb");
    options.colors = frontend::terminal::ColorModeFor(std::getenv("COLORTERM"), term);
    int status = app::kExitCancelled;
    {
        frontend::terminal::TerminalHost host(app::WatchDevicesAndPorts(), options);
        app::CQuillonApp application(host, dialogOptions);
        application.InitInstance();
        status = application.ExitStatus();
    }
    return status;
}
