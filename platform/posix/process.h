// POSIX-only pieces of the lookup runner that the event loop and the tests
// reach as well.
#pragma once

#include <cstddef>
#include <string>

namespace verimex::platform::posix {

// Reaps lookup children that have ended, without blocking; never touches a
// child that is not ours. Called at every lookup and from the event loop.
// Each thread reaps the children it started (and those of threads that have
// ended), so threads never wait for each other here.
void reap_children();
// How many lookup children have not been reaped yet, all threads' together.
std::size_t unreaped_children();

// The program run for the word "nslookup": the bundled helper beside the
// library (build tree) or in its libexec folder (installed), else empty and
// the word is looked up on PATH. Tests may name another, or "" to force the
// PATH lookup; override_lookup_helper(nullptr) goes back to the search.
std::string lookup_helper();
void override_lookup_helper(const char* path);

}  // namespace verimex::platform::posix
