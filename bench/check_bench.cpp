// What one check costs, in time and in CPU, next to the simplest client that
// could do the same job: a blocking one written here, doing the same steps
// (start the same lookup tool, read its output once, resolve and connect to
// the mail exchanger, three exchanges, quit) with plain blocking calls.
//
//   check_bench latency [ROUNDS]
//                       latency against instant servers
//   check_bench waiting [ROUNDS]
//                       the CPU a check burns while a server keeps it
//                       waiting 3 s for its banner
//   check_bench wan ONE_WAY_MS [ROUNDS]
//                       the latency over a link that delays every loopback
//                       packet (scripts/bench sets the delay up), next to
//                       the floor its round trips allow
//
// The servers and the DNS records are on loopback: run it inside
// tests/netns/run with --zones bench/bench.zones. Prints Markdown tables.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "bench/bench_peers.h"
#include "bench/bench_support.h"
#include "component/texts.h"
#include "lookup/nextmx.h"
#include "lookup/runlookup.h"
#include "platform/posix/fd.h"
#include "platform/posix/process.h"
#include "probe/dialog.h"
#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

extern char** environ;

namespace {

using namespace verimex::bench;
using verimex::platform::posix::Fd;
using namespace std::chrono_literals;

constexpr const char* from_name = "bench.test";
constexpr std::int16_t check_timeout = 10;

[[noreturn]] void fail(int error, const std::string& what)
{
    throw std::system_error(error, std::generic_category(), what);
}

std::string domain_of(const std::string& email)
{
    return email.substr(email.find('@') + 1);
}

// ---- the blocking reference client -----------------------------------------

struct Phases {
    double lookup_ms = 0;
    double dialog_ms = 0;
    double cpu_ms = 0;  // this thread's, plus the lookup tool's
    bool verified = false;
    double total_ms() const { return lookup_ms + dialog_ms; }
};

// Collects one reply the way the library does: until a received piece holds
// a line feed.
std::string read_reply(int fd)
{
    std::string reply;
    char piece[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return reply;
        reply.append(piece, static_cast<std::size_t>(n));
        if (std::string_view(piece, static_cast<std::size_t>(n)).find('\n') != std::string_view::npos)
            return reply;
    }
}

void send_all(int fd, const std::string& text)
{
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(errno, "reference: send");
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Starts the lookup tool with its output on a pipe and reads it once.
std::string reference_lookup(const std::string& tool, const std::string& domain, std::vector<pid_t>& children)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        fail(errno, "reference: pipe2");
    Fd read_end(ends[0]);
    Fd write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = tool;
    std::string query = "-q=mx";
    std::string name = domain;
    char* argv[] = {program.data(), query.data(), name.data(), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        fail(error, "reference: posix_spawn " + program);
    children.push_back(pid);
    write_end.reset();
    char output[1000];
    ssize_t n;
    do
        n = ::read(read_end.get(), output, sizeof output);
    while (n < 0 && errno == EINTR);
    return n > 0 ? std::string(output, static_cast<std::size_t>(n)) : std::string();
}

std::optional<std::string> first_exchanger(const std::string& output)
{
    constexpr std::string_view marker = "mail exchanger = ";
    const std::size_t at = output.find(marker);
    if (at == std::string::npos)
        return std::nullopt;
    const std::size_t start = at + marker.size();
    const std::size_t end = output.find_first_of("\r\n", start);
    if (end == std::string::npos)
        return std::nullopt;
    return output.substr(start, end - start);
}

Fd reference_connect(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), "25", &hints, &found); rc != 0)
        throw std::runtime_error("reference: getaddrinfo " + host + ": " + ::gai_strerror(rc));
    Fd fd;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        Fd attempt(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (attempt && ::connect(attempt.get(), a->ai_addr, a->ai_addrlen) == 0) {
            fd = std::move(attempt);
            break;
        }
    }
    ::freeaddrinfo(found);
    if (!fd)
        throw std::runtime_error("reference: could not connect to " + host);
    return fd;
}

