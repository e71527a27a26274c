// The current user's settings of other programs: values under HKEY_CURRENT_USER, read with
// RegOpenKeyW and RegQueryValueExW into 512 bytes. Names and texts are UTF-8 on this side.
#include <windows.h>

#include <vector>

#include "platform/settings.h"
#include "platform/windows/utf16.h"

namespace platform {

int ReadRegistryString(const std::string& valueName, const std::string& subKey, std::string* value) {
    HKEY key = nullptr;
    if (::RegOpenKeyW(HKEY_CURRENT_USER, Widen(subKey).c_str(), &key) != ERROR_SUCCESS) return 0;
    wchar_t buffer[(kRegistryValueMaxChars + 1)] = {};
    DWORD size = sizeof buffer;  // 512 bytes
    const LONG rc = ::RegQueryValueExW(key, Widen(valueName).c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer), &size);
    ::RegCloseKey(key);
    // A longer value does not fit (ERROR_MORE_DATA) and counts as unreadable.
    if (rc != ERROR_SUCCESS) return 0;
    size_t len = 0;
    const size_t units = size / sizeof(wchar_t);
    while (len < units && buffer[len] != L'\0') ++len;
    *value = Narrow(std::wstring_view(buffer, len));
    return 1;
}

}  // namespace platform
