#include "verify/catch_all_memory.h"

#include <algorithm>

#include "verify/stop.h"

namespace verimex::engine {

namespace {

constexpr std::size_t prune_above = 65536;
// How often a waiter looks for a stop request.
constexpr std::chrono::milliseconds stop_poll{100};

std::string key(std::string_view domain)
{
    std::string k(domain);
    std::transform(k.begin(), k.end(), k.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return k;
}

}  // namespace

catch_all_memory& catch_all_memory::process()
{
    static catch_all_memory memory;
    return memory;
}

catch_all_memory::answer catch_all_memory::ask(std::string_view domain, deadline until, const cancellation* cancel)
{
    const std::string k = key(domain);
    std::unique_lock lock(mutex_);
    while (true) {
        entry& e = domains_[k];
        const clock::time_point now = clock::now();
        if (e.result && now - e.at < remembered)
            return {e.result, false};
        if (!e.probing) {
            e.result.reset();
            e.probing = true;
            return {std::nullopt, true};
        }
        // Another check is asking this domain's servers right now; waiting
        // for it costs less than a probe of our own, and keeps to one.
        if (now >= until || stop_requested(cancel))
            return {};
        changed_.wait_until(lock, std::min(until, now + stop_poll));
    }
}

void catch_all_memory::tell(std::string_view domain, std::optional<bool> catch_all)
{
    {
        const std::lock_guard lock(mutex_);
        entry& e = domains_[key(domain)];
        e.probing = false;
        e.result = catch_all;
        e.at = clock::now();
        // A long-running host sees domain after domain: what is no longer
        // believed goes once the table is large.
        if (domains_.size() > prune_above)
            std::erase_if(domains_, [&](const auto& item) {
                return !item.second.probing && e.at - item.second.at >= remembered;
            });
    }
    changed_.notify_all();
}

void catch_all_memory::clear()
{
    const std::lock_guard lock(mutex_);
    domains_.clear();
}

}  // namespace verimex::engine