Phases reference_check(const std::string& tool, const std::string& email)
{
    std::vector<pid_t> children;
    Phases p;
    const double child0 = children_cpu_ms();
    const double cpu0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    const std::string output = reference_lookup(tool, domain_of(email), children);
    const auto t1 = Clock::now();
    const std::optional<std::string> host = first_exchanger(output);
    if (!host)
        throw std::runtime_error("reference: the lookup listed no mail exchanger: " + output);
    Fd connection = reference_connect(*host);
    const int fd = connection.get();
    read_reply(fd);
    send_all(fd, verimex::texts::helo_line(from_name));
    read_reply(fd);
    send_all(fd, verimex::texts::vrfy_line(email));
    const std::string verdict = read_reply(fd);
    send_all(fd, verimex::texts::quit_line());
    connection.reset();
    const auto t2 = Clock::now();
    const double cpu1 = thread_cpu_ms();
    reap_own_children(children);
    p.lookup_ms = ms_between(t0, t1);
    p.dialog_ms = ms_between(t1, t2);
    p.cpu_ms = (cpu1 - cpu0) + (children_cpu_ms() - child0);
    p.verified = verdict.starts_with("250");
    return p;
}

// ---- the library ----------------------------------------------------------

// check() taken apart at its seam: the lookup (runlookup), then the probe
// of the first mail exchanger, in the order check() runs them.
Phases library_phases(const std::string& email)
{
    reap_lookup_children();
    verimex::quoverimex q;
    q.email(email);
    q.from(from_name);
    q.timeout(check_timeout);
    verimex::Form1& form = verimex::Form1::current();
    Phases p;
    // The library reaps its lookup child itself, at a yield of the dialog,
    // so the children's CPU is read before and after everything.
    const double child0 = children_cpu_ms();
    const double cpu0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    form.startwatch(check_timeout);
    verimex::runlookup(q, verimex::texts::lookup_command(domain_of(email), q.nslookup()));
    const auto t1 = Clock::now();
    std::size_t scanpos = 1;
    const std::optional<std::string> host = verimex::nextmx(q.nslookup(), scanpos);
    if (!host)
        throw std::runtime_error("the lookup listed no mail exchanger: " + q.returnvar());
    form.yield();
    const verimex::ProbeOutcome outcome = verimex::probe(q, *host);
    const auto t2 = Clock::now();
    const double cpu1 = thread_cpu_ms();
    reap_lookup_children();
    p.lookup_ms = ms_between(t0, t1);
    p.dialog_ms = ms_between(t1, t2);
    p.cpu_ms = (cpu1 - cpu0) + (children_cpu_ms() - child0);
    p.verified = outcome == verimex::ProbeOutcome::verified;
    return p;
}

struct Whole {
    double wall_ms = 0;
    double thread_cpu_ms = 0;
    double tool_cpu_ms = 0;
    std::string returnvar;
};

Whole library_check(const std::string& email)
{
    reap_lookup_children();
    verimex::quoverimex q;
    q.email(email);
    q.from(from_name);
    q.timeout(check_timeout);
    Whole w;
    const double child0 = children_cpu_ms();
    const double cpu0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    q.check();
    const auto t1 = Clock::now();
    const double cpu1 = thread_cpu_ms();
    reap_lookup_children();
    w.wall_ms = ms_between(t0, t1);
    w.thread_cpu_ms = cpu1 - cpu0;
    w.tool_cpu_ms = children_cpu_ms() - child0;
    w.returnvar = q.returnvar();
    return w;
}

// ---- the latency table ----------------------------------------------------

struct Series {
    Samples lookup, dialog, total, cpu;
    int verified = 0;
    void add(const Phases& p)
    {
        lookup.add(p.lookup_ms);
        dialog.add(p.dialog_ms);
        total.add(p.total_ms());
        cpu.add(p.cpu_ms);
        verified += p.verified ? 1 : 0;
    }
};

struct Latency {
    Series reference, phases;
    Samples whole, whole_cpu;
    int whole_verified = 0;
};

Latency measure_latency(const std::string& email, int rounds, int warmup)
{
    const std::string tool = verimex::platform::posix::lookup_helper();
    if (tool.empty())
        throw std::runtime_error("the bundled lookup helper was not found beside the library");
    Latency l;
    for (int round = -warmup; round < rounds; ++round) {
        // Interleaved, so a change in the machine's load hits all three.
        const Phases ref = reference_check(tool, email);
        const Phases lib = library_phases(email);
        const Whole whole = library_check(email);
        if (round < 0)
            continue;
        l.reference.add(ref);
        l.phases.add(lib);
        l.whole.add(whole.wall_ms);
        l.whole_cpu.add(whole.thread_cpu_ms + whole.tool_cpu_ms);
        l.whole_verified += whole.returnvar == verimex::texts::verified ? 1 : 0;
    }
    return l;
}

