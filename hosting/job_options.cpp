// The shared settings of work on many addresses.
#include "verimex/hosting/job_options.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace verimex::hosting {

unsigned effective_timeout(std::int16_t timeout)
{
    if (timeout <= 0)
        return 120;
    return timeout > 600 ? 600u : static_cast<unsigned>(timeout);
}

unsigned default_lease(std::int16_t timeout)
{
    return std::max(60u, 2 * effective_timeout(timeout));
}

bool parse_delays(std::string_view text, std::vector<unsigned>& out)
{
    out.clear();
    if (text == "none")
        return true;
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        unsigned long seconds = 0;
        if (item.empty() || item.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), seconds);
        if (ec != std::errc() || end != item.data() + item.size() || seconds > max_lease_seconds)
            return false;
        out.push_back(static_cast<unsigned>(seconds));
        if (comma == std::string_view::npos)
            return true;
        text.remove_prefix(comma + 1);
    }
}

std::string default_from()
{
    // POSIX leaves a cut-off name without a terminator; the extra byte and
    // the zeroed buffer keep it terminated.
    char name[256 + 1] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        return name;
    return "localhost";
}

}  // namespace verimex::hosting
