// The current user's settings of other programs: INI files under the XDG configuration folder.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/settings.h"
#include "platform/system_info.h"

namespace platform {
namespace {

std::string ConfigHome() {
    // The XDG rules: a relative $XDG_CONFIG_HOME is ignored.
    std::string dir = GetEnv("XDG_CONFIG_HOME");
    if (!dir.empty() && dir[0] == '/') return dir;
    std::string home = GetEnv("HOME");
    if (home.empty()) {
        std::vector<char> buf(16384);
        struct passwd pw {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) return {};
    return home + "/.config";
}

// Number of UTF-16 units the UTF-8 text would take.
size_t Utf16Length(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++n;
        if (c >= 0xF0) ++n;  // outside the basic plane: a surrogate pair
    }
    return n;
}

}  // namespace

std::string SettingsFileForKey(const std::string& subKey) {
    std::string rest = subKey;
    const std::string software = "Software\\";
    if (rest.size() >= software.size()) {
        bool same = true;
        for (size_t i = 0; i < software.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(rest[i])) != std::tolower(static_cast<unsigned char>(software[i])))
                same = false;
        if (same) rest.erase(0, software.size());
    }
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    while (!rest.empty() && rest.front() == '\\') rest.erase(0, 1);
    if (rest.empty()) return {};
    for (char& c : rest)
        if (c == '\\') c = '/';
    const std::string home = ConfigHome();
    if (home.empty()) return {};
    return home + "/" + rest + ".conf";
}

int ReadRegistryString(const std::string& valueName, const std::string& subKey, std::string* value) {
    const std::string path = SettingsFileForKey(subKey);
    if (path.empty()) return 0;
    // Only a regular file: a FIFO or a device in its place would block or never end.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    std::ifstream f(path, std::ios::binary);
    if (!f) return 0;
    std::stringstream text;
    text << f.rdbuf();
    if (f.bad()) return 0;
    std::string found;
    if (!FindIniValue(text.str(), "General", valueName, &found)) return 0;
    if (Utf16Length(found) > kRegistryValueMaxChars) return 0;
    *value = found;
    return 1;
}

}  // namespace platform
