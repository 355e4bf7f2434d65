// A wall clock for the job stores that stands still until advance() moves
// it, so lease, retry and interval tests need no sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "verimex/hosting/clock.h"

namespace verimex::test {

class FakeWallClock final : public hosting::Clock {
public:
    std::int64_t now() override { return now_.load(); }
    void advance(std::chrono::milliseconds by) { now_ += by.count(); }

private:
    // A fixed day well after the epoch: 2025-12-10.
    std::atomic<std::int64_t> now_{1'765'324'800'000};
};

}  // namespace verimex::test
