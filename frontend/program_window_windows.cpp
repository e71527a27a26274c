#include "frontend/program_window.h"

#include "frontend/win32/windows_api.h"

#include "frontend/win32/win32_host.h"

namespace frontend {

bool WindowAvailable() {
    // A service or a scheduled task without a desktop has an invisible window station.
    USEROBJECTFLAGS flags{};
    if (!::GetUserObjectInformationW(::GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int RunInWindow(int, char**, const app::DialogOptions& dialogOptions, bool answerYes) {
    // Started from the desktop, the program got a console window of its own: the dialog needs
    // none. A console it shares with the shell that started it stays (the shell waits for the
    // exit status).
    DWORD processes[2];
    if (::GetConsoleProcessList(processes, 2) == 1) ::FreeConsole();
    win32::Win32Options options;
    options.answerYes = answerYes;
    return win32::RunInWindow(dialogOptions, options);
}

// The devices of --all and --watch stay in the console on Windows.
bool DevicesWindowAvailable() { return false; }

int RunDevicesInWindow(int, char**, const supervisor::Options& options) { return supervisor::Run(options); }

}  // namespace frontend