void latency_table(const Latency& l, int rounds)
{
    const auto n = std::to_string(rounds);
    Table t({"client", "lookup ms", "dialog ms", "whole check ms", "p90 ms", "CPU ms", "verified",
             "/ reference"});
    const double ref = l.reference.total.median();
    t.add({"blocking reference client", fixed(l.reference.lookup.median(), 2), fixed(l.reference.dialog.median(), 2),
           fixed(ref, 2), fixed(l.reference.total.percentile(0.9), 2), fixed(l.reference.cpu.median(), 2),
           std::to_string(l.reference.verified) + "/" + n, "1.00"});
    t.add({"verimex, phase by phase (runlookup, probe)", fixed(l.phases.lookup.median(), 2),
           fixed(l.phases.dialog.median(), 2), fixed(l.phases.total.median(), 2),
           fixed(l.phases.total.percentile(0.9), 2), fixed(l.phases.cpu.median(), 2),
           std::to_string(l.phases.verified) + "/" + n, fixed(l.phases.total.median() / ref, 2)});
    t.add({"verimex `check()`", "", "", fixed(l.whole.median(), 2), fixed(l.whole.percentile(0.9), 2),
           fixed(l.whole_cpu.median(), 2), std::to_string(l.whole_verified) + "/" + n,
           fixed(l.whole.median() / ref, 2)});
    t.print();

    const double ratio = l.whole.median() / ref;
    const double over_lookup = l.whole.median() - l.phases.lookup.median();
    note("Medians over " + n + " rounds, the three clients interleaved. *lookup* is the start of the lookup tool "
         "(the bundled helper for both) to the end of the one read of its output; *dialog* is the rest: "
         "resolving the mail exchanger's address, connecting, banner, `helo`, `vrfy`, `quit`. CPU is the "
         "checking thread's plus the lookup tool's.");
    Table targets({"target", "measured", "result"});
    targets.add({"`check` within 1.25x the reference", fixed(ratio, 2) + "x",
                 target("latency: check / reference client", fixed(ratio, 2) + "x", "<= 1.25x", ratio <= 1.25)});
    targets.add({"a check takes no more than a few ms (<= 3 ms) more than its lookup",
                 fixed(over_lookup, 2) + " ms",
                 target("latency: check minus its lookup", fixed(over_lookup, 2) + " ms", "<= 3 ms",
                        over_lookup <= 3.0, Goal::yardstick)});
    std::printf("\n");
    targets.print();
}

// ---- CPU while a server keeps the check waiting ---------------------------

// How often this thread has gone to sleep (voluntary context switches).
long thread_sleeps()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// One check with timeout 10 against a server that accepts and never says a
// word: it waits eleven watchdog periods of 1 s for the banner, then ends
// on the timeout. Every time its thread went to sleep is counted.
void silent_server_wakeups()
{
    constexpr std::int16_t timeout = 10;
    constexpr int periods = 11;
    verimex::test::SmtpPeer silent("127.0.0.204", verimex::test::silent());
    reap_lookup_children();
    verimex::quoverimex q;
    q.email("someone@silent.bench.test");
    q.from(from_name);
    q.timeout(timeout);
    const double child0 = children_cpu_ms();
    const long sleeps0 = thread_sleeps();
    const double cpu0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    q.check();
    const double wall = ms_between(t0, Clock::now());
    const double cpu = thread_cpu_ms() - cpu0;
    const long sleeps = thread_sleeps() - sleeps0;
    reap_lookup_children();
    const double tool = children_cpu_ms() - child0;
    const double per_period = static_cast<double>(sleeps) / periods;
    const double share = cpu / wall;

    std::printf("\n");
    Table t({"server", "timeout", "wall s", "thread wake-ups", "per watchdog period", "checking thread CPU ms",
             "lookup tool CPU ms", "thread CPU / wall", "returnvar"});
    t.add({"accepts, never answers", std::to_string(timeout), fixed(wall / 1e3, 2), std::to_string(sleeps),
           fixed(per_period, 2), fixed(cpu, 2), fixed(tool, 2), fixed(100 * share, 4) + " %", q.returnvar()});
    t.print();
    note("Wake-ups are the checking thread's voluntary context switches (`getrusage(RUSAGE_THREAD)`) over the "
         "whole check: the lookup (the helper's start and the read of its answer), the connection, and eleven "
         "periods of 1 s in which the reply reader sleeps until the socket has news or the next tick is due.");
    Table targets({"target", "measured", "result"});
    targets.add({"at most 2 wake-ups per watchdog period", fixed(per_period, 2),
                 target("silent server, timeout 10: thread wake-ups per watchdog period", fixed(per_period, 2),
                        "<= 2", per_period <= 2.0)});
    targets.add({"thread CPU under 0.05 % of a core", fixed(100 * share, 4) + " %",
                 target("silent server, timeout 10: thread CPU / wall", fixed(100 * share, 4) + " %", "< 0.05 %",
                        share < 0.0005)});
    std::printf("\n");
    targets.print();
}

