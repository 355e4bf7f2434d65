// The signals that ask a program running many checks to stop (SIGINT and
// SIGTERM), kept away from the threads that run checks, so that a handler
// or a sigwait() sees them on the one thread that watches for them and no
// check's system call is cut short by them.
#pragma once

#include <signal.h>

namespace verimex::hosting {

// SIGINT and SIGTERM.
sigset_t stop_signals();

// Blocks the stop signals on the calling thread. Every thread the check
// engine starts calls it first.
void keep_stop_signals_away() noexcept;

}  // namespace verimex::hosting
