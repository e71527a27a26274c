// COM port layer, the portable part: lookup order, port numbers, the piece loops of reads
// and writes. The OS work is in com_port_<os>.cpp behind com_port_os.h.
#include "transport/com_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

#include "devlib/library.h"
#include "platform/clock.h"
#include "transport/com_port_os.h"

namespace velmora {
namespace {

// The fixed number the open line has always carried (not the port).
constexpr int kOpenLogNumber = 128000;

struct PortTable {
    std::mutex m;
    std::vector<std::string> paths;  // number n is paths[n - 1]
};

PortTable& Ports() {
    static PortTable table;
    return table;
}

std::mutex g_settingsMutex;
std::string g_sysfsRoot = kDefaultSysfsRoot;
std::string g_portBinding;  // "" : none
std::function<void(const ComPiece&)> g_pieceObserver;

thread_local int t_lastOpenError = 0;

std::string SysfsRoot() {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_sysfsRoot;
}

void NotePiece(ComPiece::Kind kind, uint32_t asked, uint32_t moved) {
    std::function<void(const ComPiece&)> observer;
    {
        std::lock_guard<std::mutex> lock(g_settingsMutex);
        observer = g_pieceObserver;
    }
    if (observer) observer(ComPiece{kind, asked, moved});
}

uint32_t PieceTimeoutMs(uint32_t bytes) { return bytes * kComTimeoutPerByteMs + kComTimeoutConstantMs; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Orders text so that runs of digits compare by value: "1-2" before "1-10". Equal values
// with different spellings fall back to the plain order, so the order is total.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9';
        const bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ie = i, je = j;
            while (ie < a.size() && a[ie] >= '0' && a[ie] <= '9') ++ie;
            while (je < b.size() && b[je] >= '0' && b[je] <= '9') ++je;
            size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            const std::string_view na(a.data() + is, ie - is), nb(b.data() + js, je - js);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;
}

// Appends the number of path to ports unless it is there already or there is no room.
void StorePort(const std::string& path, int* ports, int capacity, int* stored) {
    if (!ports || *stored >= capacity) return;
    const int number = ComPortNumber(path);
    if (number <= 0) return;  // every number is taken: the port cannot be addressed
    if (std::find(ports, ports + *stored, number) != ports + *stored) return;
    ports[(*stored)++] = number;
}

}  // namespace

std::vector<ComPortEntry> ParseComPortList(std::string_view list, std::vector<std::string>* rejected) {
    std::vector<ComPortEntry> entries;
    while (true) {
        const size_t end = list.find(';');
        const std::string_view item = Trim(list.substr(0, end));
        if (!item.empty()) {
            const size_t eq = item.find('=');
            const std::string_view pid = eq == std::string_view::npos ? item : Trim(item.substr(0, eq));
            const std::string_view path = eq == std::string_view::npos ? std::string_view() : Trim(item.substr(eq + 1));
            bool ok = eq != std::string_view::npos && pid.size() == 4 && !path.empty();
            uint16_t value = 0;
            for (size_t k = 0; ok && k < pid.size(); ++k) {
                const int d = HexDigit(pid[k]);
                if (d < 0) ok = false;
                value = static_cast<uint16_t>(value << 4 | (d & 0xF));
            }
            if (ok)
                entries.push_back(ComPortEntry{value, std::string(path)});
            else if (rejected)
                rejected->emplace_back(item);
        }
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return entries;
}

int ComPortNumber(const std::string& path) {
    PortTable& table = Ports();
    std::lock_guard<std::mutex> lock(table.m);
    auto it = std::find(table.paths.begin(), table.paths.end(), path);
    if (it != table.paths.end()) return static_cast<int>(it - table.paths.begin()) + 1;
    if (table.paths.size() >= static_cast<size_t>(kMaxComPortNumber)) return 0;
    table.paths.push_back(path);
    return static_cast<int>(table.paths.size());
}

std::string ComPortPath(uint8_t port) {
    PortTable& table = Ports();
    std::lock_guard<std::mutex> lock(table.m);
    if (port == 0 || port > table.paths.size()) return {};
    return table.paths[port - 1];
}

int FindComPortsInList(uint16_t productId, int* ports, int capacity, std::string_view list) {
    try {
        bool known = false;
        int stored = 0;
        for (const ComPortEntry& entry : ParseComPortList(list)) {
            if (entry.productId != productId) continue;
            known = true;
            // A path that is not there now is an unplugged device.
            if (com_os::PathExists(entry.path)) StorePort(entry.path, ports, capacity, &stored);
        }
        return known ? stored : -1;
    } catch (const std::bad_alloc&) {
        return -2;
    }
}

int FindComPortsInSysfs(uint16_t productId, int* ports, int capacity, const std::string& sysfsRoot) {
    try {
        std::vector<com_os::UsbTty> ttys;
        if (!com_os::ListUsbTtys(sysfsRoot, kComVendorId, productId, &ttys) || ttys.empty()) return -1;
        std::sort(ttys.begin(), ttys.end(), [](const com_os::UsbTty& a, const com_os::UsbTty& b) {
            if (a.usbDevicePath != b.usbDevicePath) return NaturalLess(a.usbDevicePath, b.usbDevicePath);
            return NaturalLess(a.ttyPath, b.ttyPath);
        });
        int stored = 0;
        for (const com_os::UsbTty& tty : ttys) StorePort(tty.devicePath, ports, capacity, &stored);
        return stored;
    } catch (const std::bad_alloc&) {
        return -2;
    }
}

void SetComPortBinding(const std::string& list) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_portBinding = list;
}

int FindComPorts(uint16_t productId, int* ports, int capacity) {
    std::string binding;
    {
        std::lock_guard<std::mutex> lock(g_settingsMutex);
        binding = g_portBinding;
    }
    if (!binding.empty()) return FindComPortsInList(productId, ports, capacity, binding);
    if (const char* list = std::getenv(kComPortsVariable))
        return FindComPortsInList(productId, ports, capacity, list);
    std::string root;
    try {
        root = SysfsRoot();
    } catch (const std::bad_alloc&) {
        return -2;
    }
    return com_os::FindSystemComPorts(productId, ports, capacity, root);
}

void SetComSysfsRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_sysfsRoot = root.empty() ? std::string(kDefaultSysfsRoot) : root;
}

