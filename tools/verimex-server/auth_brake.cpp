// The brake on token guessing.
#include "auth_brake.h"

#include <algorithm>
#include <thread>

namespace verimex_server {

std::chrono::milliseconds AuthBrake::delay_for(unsigned failures)
{
    if (failures <= free_failures)
        return std::chrono::milliseconds(0);
    const unsigned doublings = std::min(failures - free_failures - 1, 8u);
    return std::min(first_delay * (1u << doublings), longest_delay);
}

bool AuthBrake::failed(const std::string& client)
{
    std::chrono::milliseconds wait{0};
    {
        std::lock_guard lock(mutex_);
        if (failures_.size() >= most_clients && failures_.find(client) == failures_.end())
            failures_.clear();
        unsigned& count = failures_[client];
        if (count < 1000)
            ++count;
        wait = delay_for(count);
        if (wait.count() == 0)
            return true;
        if (waiting_ >= most_waiting)
            return false;
        ++waiting_;
    }
    std::this_thread::sleep_for(wait);
    std::lock_guard lock(mutex_);
    --waiting_;
    return true;
}

void AuthBrake::passed(std::string_view client)
{
    std::lock_guard lock(mutex_);
    if (const auto it = failures_.find(client); it != failures_.end())
        failures_.erase(it);
}

}  // namespace verimex_server
