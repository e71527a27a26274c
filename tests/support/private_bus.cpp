#include "tests/support/private_bus.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace testsupport {
namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& output) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const FILE* out = std::freopen(output.c_str(), "a", stdout);
        if (out) ::dup2(1, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

template <typename Done>
bool WaitFor(int ms, Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

PrivateSystemBus::PrivateSystemBus(const std::string& dir, bool withLogind) : m_dir(dir) {
    const std::string socket = dir + "/system_bus_socket";
    m_address = "unix:path=" + socket;
    // A bus of its own with the system bus's single rule that matters here: anyone may own and call.
    std::ofstream(dir + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>system</type>\n  <listen>"
        << m_address
        << "</listen>\n  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\"/>\n    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n";
    m_daemon = Spawn({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + dir + "/bus.conf"},
                     dir + "/dbus-daemon.out");
    struct stat st {};
    if (!WaitFor(5000, [&] { return ::stat(socket.c_str(), &st) == 0; })) {
        m_problem = "dbus-daemon did not start (see " + dir + "/dbus-daemon.out)";
        return;
    }
    if (withLogind) {
        m_logind = Spawn({QUILLON_LOGIND_STANDIN_PATH, m_address, dir + "/logind.log"}, dir + "/logind.out");
        if (!WaitForLogLine("ready", 5000)) {
            m_problem = "the stand-in logind did not start (see " + dir + "/logind.out)";
            return;
        }
    }
    m_started = true;
}

PrivateSystemBus::~PrivateSystemBus() {
    Stop(m_logind);
    Stop(m_daemon);
}

std::vector<std::string> PrivateSystemBus::LogindLog() const {
    std::vector<std::string> lines;
    std::ifstream in(m_dir + "/logind.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool PrivateSystemBus::WaitForLogLine(const std::string& line, int ms) const {
    return WaitFor(ms, [&] {
        for (const std::string& l : LogindLog())
            if (l == line) return true;
        return false;
    });
}

std::vector<std::string> PrivateSystemBus::Inhibitors() const {
    std::vector<std::string> out;
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, m_address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
    if (r >= 0)
        r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply, "");
    if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
    while (r >= 0) {
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        uint32_t uid = 0, pid = 0;
        r = sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid);
        if (r <= 0) break;
        out.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
    }
    if (r < 0) out.push_back("ListInhibitors failed: " + std::string(error.message ? error.message : "?"));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return out;
}

}  // namespace testsupport
