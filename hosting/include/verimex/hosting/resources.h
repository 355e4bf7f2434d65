// What a run of many checks at once asks of the process: file descriptors
// and threads. verimex-check takes what the system allows, says so when
// that is fewer than asked, and goes on with what it has.
#pragma once

#include <cstddef>
#include <string>

namespace verimex::hosting {

// Descriptors one check in flight holds at most at once: the lookup pipe's
// two ends and the lookup child's process descriptor while the helper
// starts; later its connection and the resolver's socket, with that
// process descriptor until the child is reaped.
inline constexpr std::size_t descriptors_per_check = 3;
// Kept for everything else: standard streams, the library's own, slack.
inline constexpr std::size_t descriptors_reserved = 64;

// The stack of each worker thread. A check needs a few tens of KiB (its
// deepest frames are the socket's 16 KiB read buffer and c-ares); the
// default 8 MiB would cost nothing resident but address space and
// mappings, which thousands of threads run out of.
inline constexpr std::size_t worker_stack_bytes = 256 * 1024;

// Raises the soft limit on open descriptors to the hard limit, and returns
// the soft limit in force afterwards (0 when it cannot be read).
std::size_t raise_descriptor_limit();

// Descriptors open in this process now.
std::size_t open_descriptors();

// How many checks may run at once with `limit` descriptors of which `open`
// are taken: at least 1, at most `asked`.
unsigned checks_within(std::size_t limit, std::size_t open, unsigned asked);

// Threads started from now on (std::thread included) get small stacks.
// Builds with a sanitizer keep the default: their run-times need far more.
void use_small_thread_stacks();

// Readies the process for `asked` checks at once (small stacks, every
// descriptor the system allows) and returns how many it can serve. When
// that is fewer, notice (without the program's name) says why;
// otherwise it is left empty. `jobs` is the -j the user gave.
unsigned ready_for_checks(unsigned jobs, unsigned asked, std::string& notice);

}  // namespace verimex::hosting
