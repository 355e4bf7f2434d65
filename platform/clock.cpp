#include "platform/clock.h"

namespace verimex::platform {

namespace {

class SteadyClock final : public Clock {
public:
    time_point now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

Clock& system_clock()
{
    static SteadyClock clock;
    return clock;
}

}  // namespace verimex::platform
