// What a verimex::cancellation holds: a flag for quick looks and an eventfd
// every wait of the engine polls beside its own descriptor, so a stop
// request ends all of them at once, on any number of threads.
#pragma once

#include <atomic>

#include <verimex/verify.h>

#include "platform/posix/fd.h"

namespace verimex {

struct cancellation::impl {
    // Readable from the first request on, and never drained: every poll
    // that includes it, now or later, returns at once.
    platform::posix::Fd event;
    std::atomic<bool> flag{false};
};

}  // namespace verimex
