// What verimex-check needs from the process's surroundings: writing to and
// leaving through the standard streams, whether a stream is a terminal, and
// catching Ctrl-C (SIGINT) and SIGTERM so a run can stop cleanly. The
// library installs no signal handler of its own; a host program like this
// one decides.
#pragma once

#include <cstdio>
#include <string>


namespace verimex_check {

// Writes text to stream as it is, without a format string.
void put(std::FILE* stream, const std::string& text);

bool is_terminal(std::FILE* stream);

// Installs handlers that only note the signal. Call once, from the thread
// that watches interrupt_signal(); the check threads keep the signals away
// (verimex/hosting/signals.h), so the handler runs on the watching thread,
// and their system calls are never cut short by it.
void catch_interrupts();

// The number of the first interrupting signal caught, 0 while there was
// none.
int interrupt_signal();


}  // namespace verimex_check
