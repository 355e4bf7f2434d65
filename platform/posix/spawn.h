// Starting the lookup tool as a child process: its standard output on a
// descriptor we hand it, its input and error on /dev/null, nothing else of
// ours, clean signals. How the child gets there is this file's business.
#pragma once

#include <sys/types.h>

#include "platform/posix/fd.h"

namespace verimex::platform::posix {

struct Started {
    pid_t pid = -1;  // the child, when it runs
    Fd pidfd;        // its process descriptor, where the kernel has them
    int error = 0;   // the OS error number when it could not be started
};

// argv[0] with a slash is run as given; a bare word is searched on PATH as
// execvp does (the system's default search list when PATH is unset; no
// shell for a file that is no program). out becomes the child's standard
// output; every other descriptor of this process stays out of the child,
// close-on-exec or not. The child starts with no blocked signals and every
// signal at its default. A start that fails (no such program, not
// executable, out of processes) gives its error and no child; the child of
// a start that got as far as running the program is the caller's to reap.
Started start_program(char* const argv[], int out);

// Whether starts have gone over to copying this process's whole descriptor
// table into each child (and closing it there), which costs time growing
// with the descriptors open. They do only where the kernel cannot hand the
// child a table of its own, or the child cannot reach the pipe through
// /proc (no /proc, or a process that is not dumpable and lacks the right
// to read its own descriptors from outside).
bool starts_copy_descriptors();
// For benches that set the two ways side by side: true makes every later
// start take the copying way, false gives the unshared way its chance
// again (where it cannot work, the next start goes back to copying).
void set_starts_copy_descriptors(bool copy);

}  // namespace verimex::platform::posix
