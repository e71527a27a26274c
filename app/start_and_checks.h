// Start and checks: the texts and constants of the program start, the warning, the checks that
// can refuse an update, the stages of the two bars and the end of every run.
#pragma once

#include <string_view>

namespace app {

inline constexpr std::string_view kCaption = "Firmware update";
inline constexpr std::string_view kInitialTitle = "fwupdate";

inline constexpr std::string_view kWarningText =
    "Attention\n\n1. Before a firmware update save print images, as they may be damaged (upload print image to "
    "Tavlo graphic, after the firmware update download the print image again) \n\n2. Close Tavlo graphic and "
    "other Software, before continue Firmware update \n\n3. If the device security is enabled, take Tavlo "
    "graphic to unlock the device.";

// " ... (1,%d)." with the result of OpenAndPrepareDevice.
inline constexpr std::string_view kNoDeviceOpen =
    " Firmware update not possible.\n\n No device connected or connection already in use (1,%d).";
inline constexpr std::string_view kNoSensors =
    " Firmware update not possible.\n\n No device connected or connection already in use (2).";
inline constexpr std::string_view kNoDeviceId =
    " Firmware update not possible.\n\n No device connected or connection already in use (3).";
inline constexpr std::string_view kNoDeviceInfo =
    " Firmware update not possible.\n\n Communication not possible \n\n No device connected or connection "
    "already in use (4).\n\n (Velmora::GetDeviceInfo)";
inline constexpr std::string_view kFirmwareTooOld =
    " Firmware update not possible.\n\n Firmware update: smaller than 2.00 FW versions can not be updated";
inline constexpr std::string_view kDeviceLocked =
    " Firmware update not possible.\n\n The device security is active and the device is locked. To perform a "
    "firmware update, take Tavlo graphic and unlock the device.";
inline constexpr std::string_view kEsp32ImageMissing =
    " Firmware update not possible.\n\n Communication not possible \n\n No device connected or connection "
    "already in use (5).\n\n (GetDeviceInfosFromFile)";
inline constexpr std::string_view kEsp32OnlyQuestion = "You only want to update the ESP32 Firmware";
inline constexpr std::string_view kNoEsp32 = "Update failed, hardware too old.\nThere is no ESP32 on the control board";
inline constexpr std::string_view kNotConnected =
    " Firmware update not possible.\n\n Firmware could not updated!\n\n Because no device is connected! "
    "\n(For more informations see Operating Manuel or Tavlo graphic Help in the chapter Firmware update).";
// "... (%d)." with the reader's result.
inline constexpr std::string_view kCannotReadImage = " Firmware update not possible.\n\n Can not read FW file (%d).";
inline constexpr std::string_view kWrongDevice = " Firmware update not possible.\n\n Wrong device connected.";
inline constexpr std::string_view kNoBootware = " Firmware update not possible.\n\n Device can not set into Bootware.";

// Codes of kCannotReadImage for an image the device could not take (besides the reader's own
// -1 and -2): a block outside the flash window the read-back can reach.
inline constexpr int kImageOutsideFlash = -3;

// Stop requests.
inline constexpr std::string_view kStopHeldOff =
    "The device is being written: stopping now could leave it without firmware. The update stops at the next "
    "safe point.";
// What a stop leaves on the device, once the enter-Bootware command has gone out.
inline constexpr std::string_view kStoppedInBootware =
    "Firmware update stopped. The device waits in Bootware with its old firmware: start the firmware update "
    "again to finish it.";
inline constexpr std::string_view kStoppedMaybeInBootware =
    "Firmware update stopped. The device still has its old firmware and may be waiting in Bootware: start the "
    "firmware update again to finish it.";
inline constexpr std::string_view kStoppedWithoutEsp32Part =
    "Firmware update stopped. The device restarts with the new controller firmware, but its ESP32 part is not "
    "installed: start the firmware update again to finish it.";
inline constexpr std::string_view kStoppedBeforeEsp32Part =
    "Firmware update stopped. The device runs the new controller firmware, but its ESP32 part is not installed: "
    "start the firmware update again to finish it.";
inline constexpr std::string_view kStoppedAfterCommit =
    "Firmware update stopped. The device restarts with the new controller firmware, which was not yet seen "
    "running: start the firmware update again to finish it.";
// Nothing on the device was changed.
inline constexpr std::string_view kStopped = "Firmware update stopped.";

// The next step when the program file itself is at fault.
inline constexpr std::string_view kDamagedProgram =
    "This program file is damaged: get it again from the maker. Nothing was changed on the device.";

// The program's version, as the about box says it.
inline constexpr std::string_view kProgramVersion = QUILLON_PROGRAM_VERSION;

// Questions before anything is written, with the device's firmware ("%02.02f (Var %03d)") and
// the image's.
inline constexpr std::string_view kInstallAgain = "The Norvik 1150 already runs firmware %s. Install it again?";
inline constexpr std::string_view kInstallOlder =
    "The Norvik 1150 runs firmware %s, newer than %s that this program installs. Install the older firmware?";
// --if-newer and a device that runs this firmware or a newer one.
inline constexpr std::string_view kAlreadyUpToDate = "The Norvik 1150 is already up to date: it runs firmware %s.";
// After success, the warning's first point again.
inline constexpr std::string_view kAfterSuccess =
    "Download the print images to the device again: the update may have damaged them.";

// The stages of the two bars.
inline constexpr std::string_view kStageText[] = {"", "Firmware update part 1 of 4", "Firmware update part 2 of 4",
                                                  "Firmware update part 3 of 4", "Firmware update part 4 of 4"};
inline constexpr std::string_view kReconnectText = "Reconnect Norvik 1150";

// The model whose old firmware cannot be updated, and the version it needs.
inline constexpr int kOldModel = 610;
inline constexpr int kOldModelMinVersion = 200;
inline constexpr int kModel1160 = 1160;
// A sensor byte above this: the control board carries no ESP32.
inline constexpr int kNoEsp32Threshold = 198;
inline constexpr uint32_t kOpenPauseMs = 100;
inline constexpr std::string_view kBootwareSerial = "BOOTWARE";

}  // namespace app
