// quillon: updates the firmware of a connected Norvik 1150. The dialog runs in a window where a
// display is available (on Windows: the desktop), else (or with --text) in the terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/loop_dialog_host.h"
#include "app/quillon_dlg.h"
#include "firmware/controller_version.h"
#include "frontend/command_line.h"
#include "frontend/device_list.h"
#include "frontend/program_window.h"
#include "frontend/terminal/ansi_output.h"
#include "frontend/terminal/terminal_host.h"
#include "platform/system_info.h"

namespace {

std::string ProgramName(const char* argv0) {
    std::string name = argv0 ? argv0 : "quillon";
    const size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

int PrintVersion() {
    int model = 0, version = 0, variant = 0;
    std::string heading;
    const int r = firmware::ReadControllerFirmwareVersion(&model, &version, &variant,
                                                          [&](const std::string& h) { heading = h; });
    std::printf("quillon %s\n", QUILLON_VERSION_TEXT);
    if (r == 1)
        std::printf("controller firmware %d.%02d (variant %03d) for model %d; the heading reads \"%s\"\n", version / 100,
                    version % 100, variant, model, heading.c_str());
    else
        std::printf("ESP32 images only; the heading reads \"%s\"\n", heading.c_str());
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
    if (cmd.version) return PrintVersion();
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

    if (!cmd.text && frontend::WindowAvailable())
        return frontend::RunInWindow(argc, argv, platform::ProgramPath(), cmd.yes);

    frontend::terminal::TerminalOptions options;
    options.answerYes = cmd.yes;
    const char* term = std::getenv("TERM");
    options.drawInPlace = !(term && std::string(term) == "dumb");
    options.colors = frontend::terminal::ColorModeFor(std::getenv("COLORTERM"), term);
    int status = app::kExitCancelled;
    {
        frontend::terminal::TerminalHost host(app::WatchDevicesAndPorts(), options);
        app::CQuillonApp application(host, {platform::ProgramPath()});
        application.InitInstance();
        status = application.ExitStatus();
    }
    return status;
}
