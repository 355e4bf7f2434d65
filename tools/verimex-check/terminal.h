// What verimex-check needs from the process's surroundings beyond plain
// output: whether a stream is a terminal, and catching Ctrl-C (SIGINT) and
// SIGTERM so a run can stop cleanly. The library installs no signal
// handler of its own; a host program like this one decides.
#pragma once

#include <cstdio>

namespace verimex_check {

bool is_terminal(std::FILE* stream);

// Installs handlers that only note the signal. Call once, from the thread
// that watches interrupt_signal(); the other threads call
// keep_interrupts_away() first thing, so the handler runs on the watching
// thread, and their system calls are never cut short by it.
void catch_interrupts();
void keep_interrupts_away() noexcept;

// The number of the first interrupting signal caught, 0 while there was
// none.
int interrupt_signal();

}  // namespace verimex_check
