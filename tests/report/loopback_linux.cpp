// TLS server with OpenSSL on a loopback socket, and a bounded child process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "tests/report/loopback.h"

extern char** environ;

namespace testsupport {

TestCertificate MakeTestCertificate(const std::string& folder, const std::string& name) {
    TestCertificate c{folder + "/" + name + ".crt", folder + "/" + name + ".key"};
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                                c.keyFile + "' -out '" + c.certFile + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    return c;
}

std::string ReceivedRequest::Header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    return {};
}

struct TlsServer::Tls {
    SSL_CTX* ctx = nullptr;
    ~Tls() {
        if (ctx) SSL_CTX_free(ctx);
    }
};

TlsServer::TlsServer(const TestCertificate& certificate) : tls_(std::make_unique<Tls>()) {
    // An answer to a client that has gone must not end the test program.
    ::signal(SIGPIPE, SIG_IGN);
    tls_->ctx = SSL_CTX_new(TLS_server_method());
    if (!tls_->ctx || SSL_CTX_use_certificate_file(tls_->ctx, certificate.certFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_->ctx, certificate.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return;
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

TlsServer::~TlsServer() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
        hold_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

void TlsServer::HoldAnswers(bool hold) {
    {
        std::lock_guard<std::mutex> lock(m_);
        hold_ = hold;
    }
    cv_.notify_all();
}

bool TlsServer::WaitForRequests(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

std::vector<ReceivedRequest> TlsServer::Requests() {
    std::lock_guard<std::mutex> lock(m_);
    return requests_;
}

int TlsServer::Connections() {
    std::lock_guard<std::mutex> lock(m_);
    return connections_;
}

int TlsServer::FailedHandshakes() {
    std::lock_guard<std::mutex> lock(m_);
    return failedHandshakes_;
}

void TlsServer::Serve() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (stop_) return;
        }
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard<std::mutex> lock(m_);
            ++connections_;
        }
        Handle(fd);
        ::close(fd);
    }
}

void TlsServer::Handle(int fd) {
    // No socket wait of this server lasts longer than 10 s.
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(tls_->ctx);
    if (!ssl) return;
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        std::lock_guard<std::mutex> lock(m_);
        ++failedHandshakes_;
        return;
    }
    std::string data;
    size_t headEnd = std::string::npos;
    size_t contentLength = 0;
    char buf[4096];
    for (;;) {
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + contentLength) break;
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            const std::string head = data.substr(0, headEnd);
            const char* cl = strcasestr(head.c_str(), "\r\nContent-Length:");
            if (cl) contentLength = std::strtoul(cl + 17, nullptr, 10);
        }
    }
    if (headEnd != std::string::npos) {
        ReceivedRequest r;
        const std::string head = data.substr(0, headEnd);
        size_t pos = head.find("\r\n");
        r.requestLine = head.substr(0, pos);
        while (pos != std::string::npos && pos < head.size()) {
            const size_t start = pos + 2;
            size_t end = head.find("\r\n", start);
            const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
            const size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t v = colon + 1;
                while (v < line.size() && line[v] == ' ') ++v;
                r.headers.emplace_back(line.substr(0, colon), line.substr(v));
            }
            pos = end;
        }
        r.body = data.substr(headEnd + 4);
        std::unique_lock<std::mutex> lock(m_);
        requests_.push_back(std::move(r));
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return !hold_ || stop_; });
        lock.unlock();
        static const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
        SSL_write(ssl, answer, sizeof answer - 1);
        SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, int timeoutMs) {
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The extra entries first: the first entry of a name is the one getenv finds.
    std::vector<std::string> envStore(environment.begin(), environment.end());
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -4;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -3;
        }
        ::usleep(10000);
    }
}

}  // namespace testsupport
