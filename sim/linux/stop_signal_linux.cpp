// SIGINT and SIGTERM through sigwait(3).
#include <signal.h>

#include "sim/stop_signal.h"

namespace quillon_sim {
namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void BlockStopSignals() {
    // A closed log pipe must not end the program before it has removed its link.
    signal(SIGPIPE, SIG_IGN);
    sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal() {
    sigset_t set = StopSet();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    return sig;
}

}  // namespace quillon_sim
