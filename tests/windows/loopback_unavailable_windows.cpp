// The report tests' TLS loopback server is made with OpenSSL, which the Windows build does not
// have. Here it never starts (no port, no certificate, no program runs); the report tests that
// need it are left out of this build by their filter, and the WinINet post is tested against a
// server of the build machine (https_windows_test.cpp).
#include "tests/report/loopback.h"

namespace testsupport {

struct TlsServer::Tls {};

TestCertificate MakeTestCertificate(const std::string&, const std::string&) { return {}; }

std::string ReceivedRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (key == name) return value;
    return {};
}

TlsServer::TlsServer(const TestCertificate&) {}
TlsServer::~TlsServer() = default;
void TlsServer::HoldAnswers(bool) {}
bool TlsServer::WaitForRequests(size_t, int) { return false; }
std::vector<ReceivedRequest> TlsServer::Requests() { return {}; }
int TlsServer::Connections() { return 0; }
int TlsServer::FailedHandshakes() { return 0; }

int RunProgram(const std::string&, const std::vector<std::string>&, const std::vector<std::string>&, int) {
    return -3;
}

}  // namespace testsupport
