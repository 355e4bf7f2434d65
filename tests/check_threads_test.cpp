// The check-thread engine of the hosting library, with checks of the
// test's own: how many run at once, a stop that cancels and joins, the
// queued work given back, the bounded queue, and the threads a shortage of
// descriptors costs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "verimex/hosting/check_threads.h"

namespace {

using verimex::hosting::CheckThreads;
using namespace std::chrono_literals;

verimex::report ok(const std::string& address)
{
    verimex::report r;
    r.address = address;
    r.returnvar = "000";
    r.verified = true;
    return r;
}

CheckThreads::Task task(std::uint64_t id)
{
    CheckThreads::Task t;
    t.address = "a" + std::to_string(id) + "@x.test";
    t.id = id;
    return t;
}

// What came back, from any thread.
struct Returned {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::uint64_t, verimex::report>> results;

    CheckThreads::Done done()
    {
        return [this](CheckThreads::Task&& t, verimex::report&& r) {
            std::lock_guard lock(mutex);
            results.emplace_back(t.id, std::move(r));
            changed.notify_all();
        };
    }
    bool wait_for(std::size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return results.size() >= count; });
    }
};

// A check that runs until its cancellation is requested, or 30 s.
struct Hanging {
    std::atomic<int> started{0}, running{0};
    verimex::report operator()(const std::string& address, const verimex::options& opts)
    {
        ++started;
        ++running;
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < until && !(opts.cancel && opts.cancel->requested()))
            std::this_thread::sleep_for(1ms);
        --running;
        return ok(address);
    }
};

bool eventually(const std::function<bool()>& condition)
{
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(CheckThreads, RunsAsManyAtOnceAsItHasThreadsAndStartsThemAsWorkAsks)
{
    std::mutex mutex;
    std::set<std::thread::id> threads;
    int under_way = 0, most = 0;
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 3;
    CheckThreads engine(
        [&](const std::string& address, const verimex::options&) {
            {
                std::lock_guard lock(mutex);
                threads.insert(std::this_thread::get_id());
                most = std::max(most, ++under_way);
            }
            std::this_thread::sleep_for(5ms);
            std::lock_guard lock(mutex);
            --under_way;
            return ok(address);
        },
        back.done(), settings);
    EXPECT_EQ(engine.threads(), 0u) << "no work, no thread";
    engine.submit(task(0));
    ASSERT_TRUE(back.wait_for(1));
    EXPECT_EQ(engine.threads(), 1u);
    for (std::uint64_t i = 1; i <= 30; ++i)
        engine.submit(task(i));
    ASSERT_TRUE(back.wait_for(31));
    EXPECT_EQ(most, 3);
    EXPECT_EQ(threads.size(), 3u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    std::set<std::uint64_t> ids;
    for (const auto& [id, r] : back.results) {
        ids.insert(id);
        EXPECT_FALSE(r.cancelled);
    }
    EXPECT_EQ(ids.size(), 31u);
}

// Starts are spaced, except those of tasks that say they need not wait
// (they share the lookups of one that did): with 3 s between starts, the
// unspaced ones run at once beside the first, the next spaced one later.
TEST(CheckThreads, OnlySpacedTasksWaitTheirTurnToStart)
{
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 4;
    settings.start_all = true;
    settings.start_spacing = 3s;
    CheckThreads engine([](const std::string& address, const verimex::options&) { return ok(address); },
                        back.done(), settings);
    const auto started = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < 4; ++i) {
        CheckThreads::Task t = task(i);
        t.spaced = i == 0 || i == 3;
        engine.submit(std::move(t));
    }
    ASSERT_TRUE(back.wait_for(3));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    {
        std::lock_guard lock(back.mutex);
        std::set<std::uint64_t> ids;
        for (const auto& result : back.results)
            ids.insert(result.first);
        EXPECT_EQ(ids, (std::set<std::uint64_t>{0, 1, 2}));
    }
    ASSERT_TRUE(back.wait_for(4));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 2s);
}

