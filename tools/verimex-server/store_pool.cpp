// The bounded pool of store connections behind store_pool.h.
#include "store_pool.h"

#include <exception>
#include <utility>

namespace verimex_server {

StorePool::StorePool(std::size_t most, Open open, std::chrono::milliseconds wait)
    : most_(most == 0 ? 1 : most), open_(std::move(open)), wait_(wait)
{
    std::unique_ptr<verimex::hosting::Store> first = open_();
    kind_ = first->kind();
    idle_.push_back(std::move(first));
    open_count_ = 1;
}

std::size_t StorePool::open() const
{
    std::lock_guard lock(mutex_);
    return open_count_;
}

StorePool::Lease StorePool::lease()
{
    std::unique_lock lock(mutex_);
    if (!returned_.wait_for(lock, wait_, [this] { return !idle_.empty() || open_count_ < most_; }))
        throw StoreBusy();
    if (!idle_.empty()) {
        // The one used last: the others may stay idle, and are not all
        // kept awake by a trickle of requests.
        std::unique_ptr<verimex::hosting::Store> store = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(store));
    }
    // The place is taken before the (slow) opening, which runs unlocked.
    ++open_count_;
    lock.unlock();
    try {
        return Lease(*this, open_());
    } catch (...) {
        lock.lock();
        --open_count_;
        returned_.notify_one();
        throw;
    }
}

void StorePool::give_back(std::unique_ptr<verimex::hosting::Store> store, bool keep)
{
    {
        std::lock_guard lock(mutex_);
        if (keep)
            idle_.push_back(std::move(store));
        else
            --open_count_;
    }
    returned_.notify_one();
    // A connection not kept is closed here, outside the lock.
}

StorePool::Lease::Lease(StorePool& pool, std::unique_ptr<verimex::hosting::Store> store)
    : pool_(&pool), store_(std::move(store)), exceptions_(std::uncaught_exceptions())
{
}

StorePool::Lease::Lease(Lease&& other) noexcept
    : pool_(other.pool_), store_(std::move(other.store_)), exceptions_(other.exceptions_)
{
}

StorePool::Lease::~Lease()
{
    if (store_)
        pool_->give_back(std::move(store_), std::uncaught_exceptions() <= exceptions_);
}

}  // namespace verimex_server
