// The hosts' check, and the guard every check thread runs it under.
#include "verimex/hosting/check.h"

#include <exception>
#include <string>
#include <vector>

namespace verimex::hosting {

report check(const std::string& address, const options& opts)
{
    return verify(address, opts);
}

std::vector<report> check_many(std::span<const std::string> addresses, const options& opts)
{
    return verify_many(addresses, opts);
}

unsigned session_size(const options& opts)
{
    if (opts.method == method::vrfy)
        return 1;
    // As verify_many reads it: 0 is its default.
    return opts.recipients_per_session == 0 ? 20 : opts.recipients_per_session;
}

report checked(const CheckFunction& fn, const std::string& address, const options& opts)
{
    report failed;
    failed.address = address;
    try {
        report result = fn(address, opts);
        result.address = address;
        return result;
    } catch (const std::exception& e) {
        failed.error = *e.what() ? e.what() : "unknown platform error";
    } catch (...) {
        failed.error = "unknown platform error";
    }
    return failed;
}

std::vector<report> checked_many(const CheckManyFunction& fn, std::span<const std::string> addresses,
                                 const options& opts)
{
    std::string error;
    try {
        std::vector<report> results = fn(addresses, opts);
        if (results.size() == addresses.size()) {
            for (std::size_t i = 0; i < results.size(); ++i)
                results[i].address = addresses[i];
            return results;
        }
        error = "the check gave " + std::to_string(results.size()) + " results for " +
                std::to_string(addresses.size()) + " addresses";
    } catch (const std::exception& e) {
        error = *e.what() ? e.what() : "unknown platform error";
    } catch (...) {
        error = "unknown platform error";
    }
    std::vector<report> failed(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        failed[i].address = addresses[i];
        failed[i].error = error;
    }
    return failed;
}

}  // namespace verimex::hosting