// start_first threads at construction; more start, up to the limit, as
// tasks find none idle, and none beyond what the tasks need.
TEST(CheckThreads, StartsFirstOnlyTheThreadsAskedForAndGrowsAsWorkComes)
{
    Hanging hanging;
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 8;
    settings.start_all = true;
    settings.start_first = 2;
    CheckThreads engine(std::ref(hanging), back.done(), settings);
    EXPECT_EQ(engine.threads(), 2u);
    for (std::uint64_t i = 0; i < 5; ++i)
        engine.submit(task(i));
    ASSERT_TRUE(eventually([&] { return hanging.running.load() == 5; }));
    EXPECT_EQ(engine.threads(), 5u);
    engine.stop(true);
    engine.join();
}

TEST(CheckThreads, StopCancelsTheChecksInFlightGivesTheQueuedBackAndJoinsPromptly)
{
    Hanging hanging;
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 2;
    CheckThreads engine(std::ref(hanging), back.done(), settings);
    for (std::uint64_t i = 0; i < 5; ++i)
        engine.submit(task(i));
    ASSERT_TRUE(eventually([&] { return hanging.started == 2; }));
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<CheckThreads::Task> left = engine.stop();
    engine.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_EQ(hanging.running.load(), 0);
    EXPECT_EQ(engine.threads(), 0u);
    // The three that never started come back as they were; the two in
    // flight come back cancelled, results a host must not keep.
    std::vector<std::uint64_t> ids;
    for (const CheckThreads::Task& t : left)
        ids.push_back(t.id);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{2, 3, 4}));
    ASSERT_EQ(back.results.size(), 2u);
    for (const auto& [id, r] : back.results)
        EXPECT_TRUE(r.cancelled) << id;
    EXPECT_EQ(engine.submit(task(9)), CheckThreads::Taken::stopping);
    EXPECT_EQ(hanging.started.load(), 2);
}

TEST(CheckThreads, AStopThatLetsChecksFinishWaitsForTheirResults)
{
    std::atomic<bool> release{false};
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 1;
    settings.start_all = true;
    CheckThreads engine(
        [&](const std::string& address, const verimex::options&) {
            while (!release)
                std::this_thread::sleep_for(1ms);
            return ok(address);
        },
        back.done(), settings);
    engine.submit(task(0));
    engine.submit(task(1));
    ASSERT_TRUE(eventually([&] { return engine.running() == 1; }));
    EXPECT_EQ(engine.stop(false).size(), 1u);
    release = true;
    engine.join();
    ASSERT_EQ(back.results.size(), 1u);
    EXPECT_FALSE(back.results[0].second.cancelled);
    EXPECT_TRUE(back.results[0].second.verified);
}

TEST(CheckThreads, TheQueueLimitCountsOnlyWhatWaitsBeyondTheIdleThreads)
{
    Hanging hanging;
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 2;
    settings.start_all = true;
    CheckThreads engine(std::ref(hanging), back.done(), settings);
    ASSERT_TRUE(eventually([&] { return engine.idle() == 2; }));
    // Two threads idle: two tasks go straight to them, one more may wait.
    EXPECT_EQ(engine.submit(task(0), false, 1), CheckThreads::Taken::yes);
    EXPECT_EQ(engine.submit(task(1), false, 1), CheckThreads::Taken::yes);
    ASSERT_TRUE(eventually([&] { return hanging.started == 2; }));
    EXPECT_EQ(engine.submit(task(2), false, 1), CheckThreads::Taken::yes);
    EXPECT_EQ(engine.submit(task(3), false, 1), CheckThreads::Taken::queue_full);
    EXPECT_EQ(engine.queued(), 1u);
    // An urgent task goes first in line.
    EXPECT_EQ(engine.submit(task(4), true), CheckThreads::Taken::yes);
    const std::vector<CheckThreads::Task> left = engine.stop();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].id, 4u);
    EXPECT_EQ(left[1].id, 2u);
}

