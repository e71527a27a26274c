// A private D-Bus daemon in a test's folder, standing in for the system bus, with the stand-in
// logind (quillon-logind-standin) on it unless asked otherwise. Programs reach it through
// DBUS_SYSTEM_BUS_ADDRESS.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class PrivateSystemBus {
public:
    // Starts the bus in dir (and logind on it when withLogind). Started() tells whether it came up.
    PrivateSystemBus(const std::string& dir, bool withLogind);
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    bool Started() const { return m_started; }
    const std::string& Address() const { return m_address; }
    // What went wrong while starting, for the test's failure message.
    const std::string& Problem() const { return m_problem; }
    // The stand-in logind's log: "ready", "inhibit WHAT|WHO|WHY|MODE", "released WHO".
    std::vector<std::string> LogindLog() const;
    // Waits up to ms of real time until the log has a line equal to line.
    bool WaitForLogLine(const std::string& line, int ms) const;
    // The inhibitors logind holds now, as "WHAT|WHO|WHY|MODE" (ListInhibitors over the bus).
    std::vector<std::string> Inhibitors() const;

private:
    std::string m_dir;
    std::string m_address;
    std::string m_problem;
    pid_t m_daemon = -1;
    pid_t m_logind = -1;
    bool m_started = false;
};

}  // namespace testsupport
