// The window on Linux: Qt, loaded from the window's module only when a window opens, so that the
// program in the terminal or as JSON (each device's program under the supervisor) maps no Qt library.
#include "frontend/program_window.h"

#include <dlfcn.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "frontend/qt/window_module.h"
#include "platform/system_info.h"

namespace frontend {

namespace {

// A Wayland display whose socket exists, or an X display that accepts a connection.
bool DisplayAvailable() {
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::filesystem::path socket = wayland[0] == '/' ? std::filesystem::path(wayland)
                                                               : std::filesystem::path(runtime ? runtime : "/nonexistent") / wayland;
        std::error_code ec;
        if (std::filesystem::exists(socket, ec)) return true;
    }
    const char* x = std::getenv("DISPLAY");
    if (!x || !*x) return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = connection && xcb_connection_has_error(connection) == 0;
    if (connection) xcb_disconnect(connection);
    return ok;
}

QuillonRunInWindowFunction g_window = nullptr;
QuillonRunDevicesInWindowFunction g_devicesWindow = nullptr;

// The window's module: beside the program (the build), or in /usr/lib/quillon beside /usr/bin.
// Takes both of its windows; false when there is none.
bool LoadWindow(std::string* why) {
    const std::filesystem::path program = platform::ProgramPath();
    const std::filesystem::path folder = program.parent_path();
    std::string errors;
    for (const std::filesystem::path& candidate :
         {folder / kQuillonWindowModule, folder.parent_path() / "lib/quillon" / kQuillonWindowModule}) {
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec)) continue;
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char* error = dlerror();
            errors += error ? error : candidate.string();
            continue;
        }
        if (auto run = reinterpret_cast<QuillonRunInWindowFunction>(dlsym(module, kQuillonRunInWindow))) {
            g_window = run;
            g_devicesWindow =
                reinterpret_cast<QuillonRunDevicesInWindowFunction>(dlsym(module, kQuillonRunDevicesInWindow));
            return true;
        }
        errors += candidate.string() + " has no window";
    }
    *why = errors.empty() ? std::string("the window's module ") + kQuillonWindowModule + " is not installed" : errors;
    return false;
}

}  // namespace

bool WindowAvailable() {
    if (!DisplayAvailable()) return false;
    std::string why;
    if (!LoadWindow(&why)) std::fprintf(stderr, "quillon: no window can be opened (%s); the update runs in the terminal.\n", why.c_str());
    return g_window != nullptr;
}

int RunInWindow(int argc, char** argv, const app::DialogOptions& dialogOptions, bool answerYes) {
    return g_window(argc, argv, &dialogOptions, answerYes ? 1 : 0);
}

bool DevicesWindowAvailable() { return g_devicesWindow != nullptr; }

int RunDevicesInWindow(int argc, char** argv, const supervisor::Options& options) {
    return g_devicesWindow(argc, argv, &options);
}

}  // namespace frontend
