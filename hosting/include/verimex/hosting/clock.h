// The wall clock the job stores reckon leases, retries and politeness
// intervals by. A store takes one when it is opened; tests hand in one that
// moves only when they say, so nothing in them waits for real time.
#pragma once

#include <chrono>
#include <cstdint>

namespace verimex::hosting {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the Unix epoch.
    virtual std::int64_t now() = 0;
};

// The system's clock.
class SystemClock final : public Clock {
public:
    std::int64_t now() override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace verimex::hosting
