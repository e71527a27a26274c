// The ESP32 update: four image files onto the device's SD card, then the device installs them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace app {

struct Esp32File {
    int resourceId;
    std::string_view fileName;
    int barAfter;  // lower bar position once the file is on the card
};
inline constexpr std::array<Esp32File, 4> kEsp32Files = {{
    {141, "bootloader.bin", 25},
    {142, "partitions.bin", 50},
    {144, "application.bin", 75},
    {145, "spiffs.bin", 100},
}};

inline constexpr uint16_t kChunkSize = 65531;     // with 4 command bytes: the frame's 16-bit maximum
inline constexpr size_t kChunkBufferSize = 65536;
inline constexpr size_t kNarrowNameSize = 20;     // 19 characters and the terminating zero
inline constexpr uint32_t kFilePauseMs = 50;
inline constexpr uint32_t kPollIntervalMs = 1000;
inline constexpr int kPollLimit = 100;
inline constexpr int kMinorErrorLimit = 20;

inline constexpr std::string_view kOpenFailed = "Firmware update not possible.\n\n Can not send Firmware to device (Open %s)";
inline constexpr std::string_view kAppendFailed =
    "Firmware update not possible.\n\n Can not send Firmware to device (Append %s)";
inline constexpr std::string_view kCloseFailed = "Firmware update not possible.\n\n Can not send Firmware to device (Close %s)";
inline constexpr std::string_view kTimeout = "Firmware update not possible.\n\n Timeout error";
inline constexpr std::string_view kInstallFailed =
    "The firmware update may have failed due to an encountered error.\nPlease check the firmware version and "
    "restart the firmware update.";
// kInstallFailed followed by this, with the device error, the last result and the number of reads.
inline constexpr std::string_view kInstallErrorDetail = "\n\n Occurred device error %d (returnValue %d (%d))";

}  // namespace app
