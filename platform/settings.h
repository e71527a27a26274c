// Settings of other programs of the maker that this tool honours.
//
// On Windows they live in the current user's registry. On Linux a program keeps its user
// settings in an INI file under the user's configuration folder: the registry path
// "Software\<Maker>\<Program>\" becomes "$XDG_CONFIG_HOME/<Maker>/<Program>.conf" (default
// $XDG_CONFIG_HOME: ~/.config), and the values of the key itself stand in the section
// [General] (keys above the first section count as [General] as well). Texts are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The registry value's buffer holds 512 bytes of UTF-16: at most this many characters and the
// terminating zero.
constexpr size_t kRegistryValueMaxChars = 255;

// Reads the value valueName of the key subKey ("Software\Kalder\Tavlo GRAPHIC\") of the current
// user. Returns 1 and replaces *value with the text read, or 0 with *value unchanged when the
// settings file is missing, cannot be read or is not a regular file, or holds no such value,
// or the value has more than kRegistryValueMaxChars characters.
int ReadRegistryString(const std::string& valueName, const std::string& subKey, std::string* value);

// The settings file that stands for subKey ("" when subKey names no program, or no
// configuration folder can be found).
std::string SettingsFileForKey(const std::string& subKey);

// The value of key in section of an INI text. Section and key are compared without regard to
// case, as registry names are. Blanks around names and values are dropped, a value in double
// quotes loses them, lines that begin with ';' or '#' are comments, and the text of a value
// ends at a zero character. The first match counts. true when found.
bool FindIniValue(std::string_view text, std::string_view section, std::string_view key, std::string* value);

}  // namespace platform
