// Log-file operations with open(2): O_NOFOLLOW against planted links, O_APPEND with one
// write(2) per line so that lines of several processes never mix.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool CreateSharedFile(const std::string& path, int* errnoOut) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    ::fchmod(fd, 0666);  // the umask must not narrow who may append
    ::close(fd);
    return true;
}

ReadProbe ProbeReadable(const std::string& path, int* errnoOut) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return errno == ENOENT ? ReadProbe::Missing : ReadProbe::Unreadable;
    }
    ::close(fd);
    return ReadProbe::Readable;
}

bool CreateForWriting(const std::string& path, int* errnoOut) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    ::close(fd);
    return true;
}

bool AppendBytes(const std::string& path, const char* data, size_t len, int* errnoOut) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // Deleted while in use (a log rotated away, say): made again as the shared file it was.
        // O_EXCL never follows a link; losing a race to another creator just means appending.
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::fchmod(fd, 0666);
        else if (errno == EEXIST)
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
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
