// The usage report's HTTPS POST through WinINet under Wine, against a TLS server of the build
// machine (tls_server.sh: socat with a certificate made for the run, which keeps every body it
// receives, one a line). WinINet checks the certificate, and the server's is trusted by nobody.
// A post that succeeds is not shown here: Wine takes its trusted roots from the build machine
// and lets no test add one to the store its certificate check uses.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/https.h"

#ifndef QUILLON_TLS_DIR
#error "QUILLON_TLS_DIR names the folder of the test server"
#endif

namespace {

std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

platform::HttpsTarget Server() {
    platform::HttpsTarget t;
    t.host = "127.0.0.1";
    t.port = std::stoi(Read(std::string(QUILLON_TLS_DIR) + "\\port"));
    t.userAgent = "Fimrware update Norvik 1150";
    t.acceptTypes = {"HTTP / 1.1"};
    t.timeLimitMs = 20000;
    return t;
}

const char* kHeader = "Content-Type: application/x-www-form-urlencoded";

TEST(WinInetPost, UntrustedServerIsRefusedBeforeTheBodyGoesOut) {
    auto post = platform::OpenHttpsPost(Server());
    ASSERT_NE(post, nullptr);
    EXPECT_EQ(post->Send(kHeader, "Device=Norvik1150&k=1"), -1);
    EXPECT_NE(post->LastError().find("certificate"), std::string::npos) << post->LastError();
    EXPECT_EQ(Read(std::string(QUILLON_TLS_DIR) + "\\bodies"), "");
}

TEST(WinInetPost, CertificateFileCannotBeHonouredSoNothingIsPrepared) {
    platform::HttpsTarget t = Server();
    t.caFile = "C:\\certificates.pem";
    EXPECT_EQ(platform::OpenHttpsPost(t), nullptr);
    t.caFile.clear();
    t.host = "127.0.0.1/evil?";
    EXPECT_EQ(platform::OpenHttpsPost(t), nullptr);
}

}  // namespace
