// Host name and its official name with Windows Sockets 1.1: gethostname into 50 bytes, then
// gethostbyname, whose h_name is the official name.
#include <winsock2.h>

#include "platform/host.h"

namespace platform {
namespace {

// Windows Sockets stay started for the call only.
class SocketsStarted {
public:
    SocketsStarted() {
        WSADATA data;
        ok_ = ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~SocketsStarted() {
        if (ok_) ::WSACleanup();
    }
    SocketsStarted(const SocketsStarted&) = delete;
    SocketsStarted& operator=(const SocketsStarted&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

}  // namespace

bool OfficialHostName(std::string* name) {
    SocketsStarted sockets;
    if (!sockets.ok()) return false;
    char host[kHostNameBufferSize] = {};
    // A name that does not fit the buffer makes gethostname fail.
    if (::gethostname(host, static_cast<int>(sizeof host)) != 0) return false;
    const hostent* entry = ::gethostbyname(host);
    if (!entry || !entry->h_name) return false;
    *name = entry->h_name;
    return true;
}

}  // namespace platform
