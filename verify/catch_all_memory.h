// What the random-mailbox probe found, per domain, for the whole process:
// one probe per domain per run, not per address.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "verify/net.h"

namespace verimex::engine {

class catch_all_memory {
public:
    // How long a probe's result is believed. A domain's configuration
    // rarely changes within a bulk run, and ten minutes bounds what a
    // long-running server keeps believing after it did.
    static constexpr std::chrono::minutes remembered{10};

    // The process's own.
    static catch_all_memory& process();

    struct answer {
        std::optional<bool> known;  // a result still believed
        bool probe = false;         // nothing known: the caller probes, and then tells
    };
    // A result while one is believed; otherwise the first caller for the
    // domain gets probe = true, and the others wait (until the deadline or
    // a stop request) for what it tells.
    answer ask(std::string_view domain, deadline until, const cancellation* cancel);
    // Ends a probe that ask() handed out; nothing (deferred, failed) is
    // not remembered, and the next caller probes again.
    void tell(std::string_view domain, std::optional<bool> catch_all);

    // Forgets everything (tests).
    void clear();

private:
    struct entry {
        std::optional<bool> result;
        clock::time_point at{};
        bool probing = false;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<std::string, entry> domains_;
};

}  // namespace verimex::engine
