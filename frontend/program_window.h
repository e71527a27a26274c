// The program's window, where the system offers one: the Qt window on Linux, the native dialog
// on Windows. quillon_main.cpp chooses between it and the terminal.
#pragma once

#include <string>

#include "app/quillon_dlg.h"
#include "frontend/supervisor/supervisor.h"

namespace frontend {

// Whether a window can be shown here (a display and the window's module on Linux, an interactive
// desktop on Windows).
bool WindowAvailable();

// Runs the whole update in the window once WindowAvailable said yes; returns the program's exit
// status. answerYes: --yes.
int RunInWindow(int argc, char** argv, const app::DialogOptions& dialogOptions, bool answerYes);

// Whether --all and --watch show their devices in a window, once WindowAvailable said yes.
bool DevicesWindowAvailable();
// Runs --all or --watch with the devices in the window; returns the exit status.
int RunDevicesInWindow(int argc, char** argv, const supervisor::Options& options);

}  // namespace frontend
