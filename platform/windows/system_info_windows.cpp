// Machine and program facts on Windows: the program's module, the machine-wide application-data
// folder (CSIDL_COMMON_APPDATA), version and processor information, the user name.
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

#include "platform/system_info.h"
#include "platform/windows/utf16.h"

namespace platform {
namespace {

bool IsFolder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

template <typename Function>
Function KernelFunction(const char* module, const char* name) {
    HMODULE m = ::GetModuleHandleA(module);
    if (!m) return nullptr;
    // GetProcAddress hands out a generic function pointer; the caller names its real type.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(m, name)));
}

uint32_t Low32(const void* address) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(address);
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

}  // namespace

std::string GetEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

bool SetEnv(const char* name, const std::string& value) { return ::_putenv_s(name, value.c_str()) == 0; }

bool UnsetEnv(const char* name) { return ::_putenv_s(name, "") == 0; }

int CommonAppDataFolder(std::string* folder) {
    std::string dir = GetEnv("VELMORA_COMMON_APPDATA");
    if (dir.empty()) {
        char path[MAX_PATH] = {};
        if (::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return -1;
        dir = path;
    }
    if (!IsFolder(dir)) return -1;
    *folder = dir;
    return 1;
}

std::string ProgramPath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 32768) return {};  // longer than any Windows path
        buffer.resize(buffer.size() * 2);
    }
}

uint32_t ModuleNumber() {
    // The module handle is the program's load address, the same for every process of the
    // program file; on 64-bit Windows its low 32 bits, as "0x%08x" shows them.
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(::GetModuleHandleA(nullptr)));
}

OsFacts GetOsFacts() {
    OsFacts f;
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (::GetVersionExA(&info)) {
        f.major = static_cast<int>(info.dwMajorVersion);
        f.minor = static_cast<int>(info.dwMinorVersion);
        f.build = static_cast<int>(info.dwBuildNumber);
        f.platformId = static_cast<int>(info.dwPlatformId);
        f.details = info.szCSDVersion;
    }
    // Without a compatibility manifest GetVersionExA reports 6.2 on every Windows from 8 on;
    // the system's own numbers come from ntdll.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    if (auto rtlGetVersion = KernelFunction<RtlGetVersionFn>("ntdll", "RtlGetVersion")) {
        OSVERSIONINFOW real{};
        real.dwOSVersionInfoSize = sizeof real;
        if (rtlGetVersion(&real) == 0) {
            f.major = static_cast<int>(real.dwMajorVersion);
            f.minor = static_cast<int>(real.dwMinorVersion);
            f.build = static_cast<int>(real.dwBuildNumber);
            f.platformId = static_cast<int>(real.dwPlatformId);
        }
    }
    // A 32-bit process on 64-bit Windows runs under WOW64; a 64-bit process runs on 64-bit
    // Windows only, though IsWow64Process says "no" for it.
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    if (auto isWow64 = KernelFunction<IsWow64ProcessFn>("kernel32", "IsWow64Process")) {
        BOOL wow64 = FALSE;
        if (isWow64(::GetCurrentProcess(), &wow64)) f.bits = (wow64 || sizeof(void*) == 8) ? 64 : 32;
    }
    return f;
}

ProcessorFacts GetProcessorFacts() {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    ProcessorFacts p;
    p.count = static_cast<int>(info.dwNumberOfProcessors);
    p.type = static_cast<int>(info.dwProcessorType);
    p.level = info.wProcessorLevel;
    p.revision = info.wProcessorRevision;
    p.oemId = static_cast<int>(info.dwOemId);
    p.activeMask = static_cast<uint32_t>(info.dwActiveProcessorMask & 0xFFFFFFFFu);
    p.minAddress = Low32(info.lpMinimumApplicationAddress);
    p.maxAddress = Low32(info.lpMaximumApplicationAddress);
    return p;
}

std::string UserName() {
    char name[257] = {};
    DWORD size = sizeof name;
    if (!::GetUserNameA(name, &size)) return {};
    return name;
}

std::string ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) return {};
    return Narrow(std::wstring_view(name, size));
}

uint32_t ProcessId() { return ::GetCurrentProcessId(); }

}  // namespace platform
