// The current user's settings of other programs: values under HKEY_CURRENT_USER, read with
// RegOpenKeyW and RegQueryValueExW into 512 bytes. Names and texts are UTF-8 on this side.
#include <windows.h>

#include <vector>

#include "platform/settings.h"

namespace platform {
namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const wchar_t* text, size_t len) {
    if (len == 0) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(len), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

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
    *value = Narrow(buffer, len);
    return 1;
}

}  // namespace platform
