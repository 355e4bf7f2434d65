// The watchdog on the thread's host window: tick counting against an
// injected clock, the checktime query, and one window per thread.
#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>

#include "support/golden.h"
#include "platform/clock.h"
#include "verimex/quoverimex.h"
#include "support/fake_clock.h"
#include "watchdog/form1.h"

namespace {

using namespace std::chrono_literals;
using verimex::Form1;
using verimex::quoverimex;
namespace golden = verimex::golden;

using verimex::test::FakeClock;

// Puts a window on the fake clock in place for the test's thread.
class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = Form1::replace(std::make_unique<Form1>(clock_)); }
    void TearDown() override { Form1::replace(std::move(previous_)); }

    Form1& form() { return Form1::current(); }
    // Lets time pass, then yields once.
    void pass(std::chrono::milliseconds d)
    {
        clock_.advance(d);
        form().yield();
    }
    void run_out(std::int16_t timeout)
    {
        form().startwatch(timeout);
        pass(std::chrono::milliseconds(timeout * 1100));
        ASSERT_TRUE(form().timer);
    }

    FakeClock clock_;
    std::unique_ptr<Form1> previous_;
};

TEST_F(WatchdogTest, TimeoutOneTicksEveryTenthOfASecondAndRisesOnTheEleventhTick)
{
    form().startwatch(1);
    EXPECT_EQ(form().timer1().Interval(), 100ms);
    pass(99ms);
    EXPECT_EQ(form().tick_count(), 0);
    pass(1ms);
    EXPECT_EQ(form().tick_count(), 1);
    for (int i = 0; i < 9; ++i)
        pass(100ms);
    EXPECT_EQ(form().tick_count(), 10);
    EXPECT_FALSE(form().timer) << "the tenth tick must not raise the flag";
    pass(100ms);
    EXPECT_EQ(form().tick_count(), 11);
    EXPECT_TRUE(form().timer);
}