TEST(CheckThreads, AChecksShortageOfDescriptorsCostsItsThreadButNeverTheLast)
{
    std::atomic<int> calls{0};
    Returned back;
    CheckThreads::Settings settings;
    settings.threads = 3;
    settings.start_all = true;
    CheckThreads engine(
        [&](const std::string& address, const verimex::options&) {
            verimex::report r = ok(address);
            r.unusable = ++calls <= 3;
            return r;
        },
        back.done(), settings);
    for (std::uint64_t i = 0; i < 3; ++i)
        engine.submit(task(i));
    ASSERT_TRUE(back.wait_for(3));
    EXPECT_EQ(engine.limit(), 1u);
    ASSERT_TRUE(eventually([&] { return engine.threads() == 1; }));
    // The one left takes the work given back, and no more threads start.
    for (std::uint64_t i = 0; i < 3; ++i)
        engine.submit(task(i), true);
    ASSERT_TRUE(back.wait_for(6));
    EXPECT_EQ(engine.threads(), 1u);
    for (std::size_t i = 3; i < 6; ++i)
        EXPECT_FALSE(back.results[i].second.unusable);
}

TEST(CheckThreads, AThrowingCheckBecomesTheReportsError)
{
    Returned back;
    CheckThreads engine([](const std::string&, const verimex::options&) -> verimex::report {
        throw std::runtime_error("socket: no buffer space");
    }, back.done(), {});
    engine.submit(task(7));
    ASSERT_TRUE(back.wait_for(1));
    EXPECT_EQ(back.results[0].second.address, "a7@x.test");
    EXPECT_EQ(back.results[0].second.error, "socket: no buffer space");
    EXPECT_FALSE(back.results[0].second.verified);
}

// A group goes to one call of the check for many, on one thread, with its
// tasks back one by one in order; a check for many that throws, or gives
// the wrong number of reports, leaves every address of the group with the
// error rather than without a result; and a stop gives back every task of
// a queued group.
TEST(CheckThreads, AGroupIsOneCallAndEveryTaskOfItComesBack)
{
    struct Case {
        const char* name;
        std::function<std::vector<verimex::report>(std::span<const std::string>)> many;
        std::string error;  // of every report; empty: the call's own reports
    };
    const std::vector<Case> cases = {
        {"shared", [](std::span<const std::string> a) {
             std::vector<verimex::report> out;
             for (const std::string& one : a)
                 out.push_back(ok(one));
             return out;
         }, ""},
        {"throws", [](std::span<const std::string>) -> std::vector<verimex::report> {
             throw std::runtime_error("poll: interrupted");
         }, "poll: interrupted"},
        {"short", [](std::span<const std::string> a) { return std::vector<verimex::report>{ok(a[0])}; },
         "the check gave 1 results for 3 addresses"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Returned back;
        std::atomic<int> calls{0}, singles{0};
        CheckThreads::Settings settings;
        settings.threads = 2;
        settings.check_many = [&](std::span<const std::string> a, const verimex::options&) {
            ++calls;
            return c.many(a);
        };
        CheckThreads engine([&](const std::string& address, const verimex::options&) {
            ++singles;
            return ok(address);
        }, back.done(), settings);
        engine.submit_group({task(1), task(2), task(3)});
        engine.submit(task(4));
        ASSERT_TRUE(back.wait_for(4));
        engine.stop();
        engine.join();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_EQ(singles.load(), 1) << "a task of its own is checked alone";
        std::vector<std::uint64_t> group_order;
        for (const auto& [id, r] : back.results) {
            EXPECT_EQ(r.address, task(id).address);
            if (id == 4)
                continue;
            group_order.push_back(id);
            EXPECT_EQ(r.error, c.error);
            EXPECT_EQ(r.verified, c.error.empty());
        }
        EXPECT_EQ(group_order, (std::vector<std::uint64_t>{1, 2, 3}));
    }

    // Queued behind a check that hangs, a group's tasks all come back on a
    // stop.
    Hanging hanging;
    Returned back;
    CheckThreads engine(std::ref(hanging), back.done(), {});
    engine.submit(task(1));
    ASSERT_TRUE(eventually([&] { return hanging.started == 1; }));
    engine.submit_group({task(2), task(3)});
    const std::vector<CheckThreads::Task> left = engine.stop();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].id, 2u);
    EXPECT_EQ(left[1].id, 3u);
}

}  // namespace
