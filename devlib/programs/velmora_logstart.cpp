// Starts the library once, as the update tool does at its start, and says where the log went.
// Support staff use it to check that the marker file switches the log on.
#include <cstdio>
#include <cstring>

#include "devlib/library.h"
#include "platform/terminal_text.h"

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "Usage: velmora-logstart\n"
            "Starts the Velmora library once. With the marker file VelmoraLog.cfg in the library\n"
            "folder (the machine-wide data folder, /var/lib or C:\\ProgramData, or\n"
            "$VELMORA_COMMON_APPDATA; then Kalder) it writes the log header.\n");
        return 0;
    }
    velmora::InitLibrary();
    if (const char* path = velmora::LogEntry()) {
        // The folder comes from the marker file, which any user may write: filtered.
        std::printf("Velmora log: %s\n", platform::TerminalField(path).c_str());
        return 0;
    }
    std::printf("Velmora log is off: no marker file VelmoraLog.cfg in the library folder.\n");
    return 0;
}
