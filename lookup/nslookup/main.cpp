// verimex-nslookup: the lookup tool the library runs for the word
// "nslookup". It answers the library's command line
//
//     nslookup -q=mx DOMAIN [SERVER]
//
// with c-ares and prints one line per MX record, in the order of the DNS
// answer, in the shape the MX scanner reads:
//
//     DOMAIN<TAB>mail exchanger = HOST<CR><LF>
//
// No preference number and no trailing root dot. The system's BIND nslookup
// burns some 30-40 ms of CPU per lookup; this one is linked statically and
// costs little more than starting a program that does nothing: at start it
// reads the resolver settings, then sends one query and writes the answer.
//
// Options are the words that start with "-"; of them only the query type is
// read ("-q=mx", "-querytype=MX", "-type=mx", ...; MX is also the default).
// The first other word is the domain, the second the server (an IPv4 or
// IPv6 address, or a name resolved first with the system's resolver
// settings), and any further words are ignored.
//
// Exit status: 0 with the records on stdout, or with nothing on stdout when
// the domain exists but has no MX record; 1 when the lookup failed
// (NXDOMAIN, refused, timed out, no server reachable); 2 for a bad command
// line or a name that cannot be written in ASCII. Messages go to stderr.
//
// Bound: every query try waits try_timeout_ms, a query makes `tries` rounds
// over the servers and c-ares doubles the wait in each later round, so one
// silent server costs at most 0.75 s + 1.5 s + 3 s. The first wait is short
// because the usual cause of no answer is a query dropped by a busy name
// server (its receive buffer full in a burst), not a slow one: a late answer
// to the first send is still taken after the resend, and a check that lost
// its query waits 0.75 s rather than 1.5 s. More servers or a search list
// could add up past that, so the event loop below also keeps one overall deadline of
// 8 s from start, server-name resolution included: when it passes, whatever
// is still pending is cancelled and reported as a timeout. The tool ends
// within about 8 s whatever the DNS server does.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <ares.h>
#include <idn2.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int try_timeout_ms = 750;
constexpr int tries = 3;
constexpr auto overall_limit = 8s;

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr const char* program = "verimex-nslookup";

