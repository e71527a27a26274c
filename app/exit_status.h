// How a run of the update program ended, as its exit status.
#pragma once

namespace app {

enum ExitStatus : int {
    kExitSuccess = 0,         // "Firmware successful updated." ended the run
    kExitUpdateFailed = 1,    // the device was changed (Bootware, blocks written) and the update failed
    kExitBadCommandLine = 2,  // unknown option or missing value
    kExitNoDevice = 3,        // no device found, the port unusable, or the device did not answer
    kExitRefused = 4,         // refused before anything was written (model, firmware, locked, no ESP32, image)
    kExitEsp32Failed = 5,     // the controller part is done or was not needed; the ESP32 part failed
    kExitCancelled = 6,       // the user cancelled or stopped the program
};

}  // namespace app
