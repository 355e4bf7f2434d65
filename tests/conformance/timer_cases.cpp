// The loop's periodic timer (platform/event_loop.h): delivery in real time,
// where counts are bounded from both sides by the time that really passed,
// and the schedule's rules against a clock the case moves itself.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "seam.h"
#include "support/fake_clock.h"

namespace seam {

namespace {

using namespace verimex::platform;
using Steady = std::chrono::steady_clock;

class TimerSeam : public ::testing::Test {
protected:
    void pump_for(std::chrono::milliseconds span)
    {
        const auto until = Steady::now() + span;
        while (Steady::now() < until)
            loop->yield();
    }

    NetworkSession network;
    std::unique_ptr<EventLoop> loop = make_event_loop(system_clock());
    std::int64_t ticks = 0;
    std::unique_ptr<Timer> timer = loop->make_timer([this](std::int64_t elapsed) { ticks += elapsed; });
};

TEST_F(TimerSeam, NewTimerIsEnabledWithPeriodZeroAndNeverTicks)
{
    EXPECT_EQ(timer->Interval(), 0ms);
    EXPECT_TRUE(timer->Enabled());
    pump_for(200ms);
    EXPECT_EQ(ticks, 0);
}

TEST_F(TimerSeam, NegativePeriodRaisesInvalidArgument)
{
    EXPECT_THROW(timer->Interval(-1ms), std::invalid_argument);
    EXPECT_EQ(timer->Interval(), 0ms);
}

TEST_F(TimerSeam, TicksOncePerPeriodWhileArmed)
{
    const auto start = Steady::now();
    timer->Interval(50ms);
    EXPECT_EQ(timer->Interval(), 50ms);
    pump_for(500ms);
    const auto elapsed = Steady::now() - start;
    EXPECT_GE(ticks, 3) << "ticks went missing";
    EXPECT_LE(ticks, elapsed / 50ms) << "more ticks than periods";

    timer->Enabled(false);
    EXPECT_FALSE(timer->Enabled());
    const std::int64_t stopped_at = ticks;
    pump_for(200ms);
    EXPECT_EQ(ticks, stopped_at) << "a stopped timer ticked";
}

// The schedule itself, against a clock that moves only when told: every
// pass reads the loop's clock, so the cases are exact on both platforms
// however busy the machine is.
class ScheduleSeam : public ::testing::Test {
protected:
    using Calls = std::vector<std::int64_t>;

    // Lets time pass, then makes one pass.
    void pass(std::chrono::milliseconds by)
    {
        clock.advance(by);
        loop->yield();
    }

    verimex::test::FakeClock clock;
    NetworkSession network;
    std::unique_ptr<EventLoop> loop = make_event_loop(clock);
    Calls calls;  // the `elapsed` of every delivery
    std::unique_ptr<Timer> timer = loop->make_timer([this](std::int64_t elapsed) { calls.push_back(elapsed); });
};

TEST_F(ScheduleSeam, FirstTickFallsDueOneFullPeriodAfterTheStart)
{
    timer->Interval(300ms);
    pass(299ms);
    EXPECT_EQ(calls, Calls{});
    pass(1ms);
    EXPECT_EQ(calls, Calls{1});
}

TEST_F(ScheduleSeam, PeriodsThatPassWithoutAYieldArriveInOneCallWithTheirCount)
{
    timer->Interval(100ms);
    pass(450ms);
    EXPECT_EQ(calls, Calls{4});
    pass(49ms);
    EXPECT_EQ(calls, Calls{4});
    pass(1ms);  // 500: still in phase
    EXPECT_EQ(calls, (Calls{4, 1}));
    pass(0ms);
    EXPECT_EQ(calls, (Calls{4, 1})) << "nothing twice";
}

TEST_F(ScheduleSeam, SettingThePeriodDropsOverdueTicksAndRestarts)
{
    timer->Interval(50ms);
    clock.advance(300ms);  // six periods overdue, not delivered
    timer->Interval(400ms);
    EXPECT_EQ(timer->Interval(), 400ms);
    pass(399ms);
    EXPECT_EQ(calls, Calls{}) << "ticks overdue under the old period were delivered";
    pass(1ms);
    EXPECT_EQ(calls, Calls{1});
}

TEST_F(ScheduleSeam, SwitchingOnRestartsOnlyAStoppedTimer)
{
    timer->Interval(200ms);
    clock.advance(120ms);
    // Already on: changes nothing, the first tick stays due at 200 ms.
    timer->Enabled(true);
    pass(80ms);
    EXPECT_EQ(calls, Calls{1}) << "switching on a running timer restarted it";

    timer->Enabled(false);
    EXPECT_FALSE(timer->Enabled());
    pass(250ms);
    EXPECT_EQ(calls, Calls{1}) << "a stopped timer ticked";
    timer->Enabled(true);
    pass(199ms);
    EXPECT_EQ(calls, Calls{1}) << "ticks due while stopped were delivered";
    pass(1ms);
    EXPECT_EQ(calls, (Calls{1, 1}));
}

TEST_F(ScheduleSeam, HandlerMayDestroyATimerDueInTheSamePass)
{
    timer->Interval(20ms);
    std::unique_ptr<Timer> other = loop->make_timer([&](std::int64_t) { timer.reset(); });
    other->Interval(10ms);
    clock.advance(100ms);
    EXPECT_NO_THROW(loop->yield());
    EXPECT_EQ(timer, nullptr);
    EXPECT_NO_THROW(pass(50ms));
}

}  // namespace

}  // namespace seam
