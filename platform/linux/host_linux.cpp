// Host name with gethostname(2) and its canonical name from getaddrinfo(3).
#include "platform/host.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace platform {

bool OfficialHostName(std::string* name) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return false;
    if (std::strlen(host) + 1 > kHostNameBufferSize) return false;
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || !result) return false;
    const bool found = result->ai_canonname != nullptr;
    if (found) *name = result->ai_canonname;
    ::freeaddrinfo(result);
    return found;
}

}  // namespace platform
