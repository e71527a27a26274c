// The kinds of Windows paths: only a local path with its drive may name the log folder.
#include <gtest/gtest.h>

#include "platform/windows_path.h"

namespace {

using platform::ClassifyWindowsPath;
using platform::WindowsPathKind;

TEST(WindowsPath, Kinds) {
    const struct {
        const char* path;
        WindowsPathKind kind;
    } cases[] = {
        {R"(C:\ProgramData\Kalder)", WindowsPathKind::Local},
        {R"(d:/logs)", WindowsPathKind::Local},
        {R"(C:\)", WindowsPathKind::Local},
        {R"(\\host\share\logs)", WindowsPathKind::Unc},
        {R"(//host/share)", WindowsPathKind::Unc},
        {R"(\/host\share)", WindowsPathKind::Unc},
        {R"(\\)", WindowsPathKind::Unc},
        {R"(\\.host\share)", WindowsPathKind::Unc},  // a host whose name begins with a dot
        {R"(\\.\C:\logs)", WindowsPathKind::Device},
        {R"(\\.\pipe\name)", WindowsPathKind::Device},
        {R"(\\?\C:\logs)", WindowsPathKind::Device},
        {R"(\\?\UNC\host\share)", WindowsPathKind::Device},
        {R"(//?/C:/logs)", WindowsPathKind::Device},
        {R"(\\.)", WindowsPathKind::Device},
        {R"(\??\C:\logs)", WindowsPathKind::Device},
        {R"(logs)", WindowsPathKind::Relative},
        {R"(\logs)", WindowsPathKind::Relative},
        {R"(C:logs)", WindowsPathKind::Relative},
        {R"(1:\logs)", WindowsPathKind::Relative},
        {"", WindowsPathKind::Relative},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyWindowsPath(c.path), c.kind) << c.path;
}

}  // namespace
