// The program's records on Linux: mkdir 0700, open with O_NOFOLLOW and O_EXCL, files 0600
// whatever the umask, flock(2) around each append to the history.
#include "platform/state_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/system_info.h"

namespace platform {
namespace {

std::string Why(const std::string& what, int err) { return what + " (" + std::strerror(err) + ")"; }

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

class LinuxPrivateFile : public PrivateFile {
public:
    explicit LinuxPrivateFile(int fd) : fd_(fd) {}
    ~LinuxPrivateFile() override { ::close(fd_); }
    bool Append(std::string_view text) override { return WriteAll(fd_, text); }

private:
    int fd_;
};

// One folder of the path: made for this user alone when missing; checked when it exists.
bool PrepareOne(const std::string& folder, bool ours, std::string* why) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = Why("cannot create the folder " + folder, errno);
        return false;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        *why = Why("cannot examine the folder " + folder, errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        *why = "the folder " + folder + " is a symbolic link";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = folder + " is not a folder";
        return false;
    }
    if (!ours) return true;
    if (st.st_uid != ::geteuid()) {
        *why = "the folder " + folder + " belongs to another user";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = "others may write into the folder " + folder;
        return false;
    }
    return true;
}

}  // namespace

std::string ProgramStateFolder() {
    const std::string state = GetEnv("XDG_STATE_HOME");
    if (!state.empty() && state.front() == '/') return state + "/quillon";
    std::string home = GetEnv("HOME");
    if (home.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) home = pw->pw_dir;
    }
    if (home.empty() || home.front() != '/') return {};
    return home + "/.local/state/quillon";
}

bool PreparePrivateFolder(const std::string& folder, std::string* why) {
    std::string ignored;
    if (!why) why = &ignored;
    if (folder.empty() || folder.front() != '/') {
        *why = "no folder for the records";
        return false;
    }
    // The parents are made as needed; only the folder itself must be this user's alone.
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
        const std::string parent = folder.substr(0, slash);
        struct stat st {};
        if (::stat(parent.c_str(), &st) == 0) continue;
        if (!PrepareOne(parent, false, why)) return false;
    }
    return PrepareOne(folder, true, why);
}

std::unique_ptr<PrivateFile> CreatePrivateFile(const std::string& path, std::string* why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (why) *why = Why("cannot create " + path, errno);
        return nullptr;
    }
    ::fchmod(fd, 0600);
    return std::make_unique<LinuxPrivateFile>(fd);
}

bool AppendLocked(const std::string& path, std::string_view text, std::string* why, std::string_view headerWhenEmpty) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (why) *why = Why("cannot open " + path, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (why) *why = path + " is not a plain file";
        ::close(fd);
        return false;
    }
    int r;
    do {
        r = ::flock(fd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    // The size is looked at under the lock: only one of several new writers puts the header.
    struct stat locked {};
    const bool empty = ::fstat(fd, &locked) == 0 && locked.st_size == 0;
    const bool ok = (!empty || headerWhenEmpty.empty() || WriteAll(fd, headerWhenEmpty)) && WriteAll(fd, text);
    const int err = errno;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (!ok && why) *why = Why("cannot write to " + path, err);
    return ok;
}

bool ReadPrivateFile(const std::string& path, std::string* content, size_t limit, bool fromEnd) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    content->clear();
    const bool cut = fromEnd && static_cast<uint64_t>(st.st_size) > limit;
    if (cut) ::lseek(fd, st.st_size - static_cast<off_t>(limit), SEEK_SET);
    char buffer[65536];
    while (content->size() < limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - content->size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    // The first line of a cut file is only its end.
    if (cut) content->erase(0, std::min(content->size(), content->find('\n') + 1));
    return true;
}

std::vector<std::string> ListPlainFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            names.push_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace platform
