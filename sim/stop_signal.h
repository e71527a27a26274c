// Stopping a program on SIGINT or SIGTERM without a handler that runs at an awkward moment:
// the signals are blocked and one thread waits for them.
#pragma once

namespace quillon_sim {

// Blocks SIGINT and SIGTERM in the calling thread; threads started afterwards inherit it.
// Call before starting any thread.
void BlockStopSignals();
// Waits until one of them arrives and returns its number.
int WaitForStopSignal();

}  // namespace quillon_sim
