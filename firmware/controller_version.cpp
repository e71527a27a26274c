#include "firmware/controller_version.h"

#include <algorithm>
#include <array>
#include <vector>

#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "platform/system_info.h"

namespace firmware {

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

}  // namespace

std::string VersionTextFromPath(std::string_view path, size_t tail) {
    // Byte offsets where the characters begin (UTF-8 continuation bytes belong to the one before).
    std::vector<size_t> starts;
    for (size_t i = 0; i < path.size(); ++i)
        if ((static_cast<unsigned char>(path[i]) & 0xC0) != 0x80 || starts.empty()) starts.push_back(i);
    const size_t first = starts.size() > tail ? starts.size() - tail : 0;
    const size_t count = std::min<size_t>(4, starts.size() - first);

    std::string text;
    for (size_t c = 0; c < count; ++c) {
        const size_t from = starts[first + c];
        const size_t to = first + c + 1 < starts.size() ? starts[first + c + 1] : path.size();
        text.append(path.substr(from, to - from));
        if (c == 1) text.push_back('.');
    }
    if (count < 2) text.push_back('.');
    return text;
}

std::string ControllerHeadingText(std::string_view versionText) {
    return " Firmware update Norvik 1150 to Firmware " + std::string(versionText) + " ";
}

std::string Esp32HeadingText(std::string_view versionText) {
    return " ESP32 firmware update to Version " + std::string(versionText) + " ";
}

int ReadControllerFirmwareVersion(int* model, int* version, int* variant, const HeadingSink& heading,
                                  std::string_view programPath) {
    int lastError = 0;
    const auto text = FindFwFile(kControllerImageId, &lastError);
    if (!text) return lastError;

    ResetHexBlockAddresses();
    std::array<char, kVersionHexMin> versionHex{};
    const int digits = ReadHexVersionBytes(*text, versionHex);
    if (digits > 0) {
        // Six bytes b0..b5 from the first twelve digits; bytes the image does not hold are 0.
        std::array<int, 6> b{};
        for (size_t i = 0; i < b.size() && 2 * i + 1 < static_cast<size_t>(digits); ++i)
            b[i] = DigitValue(versionHex[2 * i]) << 4 | DigitValue(versionHex[2 * i + 1]);
        *model = b[0] + 256 * b[1];
        *version = b[2] + 256 * b[3];
        *variant = b[4] + 256 * b[5];
        if (heading) heading(ControllerHeadingText(VersionTextFromPath(programPath, kControllerVersionTail)));
        return 1;
    }
    if (heading) heading(Esp32HeadingText(VersionTextFromPath(programPath, kEsp32VersionTail)));
    return digits;
}

int ReadControllerFirmwareVersion(int* model, int* version, int* variant, const HeadingSink& heading) {
    return ReadControllerFirmwareVersion(model, version, variant, heading, platform::ProgramPath());
}

}  // namespace firmware
