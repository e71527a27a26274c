// The com_os functions of a scripted port (see scripted_port.h).
#include "fuzz/scripted_port.h"

#include <cerrno>

#include "transport/com_port_os.h"

namespace fuzz {
namespace {

constexpr velmora::ComHandle kHandle = 42;

struct Port {
    PortScript script;
    size_t readAt = 0;
    std::vector<uint8_t> written;
    bool open = false;
};

Port& State() {
    static Port port;
    return port;
}

}  // namespace

void SetPortScript(const PortScript& script) {
    Port& p = State();
    p.script = script;
    p.readAt = 0;
    p.written.clear();
    p.open = false;
}

const std::vector<uint8_t>& PortWritten() { return State().written; }

}  // namespace fuzz

namespace velmora::com_os {

bool ListUsbTtys(const std::string&, uint16_t, uint16_t, std::vector<UsbTty>*) { return false; }

// The scripted port is found through the port list only: the system knows no port.
int FindSystemComPorts(uint16_t, int*, int, const std::string&) { return -1; }

bool PathExists(const std::string& path) { return path == fuzz::kScriptedPortPath; }

ComHandle Open(const std::string& path, int* err) {
    fuzz::Port& p = fuzz::State();
    if (path != fuzz::kScriptedPortPath) {
        *err = ENOENT;
        return kInvalidComHandle;
    }
    if (p.open) {
        *err = EBUSY;
        return kInvalidComHandle;
    }
    p.open = true;
    return fuzz::kHandle;
}

PieceEnd ReadPiece(ComHandle h, uint8_t* data, uint32_t n, uint32_t, uint32_t* moved) {
    fuzz::Port& p = fuzz::State();
    *moved = 0;
    if (h != fuzz::kHandle || !p.open) return PieceEnd::Failed;
    const size_t left = p.script.stream.size() - p.readAt;
    size_t k = n < left ? n : left;
    if (p.script.readPiece > 0 && k > p.script.readPiece) k = p.script.readPiece;
    for (size_t i = 0; i < k; ++i) data[i] = p.script.stream[p.readAt + i];
    p.readAt += k;
    *moved = static_cast<uint32_t>(k);
    if (k == n) return PieceEnd::Complete;
    if (p.readAt == p.script.stream.size() && p.script.hangUpAtEnd) return PieceEnd::Failed;
    return PieceEnd::TimedOut;
}

PieceEnd WritePiece(ComHandle h, const uint8_t* data, uint32_t n, uint32_t, uint32_t* moved) {
    fuzz::Port& p = fuzz::State();
    *moved = 0;
    if (h != fuzz::kHandle || !p.open) return PieceEnd::Failed;
    const size_t room = p.script.writeLimit > p.written.size() ? p.script.writeLimit - p.written.size() : 0;
    const size_t k = n < room ? n : room;
    p.written.insert(p.written.end(), data, data + k);
    *moved = static_cast<uint32_t>(k);
    return k == n ? PieceEnd::Complete : PieceEnd::TimedOut;
}

void Close(ComHandle h) {
    if (h == fuzz::kHandle) fuzz::State().open = false;
}

}  // namespace velmora::com_os
