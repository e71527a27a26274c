// Log-file operations with CreateFileA. The shared log file gets a security descriptor whose
// only entry lets Everyone read and append (the folder's inheritable entries come on top).
// Every open names FILE_FLAG_OPEN_REPARSE_POINT, and a reparse point (a symbolic link or
// junction planted at the path) is refused, as O_NOFOLLOW refuses a link on Linux. Each log
// line goes out with one WriteFile on a handle opened for appending only, so lines of several
// processes never mix.
#include <windows.h>
#include <aclapi.h>

#include "platform/files.h"
#include "platform/windows/files_windows.h"
#include "platform/windows_path.h"

namespace platform {
namespace {

// What Everyone (world authority, sub-authority 0) may do with the shared log: read it (with its
// attributes and descriptor, as GENERIC_READ asks), append to it, and wait on it. Nothing
// else: no writing over lines, no deleting, no change of its permissions or owner.
constexpr DWORD kEveryoneAccess = FILE_GENERIC_READ | FILE_APPEND_DATA | SYNCHRONIZE;

void SetError(int* out, DWORD error) {
    if (out) *out = static_cast<int>(error);
}

bool IsReparsePoint(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return !::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Owns what a security descriptor for the shared file is made of; frees it in every case.
class SharedFileSecurity {
public:
    SharedFileSecurity() {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone_)) {
            error_ = ::GetLastError();
            return;
        }
        EXPLICIT_ACCESSA access{};
        access.grfAccessPermissions = kEveryoneAccess;
        access.grfAccessMode = SET_ACCESS;
        access.grfInheritance = NO_INHERITANCE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access.Trustee.ptstrName = static_cast<LPSTR>(everyone_);
        const DWORD rc = ::SetEntriesInAclA(1, &access, nullptr, &acl_);
        if (rc != ERROR_SUCCESS) {
            error_ = rc;
            return;
        }
        descriptor_ = ::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        if (!descriptor_ || !::InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(descriptor_, TRUE, acl_, FALSE)) {
            error_ = ::GetLastError();
            return;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor_;
        attributes_.bInheritHandle = FALSE;
        ok_ = true;
    }
    ~SharedFileSecurity() {
        if (descriptor_) ::LocalFree(descriptor_);
        if (acl_) ::LocalFree(acl_);
        if (everyone_) ::FreeSid(everyone_);
    }
    SharedFileSecurity(const SharedFileSecurity&) = delete;
    SharedFileSecurity& operator=(const SharedFileSecurity&) = delete;

    bool ok() const { return ok_; }
    DWORD error() const { return error_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PSID everyone_ = nullptr;
    PACL acl_ = nullptr;
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
    bool ok_ = false;
    DWORD error_ = 0;
};

}  // namespace

bool WithSharedFileSecurity(const std::function<void(SECURITY_ATTRIBUTES*)>& use) {
    SharedFileSecurity security;
    if (!security.ok()) return false;
    use(security.attributes());
    return true;
}

bool LogFolderAllowed(const std::string& folder) {
    if (ClassifyWindowsPath(folder) != WindowsPathKind::Local) return false;
    // A drive letter mapped to a share is a host's share all the same.
    const std::string root = folder.substr(0, 2) + "\\";
    return ::GetDriveTypeA(root.c_str()) != DRIVE_REMOTE;
}

bool CreateSharedFile(const std::string& path, int* errnoOut) {
    SharedFileSecurity security;
    if (!security.ok()) {
        SetError(errnoOut, security.error());
        return false;
    }
    // CREATE_NEW fails on anything already there, a link included.
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SetError(errnoOut, ::GetLastError());
        return false;
    }
    ::CloseHandle(h);
    return true;
}

ReadProbe ProbeReadable(const std::string& path, int* errnoOut) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        SetError(errnoOut, error);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ReadProbe::Missing;
        // Another process creating the shared file holds it without sharing for a moment: it
        // is there, and the lines that follow open it for appending.
        if (error == ERROR_SHARING_VIOLATION) return ReadProbe::Readable;
        return ReadProbe::Unreadable;
    }
    const bool link = IsReparsePoint(h);
    ::CloseHandle(h);
    if (link) {
        SetError(errnoOut, ERROR_CANT_ACCESS_FILE);
        return ReadProbe::Unreadable;
    }
    return ReadProbe::Readable;
}

bool CreateForWriting(const std::string& path, int* errnoOut) {
    // Append access, which the shared file grants everyone, should another process have made
    // it meanwhile.
    HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SetError(errnoOut, ::GetLastError());
        return false;
    }
    const bool link = IsReparsePoint(h);
    ::CloseHandle(h);
    if (link) SetError(errnoOut, ERROR_CANT_ACCESS_FILE);
    return !link;
}

bool AppendBytes(const std::string& path, const char* data, size_t len, int* errnoOut) {
    if (len > MAXDWORD) {
        SetError(errnoOut, ERROR_INVALID_PARAMETER);
        return false;
    }
    // Append access only: every write lands at the end of the file, whoever wrote before.
    HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SetError(errnoOut, ::GetLastError());
        return false;
    }
    if (IsReparsePoint(h)) {
        ::CloseHandle(h);
        SetError(errnoOut, ERROR_CANT_ACCESS_FILE);
        return false;
    }
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, data, static_cast<DWORD>(len), &written, nullptr);
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    if (!ok || written != len) {
        SetError(errnoOut, ok ? ERROR_WRITE_FAULT : error);
        return false;
    }
    return true;
}

}  // namespace platform
