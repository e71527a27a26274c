#include "platform/https.h"

namespace platform {

bool HttpsTargetIsSafe(const HttpsTarget& target) {
    const std::string& host = target.host;
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_';
        if (!ok) return false;
    }
    return target.port >= 1 && target.port <= 65535;
}

}  // namespace platform
