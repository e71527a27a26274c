// Library state (device table, mutexes) and the library log.
#include "devlib/library.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "transport/usb_bus_report.h"

#ifndef QUILLON_VERSION_MAJOR
#define QUILLON_VERSION_MAJOR 0
#define QUILLON_VERSION_MINOR 0
#define QUILLON_VERSION_PATCH 0
#define QUILLON_VERSION_TWEAK 0
#endif

namespace velmora {
namespace {

DeviceTable g_table;
char g_moduleTag[11] = {};
std::unique_ptr<platform::NamedMutex> g_libraryMutex;
std::unique_ptr<std::timed_mutex> g_logMutex;  // null while logging is off

constexpr char kSep = platform::kPathSeparator;
constexpr size_t kAppDataValueSize = 255;  // the folder value is read into 255 bytes
constexpr const char* kNumberSigns =
    "##################################################################################";

// Waits for the log mutex on the installed clock, so virtual time-outs stay virtual. Each
// step also leaves the holder a moment of real time: it is writing its line to the file, which
// takes real time however fast a virtual clock runs out.
bool LockLogMutex(std::timed_mutex& m, uint32_t timeoutMs) {
    if (m.try_lock()) return true;
    platform::Clock& clock = platform::GetClock();
    const uint64_t deadline = clock.NowMs() + timeoutMs;
    while (clock.NowMs() < deadline) {
        clock.SleepMs(1);
        // A real pause and a plain try: timed locking is not seen by the thread sanitizer of
        // this compiler, which then takes the unlock for one of an unlocked mutex.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (m.try_lock()) return true;
    }
    return false;
}

// Copies text into a fixed buffer when it fits (with its terminating zero); false otherwise.
bool CopyIfFits(char* dst, size_t size, const std::string& text) {
    if (text.size() + 1 > size) return false;
    std::memcpy(dst, text.c_str(), text.size() + 1);
    return true;
}

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Time stamp + message + "\n" in one write, under the log mutex.
int WriteLogLine(const char* path, const char* message, size_t len) {
    std::timed_mutex* m = g_logMutex.get();
    if (!m || !LockLogMutex(*m, kLogMutexWaitMs)) return -1;
    int result = -1;
    if (path && path[0] != '\0') {
        platform::LocalTime t = platform::GetClock().LocalNow();
        char stamp[64];
        int n = std::snprintf(stamp, sizeof stamp, "%04d.%02d.%02d %02d:%02d:%02d.%03d | ", t.year, t.month,
                              t.day, t.hour, t.minute, t.second, t.millisecond);
        std::string line;
        line.reserve(static_cast<size_t>(n) + len + 2);
        line.append(stamp, static_cast<size_t>(n));
        line.append(message, len);
        line.append(platform::kTextLineEnd);
        if (platform::AppendBytes(path, line.data(), line.size())) result = 1;
    }
    m->unlock();
    return result;
}

void WriteHeader() {
    LogWriteLine(kNumberSigns);
    LogWriteLine("###                         Velmora LOG started                             ###");
    LogWriteLine(kNumberSigns);

    char* path = LogEntry();
    // The library is linked into the program, so its location is the program file.
    std::string location = platform::ProgramPath();
    if (location.size() > 259) location.resize(259);
    LogPrintf(path, "Location of Velmora: %s", location.c_str());

    uint16_t version = GetLibraryVersion();
    LogPrintf(path, "Version of Velmora: %x.%02x", version >> 8, version & 0xFF);

    LogWriteLine("Operating system infos");
    platform::OsFacts os = platform::GetOsFacts();
    if (os.bits == 64)
        LogPrintf(path, "  OS (64-Bit) rev.:%d,%d  Build:%d, PlatformID:%d  %s", os.major, os.minor, os.build,
                  os.platformId, os.details.c_str());
    else if (os.bits == 32)
        LogPrintf(path, "  OS (32-Bit) rev.:%d,%d  Build:%d, PlatformID:%d  %s", os.major, os.minor, os.build,
                  os.platformId, os.details.c_str());
    else
        LogPrintf(path, "  OS rev.:%d,%d  Build:%d, PlatformID:%d  %s", os.major, os.minor, os.build,
                  os.platformId, os.details.c_str());

    platform::ProcessorFacts cpu = platform::GetProcessorFacts();
    // \xB5 is the single byte the log has always carried for the micro sign.
    LogPrintf(path, "  \xB5Ps= %d, \xB5Ptyp=%d (%d,%d), OEM Id %d,Mask %X, Adr:%8.8X-%8.8X", cpu.count, cpu.type,
              cpu.level, cpu.revision, cpu.oemId, cpu.activeMask, cpu.minAddress, cpu.maxAddress);

    std::string user = platform::UserName();
    if (user.size() > 256) user.resize(256);
    LogPrintf(path, "  Username: %s", user.c_str());

    auto report = std::make_unique<char[]>(kUsbBusReportSize);
    BuildUsbBusReport(report.get());
    LogWriteLine(report.get());
}

}  // namespace

DeviceTable& Table() { return g_table; }

CDeviceCommunication* DeviceChannel(int deviceID) {
    if (deviceID < 0 || deviceID >= kMaxDevices) return nullptr;
    return g_table.devices[deviceID];
}

const char* ModuleTag() { return g_moduleTag; }

platform::NamedMutex* LibraryMutex() { return g_table.m_hVelmoraMutex; }

uint16_t GetLibraryVersion() {
    return static_cast<uint16_t>((QUILLON_VERSION_MAJOR & 0xF) << 12 | (QUILLON_VERSION_MINOR & 0xF) << 8 |
                                 (QUILLON_VERSION_PATCH & 0xF) << 4 | (QUILLON_VERSION_TWEAK & 0xF));
}

int ReadCommonAppDataFolder(char* buffer) {
    std::string folder;
    if (platform::CommonAppDataFolder(&folder) < 0) return -1;
    // The value is read into 255 bytes: a longer folder cannot be read.
    if (folder.size() + 1 > kAppDataValueSize) return -2;
    CopyIfFits(buffer, kLogPathSize, folder);
    return 1;
}

void CreateSharedLogFile(const char* path) {
    // Created only when nothing is there; a planted link is not followed.
    if (path) platform::CreateSharedFile(path);
}

int OpenLogFile(const char* path) {
    if (!path) return -1;
    char* entry = g_table.logPath;
    if (entry && entry != path && !CopyIfFits(entry, kLogPathSize, path)) return -1;
    switch (platform::ProbeReadable(path)) {
        case platform::ReadProbe::Readable:
            break;
        case platform::ReadProbe::Missing:
            if (!platform::CreateForWriting(path)) return -1;
            break;
        case platform::ReadProbe::Unreadable:
            // Not ours to write to (a link planted at the path, or no permission).
            return -1;
    }
    if (!g_logMutex) g_logMutex = std::make_unique<std::timed_mutex>();
    return 1;
}

int LogWriteLine(const char* text) {
    if (!text) text = "";
    return WriteLogLine(g_table.logPath, text, std::strlen(text));
}

int LogPrintf(const char* path, const char* format, ...) {
    if (!format) return -1;
    va_list args;
    va_start(args, format);
    std::string message = FormatV(format, args);
    va_end(args);
    return WriteLogLine(path, message.data(), message.size());
}

void InitLibrary() {
    // 1. Library mutex and module tag, named after the module number.
    const uint32_t module = platform::ModuleNumber();
    char mutexName[50];
    std::snprintf(mutexName, sizeof mutexName, "VelmoraMutex0x%08x", module);
    std::snprintf(g_moduleTag, sizeof g_moduleTag, "0x%08x", module);
    g_libraryMutex = platform::CreateNamedMutex(mutexName);
    g_table.m_hVelmoraMutex = g_libraryMutex.get();
    for (auto& device : g_table.devices) device = nullptr;

    // 2. Library folder.
    char appData[kLogPathSize] = {};
    if (ReadCommonAppDataFolder(appData) < 0) appData[0] = '\0';
    const std::string libraryFolder = std::string(appData) + kSep + "Kalder";

    // 3. The hint how to switch the log on, at every start.
    char eventText[kEventTextSize];
    std::snprintf(eventText, sizeof eventText, "To switch on Velmora logfile put the file %s to path \"%s\".",
                  kMarkerFileName, libraryFolder.c_str());
    platform::Event event;
    event.source = "Velmora";
    event.type = 4;  // information
    event.category = 3;
    event.eventId = 0x60000100;
    event.text = eventText;
    platform::GetEventSink().Report(event);

    // 4. The marker file switches the log on. Paths that do not fit their buffers leave
    // the log off rather than pointing it somewhere else.
    const std::string markerPath = libraryFolder + kSep + kMarkerFileName;
    FILE* marker = nullptr;
    if (libraryFolder.size() + 1 <= kLogPathSize && markerPath.size() + 1 <= kMarkerPathSize)
        marker = std::fopen(markerPath.c_str(), "r");
    if (!marker) {
        g_table.logPath = nullptr;
        return;
    }

    // 5. Only the first line may name the log folder: LOGFILEPATH = "folder".
    std::string logFolder = libraryFolder;
    char line[kMarkerLineSize + 1] = {};
    if (std::fgets(line, sizeof line, marker)) {
        if (const char* token = std::strstr(line, "LOGFILEPATH =")) {
            const char* open = std::strchr(token, '"');
            const char* close = open ? std::strchr(open + 1, '"') : nullptr;
            if (close) logFolder.assign(open + 1, close);
        }
    }
    // A named folder the system does not take for the log (a host's share, a device) leaves
    // the log off rather than sending it there.
    if (logFolder != libraryFolder && !platform::LogFolderAllowed(logFolder)) {
        std::fclose(marker);
        g_table.logPath = nullptr;
        return;
    }

    // 6., 7. The log path lives in the log entry's buffer.
    const std::string logPath = logFolder + kSep + kLogFileName;
    if (logFolder.size() + 1 > kLogPathSize || logPath.size() + 1 > kLogPathSize) {
        std::fclose(marker);
        g_table.logPath = nullptr;
        return;
    }
    if (!g_table.logPath) g_table.logPath = new (std::nothrow) char[kLogPathSize];
    if (!g_table.logPath) {
        std::fclose(marker);
        return;
    }
    CopyIfFits(g_table.logPath, kLogPathSize, logPath);

    // 8., 9. Create the file every user may append to, open the log, write the header.
    CreateSharedLogFile(g_table.logPath);
    OpenLogFile(g_table.logPath);
    WriteHeader();

    // 10.
    std::fclose(marker);
}

void ResetLibraryForTest() {
    for (auto& device : g_table.devices) device = nullptr;
    g_table.serviceMode = 0;
    delete[] g_table.logPath;
    g_table.logPath = nullptr;
    g_table.m_hVelmoraMutex = nullptr;
    g_libraryMutex.reset();
    g_logMutex.reset();
    std::memset(g_moduleTag, 0, sizeof g_moduleTag);
}

}  // namespace velmora
