// The update sequence: the two timers, the controller download, the reconnect and the
// handling of device changes.
#pragma once

#include <cstdint>
#include <string_view>

namespace app {

inline constexpr unsigned TIMER_DOWNLOAD = 1002;
inline constexpr unsigned kDownloadIntervalMs = 200;
inline constexpr unsigned TIMER_RECONNECT = 1003;
inline constexpr unsigned kReconnectIntervalMs = 1000;

inline constexpr unsigned DBT_DEVNODES_CHANGED = 7;

inline constexpr int kBootwareWaitLimit = 50;       // ticks of TIMER_DOWNLOAD
inline constexpr uint64_t kBootwareWaitLimitMs = 10000;  // and the same in time from the enter-Bootware command
// While waiting for Bootware, every this many ticks the dialog checks the device itself, in case
// a change was not notified.
inline constexpr int kBootwareCheckEvery = 5;
inline constexpr int kReconnectLimit = 100;         // ticks of TIMER_RECONNECT
inline constexpr uint64_t kReconnectLimitMs = 100000;  // and the same in time, however long ticks take
inline constexpr int kForcedCheckAfter = 15;        // from tick 16 on, a tick without device checks itself
inline constexpr int kReopenAttempts = 5;
inline constexpr uint32_t kReopenPauseMs = 1000;

inline constexpr int kFullBlock = 64496;
inline constexpr int kProgressStep = 12;
inline constexpr uint32_t kFlashBase = 0x400000;
inline constexpr int kReadBackPage = 4096;
inline constexpr uint32_t kMaxPageNumber = 0xFFFF;  // the page field of the read command
inline constexpr size_t kDownloadBufferSize = 74512;
inline constexpr uint32_t kCommitPauseMs = 100;

inline constexpr std::string_view kWorkaroundPieces[] = {
    "Firmware update not successful.",
    "\r\n",
    "\r\n",
    "\r\nWorkaround:",
    "\r\n--------------",
    "\r\n",
    "\r\n  Leave the Firmware update application",
    "\r\n  Put the device in the Bootware state:",
    "\r\n    Move print cartridge out of park",
    "\r\n    Press T1 and function key 'print cartridge' together",
    "\r\n    and turn on the device",
    "\r\n  Launch the  Firmware update application again",
};

inline constexpr std::string_view kCannotLoadImage = " Firmware update not possible.\n\n Can not load FW File (dwError %d).";
inline constexpr std::string_view kBlockRefused = "Firmware updated not successful.";
inline constexpr std::string_view kCannotReconnect = "Can not reconnnet to the 1150";
inline constexpr std::string_view kNotSameDeviceInfo = "It could not be connected to the same Norvik 1150";
inline constexpr std::string_view kOtherDevice =
    "It was not possible to connect with the same Norvik 1150. \nPlease make sure that you have only one Norvik "
    "1150 connected to the PC during the firmware update.";
inline constexpr std::string_view kOtherDeviceSensors =
    "It was not possible to connect with the same Norvik 1150. \nPlease make sure that you have only one Norvik "
    "1150 connected to the PC during the firmware update. (2)";
inline constexpr std::string_view kSuccess = "Firmware successful updated.";
// The device came back with other firmware than the image's: "%02.02f", "%03d" of the device,
// then of the image.
inline constexpr std::string_view kOtherFirmwareAfterUpdate =
    "Firmware update not successful.\n\n The Norvik 1150 restarted with firmware %02.02f (Var %03d) instead of "
    "%02.02f (Var %03d).\n\n Please start the firmware update again.";

}  // namespace app
