// SIGINT and SIGTERM end a run cleanly: the handler only notes the signal;
// the run stops at the next check (between generations, and every few
// megabytes of a result file), the file being written is removed by its
// writer, log.txt says which signal stopped the run after which
// generation, and the exit status is 128 + the signal number.
#pragma once
#include <cstdint>

namespace qm {

void install_signal_handlers();
// Remembers the last generation that completed, for the stop message.
void note_generation_done(int stage, int64_t number);
// Stops the run (run_stop carrying the signal) when a signal has arrived.
void stop_if_signalled();
// The signal that stopped the run, or 0.
int pending_signal();

}  // namespace qm
