// quillon-logind-standin: answers for logind on a private bus where the real one does not run.
// Owns org.freedesktop.login1 and serves Manager.Inhibit and Manager.ListInhibitors as logind
// does: an inhibitor lasts while any copy of the descriptor Inhibit returned stays open.
// Usage: quillon-logind-standin BUS-ADDRESS LOG-FILE
// The log gets "ready", then "inhibit WHAT|WHO|WHY|MODE" per call and "released WHO" when the
// caller's descriptor is closed. Ends on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Inhibitor {
    std::string what, who, why, mode;
    int readEnd = -1;  // hangs up once the caller's write end is closed everywhere
};

std::vector<Inhibitor> g_inhibitors;
FILE* g_log = nullptr;
volatile sig_atomic_t g_stop = 0;

void Log(const std::string& line) {
    std::fprintf(g_log, "%s\n", line.c_str());
    std::fflush(g_log);
}

// Drops the inhibitors whose descriptor was closed.
void Reap() {
    for (auto it = g_inhibitors.begin(); it != g_inhibitors.end();) {
        pollfd p{it->readEnd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            Log("released " + it->who);
            ::close(it->readEnd);
            it = g_inhibitors.erase(it);
        } else {
            ++it;
        }
    }
}

int Inhibit(sd_bus_message* m, void*, sd_bus_error* error) {
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    if (r < 0) return r;
    const std::string modeText = mode;
    if (modeText != "block" && modeText != "delay")
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Invalid inhibit mode");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -errno;
    g_inhibitors.push_back(Inhibitor{what, who, why, modeText, fds[0]});
    Log("inhibit " + std::string(what) + "|" + who + "|" + why + "|" + modeText);
    r = sd_bus_reply_method_return(m, "h", fds[1]);
    ::close(fds[1]);
    return r;
}

int ListInhibitors(sd_bus_message* m, void*, sd_bus_error*) {
    Reap();
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r < 0) return r;
    r = sd_bus_message_open_container(reply, 'a', "(ssssuu)");
    for (const Inhibitor& i : g_inhibitors)
        if (r >= 0)
            r = sd_bus_message_append(reply, "(ssssuu)", i.what.c_str(), i.who.c_str(), i.why.c_str(), i.mode.c_str(),
                                      0u, 0u);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListInhibitors", "", "a(ssssuu)", ListInhibitors, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillon-logind-standin BUS-ADDRESS LOG-FILE\n");
        return 2;
    }
    g_log = std::fopen(argv[2], "a");
    if (!g_log) return 1;
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop = 1; };
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, argv[1]);
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     kManager, nullptr);
    if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.login1", 0);
    if (r < 0) {
        std::fprintf(stderr, "quillon-logind-standin: %s\n", std::strerror(-r));
        return 1;
    }
    Log("ready");
    while (!g_stop) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        Reap();
        // The bus, and a short beat for descriptors that close meanwhile.
        pollfd p{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
        ::poll(&p, 1, 20);
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
