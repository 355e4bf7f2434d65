// verimex-server's pool of store connections, over real SQLite files: its
// bound, the wait and the refusal past it, and what becomes of a connection
// whose lease ends by an exception.
#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "store_pool.h"
#include "support/test_files.h"
#include "verimex/hosting/location.h"

namespace {

using namespace std::chrono_literals;
using verimex_server::StoreBusy;
using verimex_server::StorePool;

verimex::test::TempFolder* const files = verimex::test::add_temp_folder("verimex-store-pool");

class Pool : public ::testing::Test {
protected:
    // Opens the test's SQLite file, counting the openings; fails while fail is set.
    StorePool::Open opener()
    {
        return [this] {
            if (fail)
                throw verimex::hosting::StoreError("cannot open");
            ++opened;
            return verimex::hosting::open_store((files->path() / "pool.sqlite").string());
        };
    }
    std::atomic<int> opened{0};
    std::atomic<bool> fail{false};
};

TEST_F(Pool, OpensUpToItsBoundThenWaitsAndRefuses)
{
    StorePool pool(2, opener(), 300ms);
    EXPECT_EQ(opened, 1);  // the first at once
    std::optional<StorePool::Lease> a(pool.lease());
    std::optional<StorePool::Lease> b(pool.lease());
    EXPECT_NE(&**a, &**b);
    EXPECT_EQ(pool.open(), 2u);

    // Every one lent: refused after the wait, and nothing more is opened.
    const auto began = std::chrono::steady_clock::now();
    EXPECT_THROW(pool.lease(), StoreBusy);
    EXPECT_GE(std::chrono::steady_clock::now() - began, 300ms);
    EXPECT_EQ(opened, 2);

    // One given back within the wait goes to the one waiting.
    auto waiting = std::async(std::launch::async, [&] { return &*pool.lease(); });
    std::this_thread::sleep_for(50ms);
    verimex::hosting::Store* const returned = &**b;
    b.reset();
    EXPECT_EQ(waiting.get(), returned);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(pool.open(), 2u);
    pool.lease()->ping();
}

TEST_F(Pool, AConnectionWhoseLeaseEndsByAnExceptionIsClosedAndAnotherOpened)
{
    StorePool pool(1, opener(), 100ms);
    EXPECT_THROW(
        {
            StorePool::Lease lease = pool.lease();
            lease->ping();
            throw verimex::hosting::StoreError("the connection broke");
        },
        verimex::hosting::StoreError);
    EXPECT_EQ(pool.open(), 0u);

    // A new one cannot be opened: the caller learns why, and the place stays free.
    fail = true;
    EXPECT_THROW(pool.lease(), verimex::hosting::StoreError);
    EXPECT_EQ(pool.open(), 0u);
    fail = false;
    EXPECT_EQ(pool.lease()->kind(), "sqlite");
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(pool.open(), 1u);
}

}  // namespace
