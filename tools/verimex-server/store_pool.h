// The store connections of the requests and the exports: a bounded pool.
//
// One Store object is one connection serving one call at a time; a single
// one shared by every request would line them all up behind the slowest
// statement. The pool opens connections as the requests need them, up to
// a bound (so that a burst of clients does not open hundreds of database
// sessions), and lends each to one request at a time. A request that finds
// every connection lent waits a little for one to come back, and is then
// turned away with StoreBusy rather than held without end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "verimex/hosting/store.h"

namespace verimex_server {

// No connection came back within the pool's wait. A StoreError, so that
// every caller that copes with a store that cannot answer copes with this
// one too; the handlers tell it apart to answer 503 with Retry-After: 1.
class StoreBusy : public verimex::hosting::StoreError {
public:
    StoreBusy() : StoreError("store busy; try again later") {}
};

class StorePool {
public:
    using Open = std::function<std::unique_ptr<verimex::hosting::Store>()>;

    // Opens the first connection at once, so that a store that cannot be
    // opened is an error at start (the StoreError is passed on). most: the
    // connections open at once, at most (from 1); wait: how long a lease
    // waits for one to come back.
    StorePool(std::size_t most, Open open, std::chrono::milliseconds wait = std::chrono::seconds(2));
    StorePool(const StorePool&) = delete;
    StorePool& operator=(const StorePool&) = delete;

    // A connection lent to its holder alone until the lease ends. A lease
    // that ends by an exception (a store that failed mid-call: a broken
    // connection, a statement that timed out) closes its connection rather
    // than give it back, and the next lease opens a fresh one: a connection
    // in a doubtful state is never lent again.
    class Lease {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        verimex::hosting::Store& operator*() const { return *store_; }
        verimex::hosting::Store* operator->() const { return store_.get(); }

    private:
        friend class StorePool;
        Lease(StorePool& pool, std::unique_ptr<verimex::hosting::Store> store);
        StorePool* pool_;
        std::unique_ptr<verimex::hosting::Store> store_;
        int exceptions_;  // std::uncaught_exceptions() when the lease began
    };

    // An idle connection, a new one while fewer than `most` are open, or
    // the first given back within the wait. Throws StoreBusy when none came
    // in time, and StoreError when a new connection cannot be opened.
    // Safe from any thread.
    Lease lease();

    // "sqlite" or "postgresql".
    std::string_view kind() const { return kind_; }
    // Connections open now, lent or idle.
    std::size_t open() const;

private:
    void give_back(std::unique_ptr<verimex::hosting::Store> store, bool keep);

    const std::size_t most_;
    const Open open_;
    const std::chrono::milliseconds wait_;
    std::string kind_;
    mutable std::mutex mutex_;
    std::condition_variable returned_;
    std::size_t open_count_ = 0;                                  // guarded by mutex_
    std::vector<std::unique_ptr<verimex::hosting::Store>> idle_;  // guarded by mutex_
};

}  // namespace verimex_server