TEST_F(WatchdogTest, LargestTimeoutGivesAMinutePeriod)
{
    form().startwatch(600);
    EXPECT_EQ(form().timer1().Interval(), 60'000ms);
    pass(600'000ms);
    EXPECT_FALSE(form().timer);
    pass(60'000ms);
    EXPECT_TRUE(form().timer);
}

TEST_F(WatchdogTest, PeriodsPassedWithoutYieldingAreEachCounted)
{
    form().startwatch(1);
    pass(1150ms);  // one long blocking step, then a single yield
    EXPECT_EQ(form().tick_count(), 11);
    EXPECT_TRUE(form().timer);
    pass(50ms);  // the schedule kept its phase: due at 1200 ms
    EXPECT_EQ(form().tick_count(), 12);
    // A hundred years of periods, more than an int holds, in one delivery:
    // one handler call per period would far outlast the case's time limit.
    constexpr std::int64_t periods = std::int64_t{36525} * 24 * 3600 * 10;
    pass(std::chrono::milliseconds(periods * 100));
    EXPECT_EQ(form().tick_count(), 12 + periods);
}

TEST_F(WatchdogTest, TimerKeepsTickingOnceTheFlagIsUp)
{
    run_out(1);
    pass(300ms);
    EXPECT_EQ(form().tick_count(), 14);
    EXPECT_TRUE(form().timer);
}

TEST_F(WatchdogTest, RestartClearsFlagAndCountAndDropsOverdueTicks)
{
    run_out(1);
    clock_.advance(550ms);  // overdue ticks under the old start
    form().startwatch(2);
    EXPECT_FALSE(form().timer);
    EXPECT_EQ(form().tick_count(), 0);
    pass(199ms);
    EXPECT_EQ(form().tick_count(), 0);
    pass(1ms);
    EXPECT_EQ(form().tick_count(), 1);
}

TEST_F(WatchdogTest, NegativeTimeoutIsRefusedAndChangesNothing)
{
    run_out(1);
    EXPECT_THROW(form().startwatch(-1), std::invalid_argument);
    EXPECT_TRUE(form().timer);
    EXPECT_THROW(form().timer1().Interval(-1ms), std::invalid_argument);
}

TEST_F(WatchdogTest, CheckWithNegativeTimeoutFailsBeforeWritingAnything)
{
    quoverimex q;
    q.email("someone@two.test");
    q.timeout(-5);
    q.returnvar("untouched");
    q.smtp("earlier\r\n");
    EXPECT_THROW(q.check(), std::invalid_argument);
    EXPECT_EQ(q.returnvar(), "untouched");
    EXPECT_EQ(q.smtp(), "earlier\r\n");
    EXPECT_EQ(q.nslookup(), "");
    EXPECT_EQ(q.timeout(), -5);
}

TEST_F(WatchdogTest, ChecktimeLeavesReturnvarAloneUntilTheFlagRises)
{
    quoverimex q;
    q.timeout(1);
    q.returnvar("keep");
    form().startwatch(1);
    pass(1000ms);
    EXPECT_FALSE(q.checktime());
    EXPECT_EQ(q.returnvar(), "keep");
}

TEST_F(WatchdogTest, ChecktimeReadsTheFlagThenYields)
{
    quoverimex q;
    q.timeout(1);
    form().startwatch(1);
    clock_.advance(1100ms);
    // The eleventh tick is due but not delivered: this query still says no,
    // and its own yield delivers it.
    EXPECT_FALSE(q.checktime());
    EXPECT_TRUE(form().timer);
    EXPECT_TRUE(q.checktime());
    EXPECT_EQ(q.returnvar(), golden::timed_out(1));
}

TEST_F(WatchdogTest, ChecktimeRewritesTheTextWithTheCurrentTimeout)
{
    quoverimex q;
    q.timeout(1);
    run_out(1);
    EXPECT_TRUE(q.checktime());
    EXPECT_EQ(q.returnvar(), golden::timed_out(1));
    q.timeout(120);
    q.returnvar("overwritten by the host");
    EXPECT_TRUE(q.checktime());
    EXPECT_EQ(q.returnvar(), golden::timed_out(120));
}

// ---- one window per thread ----

TEST(HostWindow, EachThreadHasItsOwnAndKeepsIt)
{
    Form1* here = &Form1::current();
    EXPECT_EQ(here, &Form1::current());
    {
        quoverimex q;  // objects come and go; the window stays
        q.checktime();
    }
    EXPECT_EQ(here, &Form1::current());
    Form1* there = nullptr;
    std::thread([&] { there = &Form1::current(); }).join();
    EXPECT_NE(there, here);
}

TEST(HostWindow, AnObjectUsesTheWindowOfTheThreadItIsCalledOn)
{
    quoverimex q;
    q.timeout(1);
    Form1::current().timer = true;
    EXPECT_TRUE(q.checktime());
    bool elsewhere = true;
    std::thread([&] { elsewhere = q.checktime(); }).join();
    EXPECT_FALSE(elsewhere);
    Form1::current().startwatch(1);  // leave this thread's window clean
}

// ---- real time ----

// How long the host's own checktime loop waits for the flag.
std::chrono::steady_clock::duration time_to_flag(std::int16_t timeout)
{
    quoverimex q;
    q.timeout(timeout);
    Form1::current().startwatch(timeout);
    const auto start = std::chrono::steady_clock::now();
    while (!q.checktime()) {
    }
    return std::chrono::steady_clock::now() - start;
}

TEST(WatchdogRealTime, FlagRisesAfterElevenPeriods)
{
    const auto took = time_to_flag(1);
    EXPECT_GE(took, 1100ms);
    EXPECT_LE(took, 1500ms);
}

TEST(WatchdogRealTime, TwoThreadsAtOnceHaveTheirOwnTimers)
{
    std::latch ready(2);
    std::chrono::steady_clock::duration took[2]{};
    Form1* windows[2]{};
    auto run = [&](int i, std::int16_t timeout) {
        windows[i] = &Form1::current();
        ready.arrive_and_wait();
        took[i] = time_to_flag(timeout);
    };
    std::thread one(run, 0, 1);
    std::thread two(run, 1, 2);
    one.join();
    two.join();
    EXPECT_NE(windows[0], windows[1]);
    EXPECT_GE(took[0], 1100ms);
    EXPECT_LE(took[0], 1800ms);
    EXPECT_GE(took[1], 2200ms) << "the other thread's timer must not count here";
    EXPECT_LE(took[1], 3000ms);
}

}  // namespace