void SetComPieceObserver(std::function<void(const ComPiece&)> observer) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_pieceObserver = std::move(observer);
}

ComHandle OpenCOM(uint8_t port) {
    if (char* log = LogEntry()) LogPrintf(log, "CSerialComPortOperations / OpenCOM: %d", kOpenLogNumber);
    const std::string path = ComPortPath(port);
    if (path.empty()) {
        t_lastOpenError = ENOENT;
        return kInvalidComHandle;
    }
    int err = 0;
    const ComHandle h = com_os::Open(path, &err);
    t_lastOpenError = h == kInvalidComHandle ? (err != 0 ? err : EIO) : 0;
    return h;
}

int LastComOpenError() { return t_lastOpenError; }

int WriteCOM(ComHandle h, const uint8_t* data, uint32_t len) {
    if (h < 0) return 0;
    if (len == 0) return 1;
    if (!data) return 0;
    uint32_t written = 0;
    while (written < len) {
        const uint32_t ask = std::min(len - written, kComWritePieceSize);
        uint32_t moved = 0;
        const com_os::PieceEnd end = com_os::WritePiece(h, data + written, ask, PieceTimeoutMs(ask), &moved);
        NotePiece(ComPiece::Kind::Write, ask, moved);
        written += moved;
        if (end != com_os::PieceEnd::Complete || moved < ask) break;
    }
    return written == len ? 1 : 0;
}

int ReadCOM(ComHandle h, uint8_t* data, uint32_t len) {
    if (h < 0) return 0;
    if (len == 0) return 1;
    if (!data) return 0;
    const uint32_t allowance = len / kComShortReadDivisor;
    uint32_t read = 0;
    uint32_t shortPieces = 0;
    while (read < len) {
        const uint32_t ask = std::min(len - read, kComReadPieceSize);
        uint32_t moved = 0;
        const com_os::PieceEnd end = com_os::ReadPiece(h, data + read, ask, PieceTimeoutMs(ask), &moved);
        NotePiece(ComPiece::Kind::Read, ask, moved);
        read += moved;
        // A hang-up or read error is final; waiting for more would only wait out time-outs.
        if (end == com_os::PieceEnd::Failed) break;
        if (moved < ask) {
            // With an allowance of 0 the first short piece already ends the read.
            if (++shortPieces >= allowance) break;
            platform::GetClock().SleepMs(kComShortReadPauseMs);
        }
    }
    return read == len ? 1 : 0;
}

void CloseCOM(ComHandle h) {
    if (h < 0) return;
    com_os::Close(h);
}

}  // namespace velmora
