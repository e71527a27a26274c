// The program's window, where the system offers one: the Qt window on Linux, the native dialog
// on Windows. quillon_main.cpp chooses between it and the terminal.
#pragma once

#include <string>

#include "app/quillon_dlg.h"

namespace frontend {

// Whether a window can be shown here (a display on Linux, an interactive desktop on Windows).
bool WindowAvailable();

// Runs the whole update in the window; returns the program's exit status. answerYes: --yes.
int RunInWindow(int argc, char** argv, const app::DialogOptions& dialogOptions, bool answerYes);

}  // namespace frontend
