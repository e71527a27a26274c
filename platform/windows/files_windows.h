// The security of the shared log file on Windows (files_windows.cpp), for its tests.
#pragma once

#include <windows.h>

#include <functional>

namespace platform {

// Calls use with the security attributes the shared log file is created with; false (and use
// not called) when they cannot be built.
bool WithSharedFileSecurity(const std::function<void(SECURITY_ATTRIBUTES*)>& use);

}  // namespace platform
