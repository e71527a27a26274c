// Stopping a program on SIGINT, SIGTERM or SIGHUP without a handler that runs at an awkward moment:
// the signals are blocked and one thread waits for them.
#pragma once

namespace quillon_sim {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (threads started afterwards inherit
// it) and ignores SIGPIPE. Call before starting any thread.
void BlockStopSignals();
// Waits until one of them arrives and returns its number.
int WaitForStopSignal();

}  // namespace quillon_sim