void cpu_while_waiting(int rounds)
{
    heading("2. CPU while waiting: a server that sends its banner after 3 s");
    verimex::test::SmtpPeer slow(slow_address, instant_server(slow_banner_delay));
    const std::string email = "someone@slow.bench.test";
    Table t({"round", "wall s", "checking thread CPU ms", "lookup tool CPU ms", "CPU / wall", "result"});
    Samples share;
    for (int round = 1; round <= rounds; ++round) {
        const Whole w = library_check(email);
        const double s = (w.thread_cpu_ms + w.tool_cpu_ms) / w.wall_ms;
        share.add(s);
        t.add({std::to_string(round), fixed(w.wall_ms / 1e3, 3), fixed(w.thread_cpu_ms, 2), fixed(w.tool_cpu_ms, 2),
               fixed(100 * s, 3) + " %", w.returnvar == verimex::texts::verified ? "000" : w.returnvar});
    }
    // The machine's floor for any waiting loop that wakes as often as the
    // pump's idle pauses let it (at most 10 ms each): sleeping in poll()
    // and nothing else.
    long wakeups = 0;
    const double floor_cpu0 = thread_cpu_ms();
    const auto floor_t0 = Clock::now();
    while (Clock::now() - floor_t0 < 3s) {
        ::poll(nullptr, 0, 10);
        ++wakeups;
    }
    const double floor_wall = ms_between(floor_t0, Clock::now());
    const double floor_cpu = thread_cpu_ms() - floor_cpu0;
    t.add({"floor: `poll(NULL, 0, 10)` in a loop, nothing else", fixed(floor_wall / 1e3, 3), fixed(floor_cpu, 2), "",
           fixed(100 * floor_cpu / floor_wall, 3) + " %",
           std::to_string(wakeups) + " wakeups, " + fixed(1e3 * floor_cpu / static_cast<double>(wakeups), 1) +
               " us each"});
    t.print();
    const double worst = share.max();
    note("One `check()` in this process against a server that accepts at once and sends its banner 3 s later; "
         "CPU is the checking thread's (`CLOCK_THREAD_CPUTIME_ID`) plus the lookup tool's, the whole check "
         "counted, lookup included. While it waits, the reply reader's turn asks the watchdog, yields once and "
         "then sleeps in `poll` until the socket has news or the next watchdog tick is due (every 1 s with "
         "timeout 10), so the thread wakes a few times in those 3 s; the last row is, for comparison, what a "
         "loop that wakes every 10 ms (the pump's longest idle pause, which a host's own yields still get) "
         "costs on this machine with no work at all.");
    Table targets({"target", "measured (worst round)", "result"});
    targets.add({"CPU / wall under 1 %", fixed(100 * worst, 3) + " %",
                 target("CPU while waiting 3 s for a banner", fixed(100 * worst, 3) + " %", "< 1 %", worst < 0.01)});
    std::printf("\n");
    targets.print();

    silent_server_wakeups();
}

// ---- over a slow link -----------------------------------------------------

