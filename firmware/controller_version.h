// Which controller firmware the program carries, and what its heading line tells the user.
//
// The numbers that are compared with the device (model, version, variant) come from the
// version block of the controller image; the version the user sees comes from the program
// file's name. The build names the program so that the two agree (see the README).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace firmware {

// The version digits stand this many characters before the end of the program path: in a build
// with a controller image, and in an ESP32-only build.
inline constexpr size_t kControllerVersionTail = 15;
inline constexpr size_t kEsp32VersionTail = 8;

// Of the path's last `tail` characters (all of a shorter path) the first four, with "."
// inserted before the third; a text shorter than 2 characters gets it appended. Characters are
// counted as UTF-8 characters, so a name is never cut inside one.
std::string VersionTextFromPath(std::string_view path, size_t tail);

// The heading texts (control 1007 of the main dialog), blanks included.
std::string ControllerHeadingText(std::string_view versionText);  // " Firmware update Norvik 1150 to Firmware %s "
std::string Esp32HeadingText(std::string_view versionText);       // " ESP32 firmware update to Version %s "

// Where the heading text goes; the dialog wires this to its heading line.
using HeadingSink = std::function<void(const std::string& text)>;

// Reads the version block of the controller image (FW_FILE 140) and sets the heading.
//  1: model, version (hundredths) and variant stored; heading " Firmware update Norvik 1150 to
//     Firmware %s " with the version text from the last 15 characters of programPath.
//  0 or negative: no version block (ESP32-only build); nothing stored; heading " ESP32
//     firmware update to Version %s " from the last 8 characters.
//  greater than 1: FW_FILE 140 is missing; the look-up's error code; nothing else changed.
// Leaves the HEX reader with upper address and next expected address 0 and, after a
// successful scan, the read position at 0: where the download starts reading blocks.
// Version bytes that the image does not hold count as 0.
int ReadControllerFirmwareVersion(int* model, int* version, int* variant, const HeadingSink& heading,
                                  std::string_view programPath);
// The same with the running program's own path.
int ReadControllerFirmwareVersion(int* model, int* version, int* variant, const HeadingSink& heading);

}  // namespace firmware
