// The loop's periodic timer (platform/event_loop.h), in real time: the
// cases allow for a busy machine by bounding counts from both sides by the
// time that really passed, never by a fixed figure alone.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "seam.h"

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

TEST_F(TimerSeam, FirstTickFallsDueOneFullPeriodAfterTheStart)
{
    // Read before the start, so the start is not later than it.
    const auto start = Steady::now();
    timer->Interval(300ms);
    while (ticks == 0 && Steady::now() - start < 5s)
        loop->yield();
    EXPECT_EQ(ticks, 1);
    EXPECT_GE(Steady::now() - start, 300ms);
}

TEST_F(TimerSeam, PeriodsThatPassWithoutAYieldAreAllCounted)
{
    const auto start = Steady::now();
    timer->Interval(100ms);
    std::this_thread::sleep_for(450ms);
    loop->yield();
    const auto elapsed = Steady::now() - start;
    EXPECT_GE(ticks, 4) << "periods that passed meanwhile went uncounted";
    EXPECT_LE(ticks, elapsed / 100ms);
}

TEST_F(TimerSeam, OverduePeriodsArriveInOneCallWithTheirCount)
{
    std::vector<std::int64_t> calls;
    std::unique_ptr<Timer> counted = loop->make_timer([&](std::int64_t elapsed) { calls.push_back(elapsed); });
    const auto start = Steady::now();
    counted->Interval(20ms);
    std::this_thread::sleep_for(210ms);  // ten periods and a bit without a pass
    loop->yield();
    const auto elapsed = Steady::now() - start;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_GE(calls[0], 10);
    EXPECT_LE(calls[0], elapsed / 20ms);
}

TEST_F(TimerSeam, SettingThePeriodDropsOverdueTicksAndRestarts)
{
    timer->Interval(50ms);
    std::this_thread::sleep_for(300ms);
    // Overdue under the old period; the new one starts from now.
    const auto restarted = Steady::now();
    timer->Interval(400ms);
    pump_for(200ms);
    EXPECT_EQ(ticks, 0) << "ticks overdue under the old period were delivered";
    while (ticks == 0 && Steady::now() - restarted < 5s)
        loop->yield();
    EXPECT_GE(Steady::now() - restarted, 400ms);
}

TEST_F(TimerSeam, SwitchingOnRestartsOnlyAStoppedTimer)
{
    const auto start = Steady::now();
    timer->Interval(200ms);
    std::this_thread::sleep_for(120ms);
    // Already on: changes nothing, the first tick stays due at 200 ms.
    timer->Enabled(true);
    while (ticks == 0 && Steady::now() - start < 5s)
        loop->yield();
    EXPECT_LT(Steady::now() - start, 310ms) << "switching on a running timer restarted it";

    timer->Enabled(false);
    std::this_thread::sleep_for(250ms);
    const std::int64_t before = ticks;
    const auto restarted = Steady::now();
    timer->Enabled(true);
    pump_for(100ms);
    EXPECT_EQ(ticks, before) << "ticks due while stopped were delivered";
    while (ticks == before && Steady::now() - restarted < 5s)
        loop->yield();
    EXPECT_GE(Steady::now() - restarted, 200ms);
}

TEST_F(TimerSeam, HandlerMayDestroyATimerDueInTheSamePass)
{
    timer->Interval(20ms);
    std::unique_ptr<Timer> other = loop->make_timer([&](std::int64_t) { timer.reset(); });
    other->Interval(10ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_NO_THROW(loop->yield());
    EXPECT_EQ(timer, nullptr);
    EXPECT_NO_THROW(pump_for(50ms));
}

}  // namespace

}  // namespace seam
