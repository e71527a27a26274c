// Stands in for the system's device manager under Wine, which tells windows nothing about the
// emulated device: looks at a path (the emulator's published port, as Z:\...) every 50 ms and,
// each time it appears or goes, broadcasts WM_DEVICECHANGE with DBT_DEVNODES_CHANGED to the
// top-level windows, as Windows does when a USB device comes or goes. Ends when the file STOP
// exists. Usage: device_change_notifier.exe PATH STOP
#include <windows.h>
#include <dbt.h>

#include <cstdio>

namespace {

// The port is a link that the emulator removes and publishes again; Wine reports a link's own
// attributes, so whether its target is there shows only when it is opened (without access: no
// byte moves).
bool Exists(const char* path) {
    HANDLE h = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: device_change_notifier PATH STOP\n");
        return 2;
    }
    bool present = Exists(argv[1]);
    int sent = 0;
    while (!Exists(argv[2])) {
        ::Sleep(50);
        const bool now = Exists(argv[1]);
        if (now == present) continue;
        present = now;
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, 2000,
                              &result);
        ++sent;
        std::printf("device change %d: port %s\n", sent, present ? "back" : "gone");
        std::fflush(stdout);
    }
    return 0;
}
