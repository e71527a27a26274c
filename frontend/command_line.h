// The update program's command line.
#pragma once

#include <string>
#include <vector>

namespace frontend {

struct CommandLine {
    bool text = false;     // the terminal even where a display exists
    bool yes = false;      // answer OK and Yes without asking
    bool list = false;     // list the devices found, update nothing
    bool help = false;
    bool version = false;
    bool ifNewer = false;  // leave a device that runs this firmware or a newer one alone
    bool json = false;     // events as JSON Lines on the standard output
    bool all = false;      // every connected Norvik 1150, a program each
    bool watch = false;    // stay running and update each Norvik 1150 as it is plugged in
    int history = -1;      // --history: the last this many runs (0: all); -1: not asked
    std::string port;      // this port instead of the lookup
    std::string error;     // set when the command line is not understood
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text of --help, with the options, exit statuses and environment variables.
std::string HelpText(const std::string& programName);
// The first lines of an error: what was wrong and where to look.
std::string UsageError(const std::string& programName, const std::string& error);

}  // namespace frontend
