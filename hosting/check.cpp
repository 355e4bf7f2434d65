// The hosts' check, and the guard every check thread runs it under.
#include "verimex/hosting/check.h"

#include <exception>
#include <string>

namespace verimex::hosting {

report check(const std::string& address, const options& opts)
{
    return verify(address, opts);
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

}  // namespace verimex::hosting
