// A monotonic clock that stands still until advance() moves it, for tests
// of anything timed by the event loop's clock. It starts well past the
// epoch, so no deadline computed from it is ever zero.
#pragma once

#include <chrono>

#include "platform/clock.h"

namespace verimex::test {

class FakeClock final : public platform::Clock {
public:
    time_point now() override { return now_; }
    void advance(std::chrono::milliseconds by) { now_ += by; }

private:
    time_point now_ = time_point{} + std::chrono::hours(1);
};

}  // namespace verimex::test
