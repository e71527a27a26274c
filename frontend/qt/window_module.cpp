// The windows as a module of their own: the update program loads it (and with it Qt) only when it
// opens a window, so a run in the terminal or as JSON (each device's program under the
// supervisor) maps no Qt library.
// The module uses the program's own dialog, library, supervisor and state (the program exports
// them): there is one of each in the process.
#include "frontend/qt/devices_window.h"
#include "frontend/qt/qt_host.h"
#include "frontend/qt/window_module.h"

extern "C" __attribute__((visibility("default"))) int QuillonRunInWindow(int argc, char** argv,
                                                                         const app::DialogOptions* dialogOptions,
                                                                         int answerYes) {
    frontend::qt::QtOptions options;
    options.answerYes = answerYes != 0;
    return frontend::qt::RunInWindow(argc, argv, *dialogOptions, options);
}

extern "C" __attribute__((visibility("default"))) int QuillonRunDevicesInWindow(
    int argc, char** argv, const frontend::supervisor::Options* options) {
    return frontend::qt::RunDevicesWindow(argc, argv, *options, true);
}
