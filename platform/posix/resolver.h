// Host name resolution that never blocks the thread: one c-ares channel,
// driven from the event loop's passes (its descriptors join the loop's poll).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>

#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

struct ares_channeldata;
struct ares_addrinfo;

namespace verimex::platform::posix {

// One address to connect to; the port is filled in by the caller.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// The errors c-ares reports (ARES_E...), for the rare local failures of the
// resolver itself that are raised as std::system_error.
const std::error_category& resolver_category();

class Resolver {
public:
    struct Outcome {
        bool found = false;  // false: the name could not be resolved
        std::vector<Address> addresses;  // IPv4 and IPv6, in the order to try
    };

    // Reads /etc/resolv.conf (and the c-ares defaults) here, and again at
    // the first lookup after the file has changed: a thread's socket lives
    // as long as the thread, and a changed name server must not go unseen
    // for that long.
    Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;
    ~Resolver();

    // Starts looking up name (A and AAAA); a lookup still running is
    // abandoned first. The outcome may already be there when this returns.
    void start(const std::string& name);
    // Abandons the running lookup, if any; its outcome never shows.
    void cancel();

    // Appends the descriptors c-ares is waiting on.
    void collect(std::vector<pollfd>& fds) const;
    // Milliseconds until c-ares wants to resend or give up on a server
    // even without an answer; -1 when no lookup runs.
    int timeout_ms() const;
    // Lets c-ares read what poll() reported and handle its own timeouts.
    // Returns whether any of its descriptors had news.
    bool advance(std::span<const pollfd> polled);
    // The outcome of the last lookup once it has ended, handed out once.
    // When c-ares could not get a socket for want of descriptors or memory,
    // raises std::system_error with that error instead (and abandons the
    // lookup): a failure of our own side, not a name that does not resolve.
    std::optional<Outcome> take_outcome();
    // c-ares's socket function failed with `error`.
    void socket_failed(int error);

private:
    // What tells one version of the configuration file from another.
    struct ConfigStamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        bool operator==(const ConfigStamp& other) const;
    };
    static ConfigStamp config_stamp();
    void open_channel();
    void close_channel();

    static void on_addrinfo(void* arg, int status, int timeouts, ::ares_addrinfo* result);

    ares_channeldata* channel_ = nullptr;
    ConfigStamp config_;  // the file the channel was set up from
    bool running_ = false;
    // Set while c-ares calls back for lookups we abandoned.
    bool abandoning_ = false;
    std::optional<Outcome> outcome_;
    int local_error_ = 0;  // the last socket failure of our own side
};

}  // namespace verimex::platform::posix
