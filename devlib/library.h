// Library state: the device table, the log and the library start.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/named_mutex.h"

namespace velmora {

class CDeviceCommunication;

constexpr int kMaxDevices = 10;
constexpr size_t kLogPathSize = 260;      // log path buffer, folders
constexpr size_t kMarkerPathSize = 280;   // marker file path
constexpr size_t kEventTextSize = 500;    // event text
constexpr size_t kMarkerLineSize = 999;   // first line of the marker file
constexpr uint32_t kLogMutexWaitMs = 5000;
constexpr uint32_t kLibraryMutexWaitMs = 20000;
constexpr const char* kMarkerFileName = "VelmoraLog.cfg";
constexpr const char* kLogFileName = "Velmora.log";

// The process-wide device table. Entries 0..9 are channels; 10..12 hold other state.
struct DeviceTable {
    CDeviceCommunication* devices[kMaxDevices] = {};  // entries 0..9, owned from OpenV2 to Close
    int serviceMode = 0;                              // entry 10: activate value, 0 = off
    char* logPath = nullptr;                          // entry 11: 260-char buffer, null = log off
    platform::NamedMutex* m_hVelmoraMutex = nullptr;  // entry 12: the library mutex
};

DeviceTable& Table();

// The channel of a device id, or null for a free id and any id outside 0..9.
CDeviceCommunication* DeviceChannel(int deviceID);

// "0x%08x" of the module number; names the download mutex.
const char* ModuleTag();

// The library mutex (entry 12), null before InitLibrary.
platform::NamedMutex* LibraryMutex();

void InitLibrary();
uint16_t GetLibraryVersion();
int ReadCommonAppDataFolder(char* buffer /* 260 */);
void CreateSharedLogFile(const char* path);
int OpenLogFile(const char* path);
int LogWriteLine(const char* text);
int LogPrintf(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The log entry (entry 11): what callers check before LogPrintf and pass as its path.
inline char* LogEntry() { return Table().logPath; }

// Drops all library state as before InitLibrary (tests only; channels must be closed).
void ResetLibraryForTest();

}  // namespace velmora
