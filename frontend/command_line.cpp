#include "frontend/command_line.h"

#include "app/exit_status.h"

namespace frontend {

namespace {
constexpr int kHistoryShown = 20;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine c;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--text") {
            c.text = true;
        } else if (a == "--yes" || a == "-y") {
            c.yes = true;
        } else if (a == "--list") {
            c.list = true;
        } else if (a == "--help" || a == "-h") {
            c.help = true;
        } else if (a == "--version") {
            c.version = true;
        } else if (a == "--if-newer") {
            c.ifNewer = true;
        } else if (a == "--json") {
            c.json = true;
        } else if (a == "--all") {
            c.all = true;
        } else if (a == "--watch") {
            c.watch = true;
        } else if (a == "--history") {
            c.history = kHistoryShown;
            if (i + 1 < args.size() && args[i + 1] == "all") {
                c.history = 0;
                ++i;
            }
        } else if (a == "--port" || a.rfind("--port=", 0) == 0) {
            std::string value;
            if (a == "--port") {
                if (i + 1 >= args.size()) {
                    c.error = "--port needs the path of the device's serial port";
                    return c;
                }
                value = args[++i];
            } else {
                value = a.substr(7);
            }
            // The path goes into a PID=PATH;... list, so it cannot hold those separators.
            if (value.empty() || value.find_first_of(";=") != std::string::npos) {
                c.error = "--port needs a path without ';' or '=' (not '" + value + "')";
                return c;
            }
            c.port = value;
        } else {
            c.error = "unknown option '" + a + "'";
            return c;
        }
    }
    if ((c.all || c.watch) && (c.json || c.list || !c.port.empty() || (c.all && c.watch)))
        c.error = "--all and --watch take no --json, --list, --port, nor each other";
    return c;
}

std::string HelpText(const std::string& name) {
    return "Usage: " + name +
           " [--text | --json] [--yes] [--if-newer] [--port PATH] | --all | --watch | --list | --history [all]\n"
           "       | --help | --version\n"
           "Brings the firmware of a connected Norvik 1150 up to the version this program carries:\n"
           "the controller firmware, then the ESP32 images when the device has an ESP32.\n"
           "\n"
           "  --text       run in the terminal (also where a display is available)\n"
           "  --json       events as JSON Lines on the standard output, nothing else there (questions\n"
           "               are answered by --yes or by a line on the standard input: o, c, y, n, or empty)\n"
           "  -y, --yes    answer OK and Yes to every question and message without asking\n"
           "  --if-newer   leave a device that already runs this firmware or a newer one as it is\n"
           "               (exit status 0, \"already up to date\")\n"
           "  --port PATH  use this serial port for the device instead of looking for it\n"
           "  --all        update every Norvik 1150 connected, each in a program of its own, shown as a table\n"
           "               (in a window where a display is available, else or with --text in the terminal);\n"
           "               the warning is asked once; without --yes a device that already runs this firmware or\n"
           "               a newer one is left as it is; exit status 0 only when every device ended updated or up\n"
           "               to date\n"
           "  --watch      a production line: stay running and update each Norvik 1150 as it is plugged in\n"
           "               (devices up to date are not written; Ctrl-C takes no new device, lets the running\n"
           "               updates end, and prints the tally)\n"
           "  --list       list the devices found (port, model, serial, firmware) and update nothing\n"
           "  --history [all]  the last 20 runs of this program (all: every run) and how they ended\n"
           "  -h, --help   this text\n"
           "  --version    the program's version and the firmware it carries\n"
           "\n"
           "The update runs in a window where a display is available, else in the terminal. While it\n"
           "runs, Esc, Ctrl-C, SIGTERM and closing the window stop it at the next safe point: not while\n"
           "the device is being written or installs, as that could leave it without firmware.\n"
           "\n"
           "Exit status:\n"
           "  0  the firmware was updated (\"Firmware successful updated.\")\n"
           "  1  the update failed after the device was changed (see the message for what to do)\n"
           "  2  the command line was not understood\n"
           "  3  no device was found, its port could not be used, or it did not answer\n"
           "  4  the update was refused before anything was written (model, firmware, locked, image)\n"
           "  5  the ESP32 part of the update failed\n"
           "  6  cancelled or stopped by the user\n"
           "\n"
           "Each run keeps a log in $XDG_STATE_HOME/quillon/runs/ (default ~/.local/state/quillon/runs/;\n"
           "Windows: %LOCALAPPDATA%\\Quillon\\runs\\), the last 50 of them, and a line in history.csv beside it.\n"
           "\n"
           "Environment:\n"
           "  VELMORA_COM_PORTS       ports to use instead of the search: PID=PATH;... (0A1F=/dev/ttyACM0)\n"
           "  VELMORA_COMMON_APPDATA  folder in place of /var/lib (Windows: C:\\ProgramData) for the library's\n"
           "                          files and its log\n";
}

std::string UsageError(const std::string& name, const std::string& error) {
    return name + ": " + error + "\nTry '" + name + " --help'.\n";
}

}  // namespace frontend
