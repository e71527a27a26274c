#include "platform/windows_path.h"

namespace platform {
namespace {

bool Separator(char c) { return c == '\\' || c == '/'; }

bool Letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

WindowsPathKind ClassifyWindowsPath(std::string_view p) {
    if (p.size() >= 2 && Separator(p[0]) && Separator(p[1])) {
        // \\.\ and \\?\ open devices and raw names; every other double separator is a host.
        if (p.size() >= 3 && (p[2] == '.' || p[2] == '?') && (p.size() == 3 || Separator(p[3])))
            return WindowsPathKind::Device;
        return WindowsPathKind::Unc;
    }
    if (p.size() >= 4 && Separator(p[0]) && p[1] == '?' && p[2] == '?' && Separator(p[3]))
        return WindowsPathKind::Device;
    if (p.size() >= 3 && Letter(p[0]) && p[1] == ':' && Separator(p[2])) return WindowsPathKind::Local;
    return WindowsPathKind::Relative;
}

}  // namespace platform
