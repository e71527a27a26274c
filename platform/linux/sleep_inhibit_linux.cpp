// Sleep and shutdown blocked through logind: Manager.Inhibit on the system bus returns a file
// descriptor, and the block lasts until every copy of it is closed (also when the process dies).
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

#include "platform/sleep_inhibit.h"

namespace platform {
namespace {

// A logind that does not answer must not hold up the update for sd-bus's default 25 s.
constexpr uint64_t kCallTimeoutUs = 5'000'000;

class LogindInhibit : public SleepInhibit {
public:
    LogindInhibit(const std::string& who, const std::string& why) {
        sd_bus* bus = nullptr;
        int r = sd_bus_open_system(&bus);
        if (r < 0) {
            m_note = std::string("sleep and shutdown not inhibited: no system bus (") + std::strerror(-r) + ")";
            return;
        }
        sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
        sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
        sd_bus_message* reply = nullptr;
        r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", "sleep:shutdown",
                               who.c_str(), why.c_str(), "block");
        if (r < 0) {
            m_note = std::string("sleep and shutdown not inhibited: logind did not take the block (") +
                     (error.message ? error.message : std::strerror(-r)) + ")";
        } else {
            int fd = -1;
            // The descriptor belongs to the reply; keep a copy of our own.
            if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) m_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            m_note = m_fd >= 0 ? "sleep and shutdown inhibited by logind"
                               : "sleep and shutdown not inhibited: logind's reply carried no descriptor";
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
    }
    ~LogindInhibit() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    LogindInhibit(const LogindInhibit&) = delete;
    LogindInhibit& operator=(const LogindInhibit&) = delete;

    bool Held() const override { return m_fd >= 0; }
    std::string Note() const override { return m_note; }

private:
    int m_fd = -1;
    std::string m_note;
};

}  // namespace

std::unique_ptr<SleepInhibit> InhibitSleepAndShutdown(const std::string& who, const std::string& why) {
    return std::make_unique<LogindInhibit>(who, why);
}

}  // namespace platform
