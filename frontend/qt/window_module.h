// What the window's module offers the update program, looked up by name after loading it.
#pragma once

namespace app {
struct DialogOptions;
}
namespace frontend::supervisor {
struct Options;
}

// Runs the whole update in a window; returns the exit status. answerYes: --yes.
using QuillonRunInWindowFunction = int (*)(int argc, char** argv, const app::DialogOptions* dialogOptions,
                                          int answerYes);
inline constexpr const char* kQuillonRunInWindow = "QuillonRunInWindow";
// Runs --all or --watch with the devices in a window; returns the exit status.
using QuillonRunDevicesInWindowFunction = int (*)(int argc, char** argv, const frontend::supervisor::Options* options);
inline constexpr const char* kQuillonRunDevicesInWindow = "QuillonRunDevicesInWindow";
// The module's file name, beside the program in the build, in /usr/lib/quillon when installed.
inline constexpr const char* kQuillonWindowModule = "quillon-window.so";
