// One HTTPS POST whose answer nobody reads: prepared first, then sent with its body.
// The server's certificate is always verified; proxies come from the system's usual settings
// (on Linux the https_proxy and no_proxy environment variables).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct HttpsTarget {
    std::string host;                      // name or IPv4 address; letters, digits, '.', '-', '_' only
    int port = 443;
    std::string objectName;                // path below the server's root; "" = the root itself
    std::string userAgent;
    std::vector<std::string> acceptTypes;  // the Accept header, entries joined with ", "
    bool reload = true;                    // ask every cache on the way for a fresh answer
    std::string caFile;                    // "" = the system's trusted certificates; else only these
    uint32_t timeLimitMs = 60000;          // the whole exchange, measured on platform::GetClock()
    const std::atomic<bool>* cancel = nullptr;  // once true, a running exchange ends and fails
};

class HttpsPost {
public:
    virtual ~HttpsPost() = default;
    // Sends the request with extraHeader ("Name: value" lines separated by CR LF) and body, and
    // waits until the server has answered completely; the answer is discarded. 1 when the server
    // answered, whatever its status; -1 when no answer came (no connection, certificate not
    // trusted, time limit, cancelled).
    virtual int Send(const std::string& extraHeader, std::string_view body) = 0;
    // Why the last Send failed ("" after success).
    virtual const std::string& LastError() const = 0;
};

// Whether target's host and port may be handed to an HTTP client: a host of letters, digits,
// '.', '-' and '_' only (nothing that could reach a URL as anything but a name), a port in range.
bool HttpsTargetIsSafe(const HttpsTarget& target);

// Prepares a POST to target. nullptr when it cannot be prepared (no or invalid host, port out of
// range, no HTTP client); nothing has gone over the network then.
std::unique_ptr<HttpsPost> OpenHttpsPost(const HttpsTarget& target);

// Starts the HTTPS layer's process-wide state. OpenHttpsPost does this itself; a program that
// may end while a POST runs calls it before creating any object that waits for that POST at exit,
// so that the layer is torn down only after that object.
void PrepareHttps();

}  // namespace platform
