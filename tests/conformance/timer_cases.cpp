// The loop's periodic timer (platform/event_loop.h) against a clock the case
// moves itself (its ticks in real time: the socket cases' waits).
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
// Each row a script against a clock that moves only when told: 'I' sets the
// period, 'A' lets time pass unseen, 'P' lets it pass and makes one pass,
// '+'/'-' switches on/off; after every step the deliveries so far
// (each one's `elapsed`) are compared.
TEST(TimerSeam, RulesOfTheSchedule)
{
    struct Step {
        char op;
        int ms;
        std::vector<std::int64_t> calls;
    };
    const struct {
        const char* rule;
        std::vector<Step> steps;
    } schedules[] = {
        {"first tick one full period after the start", {{'I', 300, {}}, {'P', 299, {}}, {'P', 1, {1}}}},
        {"periods passed without a yield come in one call with their count, in phase, nothing twice",
         {{'I', 100, {}}, {'P', 450, {4}}, {'P', 49, {4}}, {'P', 1, {4, 1}}, {'P', 0, {4, 1}}}},
        {"setting the period drops overdue ticks and restarts",
         {{'I', 50, {}}, {'A', 300, {}}, {'I', 400, {}}, {'P', 399, {}}, {'P', 1, {1}}}},
        {"switching on a running timer does not restart it; a stopped one restarts, dropping what fell due",
         {{'I', 200, {}}, {'A', 120, {}}, {'+', 0, {}}, {'P', 80, {1}}, {'-', 0, {1}}, {'P', 250, {1}},
          {'+', 0, {1}}, {'P', 199, {1}}, {'P', 1, {1, 1}}}},
    };
    verimex::test::FakeClock clock;
    const std::unique_ptr<EventLoop> loop = make_event_loop(clock);
    EXPECT_THROW(loop->make_timer([](std::int64_t) {})->Interval(-1ms), std::invalid_argument);
    for (const auto& s : schedules) {
        SCOPED_TRACE(s.rule);
        std::vector<std::int64_t> calls;
        const std::unique_ptr<Timer> timer =
            loop->make_timer([&calls](std::int64_t elapsed) { calls.push_back(elapsed); });
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const Step& step = s.steps[i];
            clock.advance(std::chrono::milliseconds(step.op == 'A' || step.op == 'P' ? step.ms : 0));
            if (step.op == 'P')
                loop->yield();
            else if (step.op == 'I')
                timer->Interval(std::chrono::milliseconds(step.ms));
            else if (step.op != 'A')
                timer->Enabled(step.op == '+');
            EXPECT_EQ(calls, step.calls) << "after step " << i;
        }
    }
}

// A handler may destroy a timer that falls due in the same pass.
TEST(TimerSeam, HandlerMayDestroyATimerDueInTheSamePass)
{
    verimex::test::FakeClock clock;
    const std::unique_ptr<EventLoop> loop = make_event_loop(clock);
    std::unique_ptr<Timer> timer = loop->make_timer([](std::int64_t) {});
    timer->Interval(20ms);
    const std::unique_ptr<Timer> other = loop->make_timer([&](std::int64_t) { timer.reset(); });
    other->Interval(10ms);
    clock.advance(100ms);
    EXPECT_NO_THROW(loop->yield());
    EXPECT_EQ(timer, nullptr);
}

}  // namespace

}  // namespace seam