// One round trip on this link: the time a TCP connect takes (SYN out,
// SYN-ACK back) to a server that is listening.
double connect_round_trip_ms(const char* address)
{
    Samples rtt;
    for (int i = 0; i < 5; ++i) {
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(25);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        const auto t0 = Clock::now();
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
            fail(errno, std::string("connect ") + address);
        rtt.add(ms_between(t0, Clock::now()));
    }
    return rtt.median();
}

void wide_area(int one_way_ms, int rounds)
{
    heading("5. Over a wide-area link: " + std::to_string(one_way_ms) + " ms added to every loopback packet");
    verimex::test::SmtpPeer peer(wan_address, instant_server());
    const double rtt = connect_round_trip_ms(wan_address);
    const std::string email = "someone@wan.bench.test";
    const std::string tool = verimex::platform::posix::lookup_helper();
    Series ref, lib;
    Samples whole;
    int whole_verified = 0;
    for (int round = -1; round < rounds; ++round) {
        const Phases r = reference_check(tool, email);
        const Phases p = library_phases(email);
        const Whole w = library_check(email);
        if (round < 0)
            continue;
        ref.add(r);
        lib.add(p);
        whole.add(w.wall_ms);
        whole_verified += w.returnvar == verimex::texts::verified ? 1 : 0;
    }
    const double floor5 = 5 * rtt;
    const double floor6 = 6 * rtt;
    const auto n = std::to_string(rounds);
    Table t({"client", "lookup ms", "dialog ms", "whole check ms", "verified", "over the floor (5 RTT)",
             "over 6 RTT"});
    t.add({"floor: lookup RTT + connect + 3 RTT", fixed(rtt, 1), fixed(4 * rtt, 1), fixed(floor5, 1), "", "", ""});
    t.add({"blocking reference client", fixed(ref.lookup.median(), 1), fixed(ref.dialog.median(), 1),
           fixed(ref.total.median(), 1), std::to_string(ref.verified) + "/" + n,
           "+" + fixed(ref.total.median() - floor5, 1) + " ms", "+" + fixed(ref.total.median() - floor6, 1) + " ms"});
    t.add({"verimex, phase by phase (runlookup, probe)", fixed(lib.lookup.median(), 1), fixed(lib.dialog.median(), 1),
           fixed(lib.total.median(), 1), std::to_string(lib.verified) + "/" + n,
           "+" + fixed(lib.total.median() - floor5, 1) + " ms", "+" + fixed(lib.total.median() - floor6, 1) + " ms"});
    t.add({"verimex `check()`", "", "", fixed(whole.median(), 1), std::to_string(whole_verified) + "/" + n,
           "+" + fixed(whole.median() - floor5, 1) + " ms", "+" + fixed(whole.median() - floor6, 1) + " ms"});
    t.print();
    note("Medians over " + n + " rounds. RTT is measured here as the time of a TCP connect over the link: " +
         fixed(rtt, 1) +
         " ms. The floor is the least a check needs on this link: the MX query's round trip, the connect, "
         "and the three exchanges (banner, `helo`, `vrfy`; the banner is one round trip after the connect "
         "because the server learns of the connection from the client's ACK). Both clients also need the "
         "mail exchanger's address "
         "before they can connect, since the lookup tool prints host names only: one more round trip (A and "
         "AAAA go out together), hence the last column.");
}

int usage()
{
    std::fprintf(stderr, "usage: check_bench latency [ROUNDS] | waiting [ROUNDS] | wan ONE_WAY_MS [ROUNDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    if (!std::getenv("VERIMEX_NETNS")) {
        std::fprintf(stderr, "check_bench: run it inside tests/netns/run --zones bench/bench.zones\n");
        return 77;
    }
    const std::string mode = argv[1];
    try {
        if (mode == "latency") {
            const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
            heading("1. Latency of one check against instant local servers");
            verimex::test::SmtpPeer instant(instant_address, instant_server());
            const Latency l = measure_latency("someone@instant.bench.test", rounds, 10);
            latency_table(l, rounds);
            return 0;
        }
        if (mode == "waiting") {
            cpu_while_waiting(argc > 2 ? std::atoi(argv[2]) : 3);
            return 0;
        }
        if (mode == "wan" && argc > 2) {
            const int rounds = argc > 3 ? std::atoi(argv[3]) : 10;
            wide_area(std::atoi(argv[2]), rounds);
            return 0;
        }
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "check_bench: %s\n", e.what());
        return 1;
    }
}
