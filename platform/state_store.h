// The program's own records of its runs (run logs, the update history), kept in the user's
// state folder for this user alone: folders only the user may enter, files only the user may
// read, never reached through a link someone planted.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The folder of the program's records: $XDG_STATE_HOME/quillon when that is an absolute path,
// else ~/.local/state/quillon (Windows: %LOCALAPPDATA%\Quillon). "" when there is no home.
std::string ProgramStateFolder();

// Makes folder and its missing parents for this user alone. Refuses (false, and why) a folder
// that is a symbolic link or junction, belongs to another user, or that others may write to.
bool PreparePrivateFolder(const std::string& folder, std::string* why);

// A file made new for this user alone; lines are appended to it as they come.
class PrivateFile {
public:
    virtual ~PrivateFile() = default;
    // Writes all of text at the end of the file; false when it could not (a full disk).
    virtual bool Append(std::string_view text) = 0;
};
// Creates path, which must not exist yet (never an existing file, never through a link).
std::unique_ptr<PrivateFile> CreatePrivateFile(const std::string& path, std::string* why);

// Appends text to path in one write under an exclusive lock that every program appending
// there takes, so that lines of programs running at once never mix; an empty file first gets
// headerWhenEmpty. The file is made for this user alone when missing; a link in its place is
// refused.
bool AppendLocked(const std::string& path, std::string_view text, std::string* why,
                  std::string_view headerWhenEmpty = {});

// Reads at most limit bytes of path (never through a link, never a device or a pipe); false
// when it cannot be read. With fromEnd a longer file gives its last lines that fit.
bool ReadPrivateFile(const std::string& path, std::string* content, size_t limit, bool fromEnd = false);

// Names of the plain files in folder (no folders, no links), in no particular order.
std::vector<std::string> ListPlainFiles(const std::string& folder);

// Removes a file; false when it could not.
bool RemoveFile(const std::string& path);

}  // namespace platform