void complain(const std::string& what)
{
    std::string line = std::string(program) + ": " + what + "\n";
    // Best effort: a closed stderr must not change the exit status.
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

// The reader of our output reads once, so everything goes out in one write;
// the loop only covers a pipe that takes it in parts.
bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Command line

struct Request {
    std::string domain;
    std::string server;  // empty: the servers of the system's resolver
};

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// BIND's nslookup takes any unambiguous start of an option's name: "-q",
// "-query", "-querytype", "-ty", "-type".
bool names_query_type(std::string_view name)
{
    constexpr std::string_view querytype = "querytype";
    constexpr std::string_view type = "type";
    auto lower_prefix = [](std::string_view word, std::string_view of) {
        return word.size() <= of.size() && iequals(word, of.substr(0, word.size()));
    };
    return (!name.empty() && lower_prefix(name, querytype)) || (name.size() >= 2 && lower_prefix(name, type));
}

// Returns false, after saying why, when the command line cannot be served.
bool parse_command_line(int argc, char** argv, Request& request)
{
    int plain_words = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word.size() > 1 && word.front() == '-') {
            const std::size_t eq = word.find('=');
            if (eq != std::string_view::npos && names_query_type(word.substr(1, eq - 1)) &&
                !iequals(word.substr(eq + 1), "mx")) {
                complain("only MX queries are answered, not " + std::string(word));
                return false;
            }
            continue;  // every other option is accepted and ignored
        }
        if (word == "-")
            continue;
        if (plain_words == 0)
            request.domain = word;
        else if (plain_words == 1)
            request.server = word;
        ++plain_words;
    }
    if (request.domain.empty()) {
        complain("usage: verimex-nslookup [-q=mx] DOMAIN [SERVER]");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Names

// The ASCII form of a UTF-8 name, or the reason there is none. libidn2 is
// linked in statically, with libunistring under it: their code and tables
// are only paged in when a name needs them, so a plain ASCII name does not
// pay for them at start-up.
bool idna_to_ascii(const std::string& name, std::string& ascii, std::string& why)
{
    char* out = nullptr;
    // Non-transitional processing is what browsers and registries use; a
    // name it refuses gets a second chance with the transitional mapping of
    // the older standard.
    int rc = ::idn2_to_ascii_8z(name.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK)
        rc = ::idn2_to_ascii_8z(name.c_str(), &out, IDN2_NFC_INPUT | IDN2_TRANSITIONAL);
    if (rc != IDN2_OK) {
        why = ::idn2_strerror(rc);
        return false;
    }
    ascii = out;
    ::idn2_free(out);
    return true;
}

// A name with non-ASCII labels goes out in its ASCII (punycode) form; an
// ASCII name is passed on untouched, so names IDNA would refuse but DNS
// carries ("_dmarc.example.org", a trailing dot) still work.
bool to_ascii(const std::string& name, std::string& ascii)
{
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (plain) {
        ascii = name;
        return true;
    }
    std::string why;
    if (!idna_to_ascii(name, ascii, why)) {
        complain(name + ": not a valid domain name: " + why);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// c-ares

class Library {
public:
    Library() : status_(ares_library_init(ARES_LIB_INIT_ALL)) {}
    ~Library()
    {
        if (status_ == ARES_SUCCESS)
            ares_library_cleanup();
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    int status() const { return status_; }

private:
    int status_;
};

class Channel {
public:
    Channel()
    {
        ares_options options{};
        options.timeout = try_timeout_ms;
        options.tries = tries;
        status_ = ares_init_options(&channel_, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
    }
    ~Channel()
    {
        if (status_ == ARES_SUCCESS)
            ares_destroy(channel_);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    int status() const { return status_; }
    ares_channel get() const { return channel_; }

private:
    ares_channel channel_ = nullptr;
    int status_ = ARES_ENOTINITIALIZED;
};

int poll_timeout_ms(const timeval& tv)
{
    const long long ms = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
    return ms > 60'000 ? 60'000 : static_cast<int>(ms);
}

timeval to_timeval(Clock::duration d)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(us / 1'000'000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(us % 1'000'000);
    return tv;
}

// Runs the channel until `done` turns true. When the deadline passes first,
// every pending request is cancelled, which runs its callback with
// ARES_ECANCELLED before this returns.
void run_until(ares_channel channel, const bool& done, Clock::time_point deadline)
{
    while (!done) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            ares_cancel(channel);
            return;
        }

        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM];
        nfds_t count = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(bits, i))
                events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(bits, i))
                events |= POLLOUT;
            if (events == 0)
                continue;
            fds[count].fd = socks[i];
            fds[count].events = events;
            fds[count].revents = 0;
            ++count;
        }

        timeval left = to_timeval(deadline - now);
        timeval buffer{};
        const timeval* wait = ares_timeout(channel, &left, &buffer);
        const int ready = ::poll(fds, count, poll_timeout_ms(*wait));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            complain(std::string("poll: ") + std::strerror(errno));
            ares_cancel(channel);
            return;
        }
        if (ready == 0) {
            // Nothing to read: let c-ares retry or fail what has timed out.
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            const short r = fds[i].revents;
            if (r == 0)
                continue;
            const bool in = (r & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool out = (r & POLLOUT) != 0;
            ares_process_fd(channel, in ? fds[i].fd : ARES_SOCKET_BAD, out ? fds[i].fd : ARES_SOCKET_BAD);
        }
    }
}

std::string describe(int status)
{
    if (status == ARES_ECANCELLED)
        return "no answer within " + std::to_string(std::chrono::seconds(overall_limit).count()) + " s";
    return ares_strerror(status);
}

// ---------------------------------------------------------------------------
// The server given by name

struct AddrinfoFree {
    void operator()(ares_addrinfo* p) const { ares_freeaddrinfo(p); }
};

struct ServerLookup {
    bool done = false;
    int status = ARES_ENOTFOUND;
    std::unique_ptr<ares_addrinfo, AddrinfoFree> result;
};

void on_server_address(void* arg, int status, int /*timeouts*/, ares_addrinfo* result)
{
    auto* lookup = static_cast<ServerLookup*>(arg);
    lookup->result.reset(result);
    lookup->status = status;
    lookup->done = true;
}

