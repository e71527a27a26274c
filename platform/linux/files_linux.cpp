// Log-file operations with open(2): O_NOFOLLOW against planted links, O_APPEND with one
// write(2) per line so that lines of several processes never mix. Whatever sits at the path
// is opened without blocking and must be a regular file: a FIFO planted there would hold the
// open until someone opened its other end, and a device node is no log.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// Opens path with flags (never following a link, never blocking, never becoming the
// controlling terminal), then requires a regular file and switches blocking back on for the
// writes. -1 with errno set otherwise; EINVAL when something other than a file is there.
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (const int status = ::fcntl(fd, F_GETFL); status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        err = errno;
    if (err == 0) return fd;
    ::close(fd);
    errno = err;
    return -1;
}

}  // namespace

bool LogFolderAllowed(const std::string&) { return true; }

bool CreateSharedFile(const std::string& path, int* errnoOut) {
    int fd = OpenRegularFile(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    ::fchmod(fd, 0666);  // the umask must not narrow who may append
    ::close(fd);
    return true;
}

ReadProbe ProbeReadable(const std::string& path, int* errnoOut) {
    int fd = OpenRegularFile(path, O_RDONLY);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return errno == ENOENT ? ReadProbe::Missing : ReadProbe::Unreadable;
    }
    ::close(fd);
    return ReadProbe::Readable;
}

bool CreateForWriting(const std::string& path, int* errnoOut) {
    int fd = OpenRegularFile(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    ::close(fd);
    return true;
}

bool AppendBytes(const std::string& path, const char* data, size_t len, int* errnoOut) {
    int fd = OpenRegularFile(path, O_WRONLY | O_APPEND);
    if (fd < 0 && errno == ENOENT) {
        // Deleted while in use (a log rotated away, say): made again as the shared file it was.
        // O_EXCL never follows a link; losing a race to another creator just means appending.
        fd = OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0666);
        if (fd >= 0)
            ::fchmod(fd, 0666);
        else if (errno == EEXIST)
            fd = OpenRegularFile(path, O_WRONLY | O_APPEND);
    }
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(len)) {
        if (errnoOut) *errnoOut = n < 0 ? err : EIO;
        return false;
    }
    return true;
}

}  // namespace platform
