// What verimex-check needs from the process's surroundings: writing to and
// leaving through the standard streams, whether a stream is a terminal, and
// catching Ctrl-C (SIGINT) and SIGTERM so a run can stop cleanly. The
// library installs no signal handler of its own; a host program like this
// one decides.
#pragma once

#include <cstdio>
#include <string>


namespace verimex_check {

// Writes text to stream as it is, without a format string. A write to
// standard output that fails is noted for output_error().
void put(std::FILE* stream, const std::string& text);

// std::fflush, noting a failure on standard output as put() does.
void flush(std::FILE* stream);

// The error number of the first write to standard output that failed (a
// full disk, a pipe whose reader has gone), 0 while none has.
int output_error();

// Flushes standard output; when any write to it has failed, says so on
// standard error and returns true: the results are not all where the user
// sent them, and exit status 0 or 1 would say they were.
bool output_lost();

// A reader of the output that goes away (a pipe into head) makes a write
// fail with EPIPE, which output_lost() reports, instead of ending the
// process by SIGPIPE without a word.
void ignore_broken_pipe();

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