// A literal address is used as it stands; a name is resolved with the
// system's settings first, and each of its addresses becomes a server that
// c-ares tries in turn.
bool set_server(ares_channel channel, const std::string& server, Clock::time_point deadline)
{
    std::vector<ares_addr_node> nodes;
    ares_addr_node node{};
    if (::inet_pton(AF_INET, server.c_str(), &node.addr.addr4) == 1) {
        node.family = AF_INET;
        nodes.push_back(node);
    } else if (::inet_pton(AF_INET6, server.c_str(), &node.addr.addr6) == 1) {
        node.family = AF_INET6;
        nodes.push_back(node);
    } else {
        std::string ascii;
        if (!to_ascii(server, ascii))
            return false;
        ServerLookup lookup;
        ares_addrinfo_hints hints{};
        hints.ai_family = AF_UNSPEC;
        ares_getaddrinfo(channel, ascii.c_str(), nullptr, &hints, on_server_address, &lookup);
        run_until(channel, lookup.done, deadline);
        if (lookup.status != ARES_SUCCESS || !lookup.result) {
            complain("can't find server " + server + ": " + describe(lookup.status));
            return false;
        }
        for (const ares_addrinfo_node* a = lookup.result->nodes; a; a = a->ai_next) {
            ares_addr_node n{};
            n.family = a->ai_family;
            if (a->ai_family == AF_INET)
                n.addr.addr4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            else if (a->ai_family == AF_INET6)
                std::memcpy(&n.addr.addr6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr,
                            sizeof n.addr.addr6);
            else
                continue;
            nodes.push_back(n);
        }
        if (nodes.empty()) {
            complain("can't find server " + server + ": no address");
            return false;
        }
    }
    for (std::size_t i = 0; i + 1 < nodes.size(); ++i)
        nodes[i].next = &nodes[i + 1];
    const int rc = ares_set_servers(channel, nodes.data());
    if (rc != ARES_SUCCESS) {
        complain("server " + server + ": " + ares_strerror(rc));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The MX query

struct MxReplyFree {
    void operator()(ares_mx_reply* p) const { ares_free_data(p); }
};

struct MxLookup {
    bool done = false;
    int status = ARES_ENOTFOUND;
    std::vector<std::string> hosts;  // in answer order
};

void on_mx_answer(void* arg, int status, int /*timeouts*/, unsigned char* answer, int length)
{
    auto* lookup = static_cast<MxLookup*>(arg);
    lookup->done = true;
    lookup->status = status;
    if (status != ARES_SUCCESS)
        return;
    ares_mx_reply* first = nullptr;
    lookup->status = ares_parse_mx_reply(answer, length, &first);
    std::unique_ptr<ares_mx_reply, MxReplyFree> owned(first);
    if (lookup->status != ARES_SUCCESS)
        return;
    for (const ares_mx_reply* mx = first; mx; mx = mx->next)
        lookup->hosts.emplace_back(mx->host);
}

}  // namespace

int main(int argc, char** argv)
{
    const Clock::time_point deadline = Clock::now() + overall_limit;

    Request request;
    if (!parse_command_line(argc, argv, request))
        return exit_usage;
    std::string domain;
    if (!to_ascii(request.domain, domain))
        return exit_usage;

    Library library;
    if (library.status() != ARES_SUCCESS) {
        complain(std::string("c-ares: ") + ares_strerror(library.status()));
        return exit_failed;
    }
    Channel channel;
    if (channel.status() != ARES_SUCCESS) {
        complain(std::string("c-ares: ") + ares_strerror(channel.status()));
        return exit_failed;
    }
    if (!request.server.empty() && !set_server(channel.get(), request.server, deadline))
        return exit_failed;

    MxLookup lookup;
    ares_search(channel.get(), domain.c_str(), ns_c_in, ns_t_mx, on_mx_answer, &lookup);
    run_until(channel.get(), lookup.done, deadline);

    // An answer without MX records (the name exists, NODATA) is no error:
    // there is just nothing to print.
    if (lookup.status == ARES_ENODATA)
        return exit_ok;
    if (lookup.status != ARES_SUCCESS) {
        complain(request.domain + ": " + describe(lookup.status));
        return exit_failed;
    }

    std::string out;
    for (const std::string& host : lookup.hosts) {
        out.append(domain).append("\tmail exchanger = ");
        // c-ares writes the root as "": keep a visible "." ("no mail here",
        // a null MX), as a system nslookup's output would say after reshape.
        out.append(host.empty() ? std::string_view(".") : std::string_view(host));
        out.append("\r\n");
    }
    if (!write_all(STDOUT_FILENO, out)) {
        complain(std::string("write: ") + std::strerror(errno));
        return exit_failed;
    }
    return exit_ok;
}
