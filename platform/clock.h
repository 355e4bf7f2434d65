// The monotonic clock timer ticks are measured against. Injectable so the
// watchdog can be tested without sleeping.
#pragma once

#include <chrono>

namespace verimex::platform {

class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual time_point now() = 0;
};

// The process-wide steady clock.
Clock& system_clock();

}  // namespace verimex::platform
