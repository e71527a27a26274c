// What kind of path a Windows path text is, decided on the text alone, so that the decision is
// the same on every build and testable everywhere. Both '\' and '/' separate names.
#pragma once

#include <string_view>

namespace platform {

enum class WindowsPathKind {
    Local,     // a drive letter, a colon and a separator: C:\ProgramData\Kalder
    Unc,       // \\host\share\...: opening it logs on to that host
    Device,    // \\.\..., \\?\..., \??\...: the device namespaces, past the checks of plain paths
    Relative,  // anything else (Logs, \Logs, C:Logs): it depends on the current folder or drive
};

WindowsPathKind ClassifyWindowsPath(std::string_view path);

}  // namespace platform
