// The brake on token guessing.
#include "auth_brake.h"

#include <algorithm>

namespace verimex_server {

std::chrono::milliseconds AuthBrake::delay_for(unsigned failures)
{
    if (failures <= free_failures)
        return std::chrono::milliseconds(0);
    const unsigned doublings = std::min(failures - free_failures - 1, 8u);
    return std::min(first_delay * (1u << doublings), longest_delay);
}

std::optional<AuthBrake::Wait> AuthBrake::failed(const std::string& client)
{
    std::lock_guard lock(mutex_);
    if (failures_.size() >= most_clients && failures_.find(client) == failures_.end())
        failures_.clear();
    unsigned& count = failures_[client];
    if (count < 1000)
        ++count;
    Wait wait{delay_for(count), nullptr};
    if (wait.delay.count() == 0)
        return wait;
    if (waiting_ >= most_waiting)
        return std::nullopt;
    ++waiting_;
    wait.place = std::shared_ptr<void>(nullptr, [this](void*) {
        std::lock_guard unlocked(mutex_);
        --waiting_;
    });
    return wait;
}

void AuthBrake::passed(std::string_view client)
{
    std::lock_guard lock(mutex_);
    if (const auto it = failures_.find(client); it != failures_.end())
        failures_.erase(it);
}

}  // namespace verimex_server
