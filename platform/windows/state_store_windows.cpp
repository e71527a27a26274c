// The program's records on Windows: under %LOCALAPPDATA%, whose permissions already keep other
// users out; every open names FILE_FLAG_OPEN_REPARSE_POINT and refuses a reparse point (a link
// or junction planted at the path); LockFileEx around each append to the history.
#include <windows.h>

#include <algorithm>

#include "platform/state_store.h"
#include "platform/system_info.h"
#include "platform/windows/utf16.h"

namespace platform {
namespace {

std::string Why(const std::string& what, DWORD error) { return what + " (error " + std::to_string(error) + ")"; }

bool IsReparsePoint(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return !::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool WriteAll(HANDLE h, std::string_view text) {
    while (!text.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 20));
        if (!::WriteFile(h, text.data(), chunk, &written, nullptr) || written == 0) return false;
        text.remove_prefix(written);
    }
    return true;
}

class WindowsPrivateFile : public PrivateFile {
public:
    explicit WindowsPrivateFile(HANDLE h) : h_(h) {}
    ~WindowsPrivateFile() override { ::CloseHandle(h_); }
    bool Append(std::string_view text) override { return WriteAll(h_, text); }

private:
    HANDLE h_;
};

}  // namespace

std::string ProgramStateFolder() {
    const std::string local = GetEnv("LOCALAPPDATA");
    if (local.empty()) return {};
    return local + "\\Quillon";
}

bool PreparePrivateFolder(const std::string& folder, std::string* why) {
    std::string ignored;
    if (!why) why = &ignored;
    if (folder.empty()) {
        *why = "no folder for the records";
        return false;
    }
    // Each missing folder of the path is made; the last must be a plain folder.
    for (size_t at = folder.find_first_of("\\/", 3); ; at = folder.find_first_of("\\/", at + 1)) {
        const std::string part = at == std::string::npos ? folder : folder.substr(0, at);
        const std::wstring wide = Widen(part);
        if (!::CreateDirectoryW(wide.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            *why = Why("cannot create the folder " + part, ::GetLastError());
            return false;
        }
        if (at == std::string::npos) break;
    }
    const DWORD attributes = ::GetFileAttributesW(Widen(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = folder + " is not a folder";
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        *why = "the folder " + folder + " is a link or junction";
        return false;
    }
    return true;
}

std::unique_ptr<PrivateFile> CreatePrivateFile(const std::string& path, std::string* why) {
    HANDLE h = ::CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (why) *why = Why("cannot create " + path, ::GetLastError());
        return nullptr;
    }
    return std::make_unique<WindowsPrivateFile>(h);
}

bool AppendLocked(const std::string& path, std::string_view text, std::string* why, std::string_view headerWhenEmpty) {
    HANDLE h = ::CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (why) *why = Why("cannot open " + path, ::GetLastError());
        return false;
    }
    if (IsReparsePoint(h)) {
        if (why) *why = path + " is a link or junction";
        ::CloseHandle(h);
        return false;
    }
    OVERLAPPED whole{};
    ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    // The size is looked at under the lock: only one of several new writers puts the header.
    LARGE_INTEGER size{};
    const bool empty = ::GetFileSizeEx(h, &size) && size.QuadPart == 0;
    const bool ok = (!empty || headerWhenEmpty.empty() || WriteAll(h, headerWhenEmpty)) && WriteAll(h, text);
    const DWORD error = ::GetLastError();
    ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(h);
    if (!ok && why) *why = Why("cannot write to " + path, error);
    return ok;
}

bool ReadPrivateFile(const std::string& path, std::string* content, size_t limit, bool fromEnd) {
    HANDLE h = ::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (IsReparsePoint(h)) {
        ::CloseHandle(h);
        return false;
    }
    content->clear();
    LARGE_INTEGER size{};
    const bool cut = fromEnd && ::GetFileSizeEx(h, &size) && static_cast<uint64_t>(size.QuadPart) > limit;
    if (cut) {
        LARGE_INTEGER at{};
        at.QuadPart = size.QuadPart - static_cast<LONGLONG>(limit);
        ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    }
    char buffer[65536];
    while (content->size() < limit) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, limit - content->size()));
        if (!::ReadFile(h, buffer, want, &got, nullptr) || got == 0) break;
        content->append(buffer, got);
    }
    ::CloseHandle(h);
    // The first line of a cut file is only its end.
    if (cut) content->erase(0, std::min(content->size(), content->find('\n') + 1));
    return true;
}

std::vector<std::string> ListPlainFiles(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW(Widen(folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        names.push_back(Narrow(found.cFileName));
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    return names;
}

bool RemoveFile(const std::string& path) { return ::DeleteFileW(Widen(path).c_str()) != 0; }

}  // namespace platform
