// File operations whose safety rules depend on the OS: the shared log file is never reached
// through a symbolic link, and each log line goes out in one write.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Creates path only if nothing exists there (no link is followed), with read and write for
// every user whatever the umask. Returns true when this call created it; errnoOut gets the
// reason otherwise.
bool CreateSharedFile(const std::string& path, int* errnoOut = nullptr);

enum class ReadProbe { Readable, Missing, Unreadable };
// Whether path can be opened for reading (a symbolic link counts as unreadable).
ReadProbe ProbeReadable(const std::string& path, int* errnoOut = nullptr);

// Creates path for writing when it is missing (no link is followed). true on success.
bool CreateForWriting(const std::string& path, int* errnoOut = nullptr);

// Appends bytes to a file with a single write in append mode; never follows a symbolic link.
// A missing file is created as CreateSharedFile creates it. true when all bytes were written.
bool AppendBytes(const std::string& path, const char* data, size_t len, int* errnoOut = nullptr);

// Whether folder may hold the library log when the marker file names it. On Windows other users
// may write the marker, so only a local folder with its drive is taken: a UNC path would make
// every later run, an administrator's too, log on to that host, and a device path bypasses the
// checks of plain paths. On Linux the marker's folder belongs to root: every folder is taken.
bool LogFolderAllowed(const std::string& folder);

// The separator between folder and file names, and the line end of text files such as the
// library log (a text file on Windows ends its lines with CR LF).
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
constexpr const char* kTextLineEnd = "\r\n";
#else
constexpr char kPathSeparator = '/';
constexpr const char* kTextLineEnd = "\n";
#endif

}  // namespace platform
