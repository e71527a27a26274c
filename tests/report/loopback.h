// Test helpers that need the operating system: a TLS server on 127.0.0.1 and a child process
// with a time bound.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// A self-signed certificate for 127.0.0.1 made with the openssl command. Empty paths when the
// command failed.
struct TestCertificate {
    std::string certFile;
    std::string keyFile;
};
TestCertificate MakeTestCertificate(const std::string& folder, const std::string& name);

// What the server read of one request.
struct ReceivedRequest {
    std::string requestLine;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
    std::string body;
    std::string Header(const std::string& name) const;        // first value, "" when absent
};

// Serves HTTPS on 127.0.0.1 (an ephemeral port) with the given certificate, one connection at a
// time, on a thread of its own. Every request is read completely (headers and Content-Length
// bytes) and answered with 200 unless answers are held. Every socket wait is bounded.
class TlsServer {
public:
    TlsServer(const TestCertificate& certificate);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    bool Ready() const { return port_ > 0; }
    int Port() const { return port_; }
    // While held, a request that has been read is not answered (its client waits).
    void HoldAnswers(bool hold);
    // Waits up to timeoutMs (real time) until n requests have been read.
    bool WaitForRequests(size_t n, int timeoutMs);
    std::vector<ReceivedRequest> Requests();
    int Connections();        // TCP connections accepted
    int FailedHandshakes();   // connections whose TLS handshake failed

private:
    void Serve();
    void Handle(int fd);

    struct Tls;
    std::unique_ptr<Tls> tls_;
    int listenFd_ = -1;
    int port_ = 0;
    bool stop_ = false;
    bool hold_ = false;
    int connections_ = 0;
    int failedHandshakes_ = 0;
    std::vector<ReceivedRequest> requests_;
    std::mutex m_;
    std::condition_variable cv_;
    std::thread thread_;
};

// Runs program with args and extra environment entries ("NAME=value"); returns its exit status,
// -2 when it was ended by a signal, -3 when it did not end within timeoutMs (it is then killed).
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, int timeoutMs);

}  // namespace testsupport
