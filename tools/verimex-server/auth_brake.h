// The brake on token guessing: a client (by its address) whose requests
// keep failing the token check is answered ever more slowly, so that trying
// tokens one by one gets nowhere, while a client that mistyped once is
// hardly held up.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace verimex_server {

class AuthBrake {
public:
    // Failures in a row that cost nothing; then each further one waits
    // first_delay, doubled each time up to longest_delay.
    static constexpr unsigned free_failures = 5;
    static constexpr std::chrono::milliseconds first_delay{250};
    static constexpr std::chrono::milliseconds longest_delay{2000};
    // Requests held in the brake at once, over every client: each holds a
    // connection while it waits. Beyond them: 429 at once.
    static constexpr unsigned most_waiting = 4;
    // Clients remembered; past this many the record starts again, so a
    // crowd of addresses cannot grow it without end.
    static constexpr std::size_t most_clients = 65536;

    // The wait before the answer to the failures-th failure in a row.
    static std::chrono::milliseconds delay_for(unsigned failures);

    // A 401 held back: it goes out after delay; place keeps its room
    // among the waiting until it is let go.
    struct Wait {
        std::chrono::milliseconds delay{0};
        std::shared_ptr<void> place;
    };

    // One more failed token check from client: when its 401 may go out,
    // or nothing when too many requests wait already and it is to be
    // answered 429. Never blocks: the caller does the waiting.
    std::optional<Wait> failed(const std::string& client);

    // A request of client passed the token check: its count starts again.
    void passed(std::string_view client);

private:
    std::mutex mutex_;
    std::map<std::string, unsigned, std::less<>> failures_;  // guarded by mutex_
    unsigned waiting_ = 0;                                   // guarded by mutex_
};

}  // namespace verimex_server
