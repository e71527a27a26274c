// The virtual COM port of the newer device family: finding the ports of vendor 2E4C and a
// product id, opening one for exclusive use, and moving bytes with bounded waits. All
// framing is the channel's business; these functions only move bytes.
//
// Port numbers. The channel keeps ports as small integers (and opens "port % 256"), so every
// port path the lookup finds gets a number 1..255 from a process-wide table: the same path
// keeps its number for the life of the process, and OpenCOM(n) opens the path of n.
// ComPortPath(n) tells which path a number stands for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

using ComHandle = intptr_t;  // a file descriptor on Linux, a HANDLE on Windows
constexpr ComHandle kInvalidComHandle = -1;

constexpr uint16_t kComVendorId = 0x2E4C;
constexpr uint16_t kComProductId660 = 0x0A1E;
constexpr uint16_t kComProductId1160 = 0x0A1F;

constexpr uint32_t kComWritePieceSize = 65536;
constexpr uint32_t kComReadPieceSize = 4096;
// A read or write of n bytes gives up after n * 1 ms + 10,000 ms.
constexpr uint32_t kComTimeoutPerByteMs = 1;
constexpr uint32_t kComTimeoutConstantMs = 10000;
// ReadCOM tolerates len / 0x47E short pieces, with a pause after each but the last.
constexpr uint32_t kComShortReadDivisor = 0x47E;
constexpr uint32_t kComShortReadPauseMs = 100;
// Port numbers the table hands out.
constexpr int kMaxComPortNumber = 255;

// When set, replaces the sysfs lookup: "PID=PATH;PID=PATH;..." (PID: four hex digits).
constexpr const char* kComPortsVariable = "VELMORA_COM_PORTS";
constexpr const char* kDefaultSysfsRoot = "/sys";

// Stores the numbers of the ports of (2E4C, productId) into ports[0..capacity), in a stable
// order, and returns how many were stored (>= 0); -1 no port of that product id is known
// (no such device, or the lookup itself cannot be read); -2 out of memory.
// Uses VELMORA_COM_PORTS when that is set, else the system's lookup: the sysfs tree on Linux,
// the registry on Windows (the device instances of VID_2E4C&PID_<productId> and their
// PortName COMn, opened as \\.\COMn).
int FindComPorts(uint16_t productId, int* ports, int capacity);

// Binds FindComPorts to the ports of list (as VELMORA_COM_PORTS) for the rest of the process,
// before the variable and the system's lookup: an update that has found its device opens only
// that one again. "" lifts the binding.
void SetComPortBinding(const std::string& list);

// The two lookups FindComPorts chooses between, callable on their own (tests, tools).
// Sysfs: every <root>/class/tty/* whose USB device carries idVendor 2e4c and productId, in
// the order of the USB device path; the port path is /dev/<tty name>. Windows has no sysfs:
// there it finds nothing (-1).
int FindComPortsInSysfs(uint16_t productId, int* ports, int capacity, const std::string& sysfsRoot);
// Port list text as in VELMORA_COM_PORTS: the product's entries in the order given, an entry
// whose PATH does not exist now is left out. -1 when the list has no entry for productId.
int FindComPortsInList(uint16_t productId, int* ports, int capacity, std::string_view list);

// The sysfs root FindComPorts walks ("" puts back /sys). Not for use while other threads
// look up ports.
void SetComSysfsRoot(const std::string& root);

struct ComPortEntry {
    uint16_t productId = 0;
    std::string path;
};
// Splits a port list into entries. Entries that are not PID=PATH with a PID of four hex
// digits and a non-empty PATH are left out and, when rejected is given, appended to it, so
// a front end can say what it did not understand.
std::vector<ComPortEntry> ParseComPortList(std::string_view list, std::vector<std::string>* rejected = nullptr);

// The number of a port path (1..255), given out on first use; 0 when all numbers are taken.
int ComPortNumber(const std::string& path);
// The path a number stands for, "" when the number was never given out.
std::string ComPortPath(uint8_t port);

// Writes the log line "CSerialComPortOperations / OpenCOM: 128000" (when the library log is
// on), opens the port for exclusive use (another open of the same port, from this or
// another process, fails until CloseCOM), puts it in raw mode without touching the line
// speed and returns its handle, or kInvalidComHandle.
ComHandle OpenCOM(uint8_t port);
// The errno behind the failure of this thread's last OpenCOM, 0 when it succeeded: EBUSY the
// port is held by another, EACCES no permission, ENOENT no such port (or unknown number),
// ENOTTY the path is not a serial port.
int LastComOpenError();

// 1 when all len bytes were written (len 0 included), else 0. Pieces of at most 65,536
// bytes; a piece that is not taken completely within its time-out ends the write.
int WriteCOM(ComHandle h, const uint8_t* data, uint32_t len);
// 1 when all len bytes were read, else 0. Pieces of at most 4,096 bytes; a piece waits until
// it is complete, its time-out passes or the device hangs up. A hang-up or read error ends
// the read at once; short pieces are tolerated len / 0x47E times with a 100 ms pause
// between them.
int ReadCOM(ComHandle h, uint8_t* data, uint32_t len);
// Releases the port; kInvalidComHandle is ignored.
void CloseCOM(ComHandle h);

// Every piece of WriteCOM and ReadCOM as it ends: how many bytes it asked for and how many
// moved. For tests and diagnostics; install before ports are used (nullptr: none).
struct ComPiece {
    enum class Kind { Write, Read };
    Kind kind = Kind::Write;
    uint32_t asked = 0;
    uint32_t moved = 0;
};
void SetComPieceObserver(std::function<void(const ComPiece&)> observer);

}  // namespace velmora
