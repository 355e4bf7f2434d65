// check against everything a stranger's server, a DNS answer, a lookup tool
// or a careless host can throw at it, end to end in the private network
// (zones in netns/hostile.zones; the test plays the mail and DNS servers on
// 127.0.0.100-149). For every case: check returns within its bound, the
// result and the transcript show what came, no descriptor stays open and,
// where a case could pile data up, memory stays bounded.
//
// The bound for a mail server is the watchdog's: the flag rises on the
// eleventh tick, 1.1 x timeout after the start, and everything the dialog
// does after that returns at once. The lookup is not under the watchdog: its
// bound is the lookup tool's own (the bundled helper ends within 8 s).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "support/golden.h"
#include "lookup/runlookup.h"
#include "lookup_fixtures.h"
#include "platform/posix/fd.h"
#include "platform/posix/process.h"
#include "support/fake_lookup.h"
#include "support/processes.h"
#include "support/spawn.h"
#include "support/sanitized.h"
#include "support/smtp_peer.h"
#include "verimex/quoverimex.h"
#include "watchdog/form1.h"

namespace verimex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::posix::Fd;
using test::PeerConnection;
using test::SmtpPeer;
using Clock = std::chrono::steady_clock;
using test::Hosts;

constexpr const char* from = "prober.hostile.test";

// What a case may take beyond its own bound: thread scheduling, the lookup
// and the sends after the watchdog fired. Sanitized builds run several times
// slower, so they get more; either way a hang shows as many seconds over.
constexpr auto margin = VERIMEX_TEST_SANITIZED ? 3000ms : 1000ms;

// The watchdog's bound for a check with this timeout.
std::chrono::milliseconds bound(int timeout)
{
    return std::chrono::milliseconds(timeout * 1100) + margin;
}

// The bundled helper's own limit on one lookup, whatever its DNS server does.
constexpr auto helper_limit = 8s;

// Waits (boundedly) for something a peer thread does after check returned.
template <class Predicate>
bool eventually(Predicate done)
{
    for (const auto until = Clock::now() + 5s; Clock::now() < until; std::this_thread::sleep_for(5ms))
        if (done())
            return true;
    return done();
}

// The process's resident size, sampled every few milliseconds on a thread
// of its own for as long as it lives: the peak of one stretch of work, which
// getrusage's lifetime peak cannot give.
class RssSampler {
public:
    RssSampler() : start_(current_kib()), peak_(start_)
    {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                const long now = current_kib();
                if (now > peak_.load())
                    peak_.store(now);
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~RssSampler() { stop(); }
    RssSampler(const RssSampler&) = delete;
    RssSampler& operator=(const RssSampler&) = delete;

    // Stops sampling; the growth over the start, in KiB.
    long stop()
    {
        if (thread_.joinable()) {
            stop_.store(true);
            thread_.join();
        }
        return std::max(peak_.load(), current_kib()) - start_;
    }

private:
    static long current_kib()
    {
        std::ifstream statm("/proc/self/statm");
        long size = 0, resident = 0;
        statm >> size >> resident;
        return resident * (::sysconf(_SC_PAGESIZE) / 1024);
    }

    const long start_;
    std::atomic<long> peak_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

long ms(Clock::duration d)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// The transcript of a dialog whose replies are given (an absent reply adds
// nothing, as when the watchdog fired while waiting for it).
std::string dialog(const std::string& host, const std::string& banner, const std::string& helo_reply,
                   const std::string& email, const std::string& vrfy_reply)
{
    return golden::telnet_line(host) + banner + golden::helo_line(from) + helo_reply + golden::vrfy_line(email) +
           vrfy_reply + golden::quit_line();
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
        // The first check on a thread makes its window, event loop and
        // resolver, which stay; descriptors are counted after that, so what
        // a case leaves open is the case's own.
        quoverimex warm;
        warm.from(from);
        warm.timeout(1);
        warm.email("user@refused.hostile.test");
        warm.check();
        ASSERT_EQ(warm.returnvar(), golden::could_not_connect());
        self.from(from);
        self.timeout(1);
        reap_lookup_children();
        descriptors_ = test::open_descriptors();
    }
    // Every case's servers, tools and connections are gone by now, and so
    // must be every descriptor the checks used.
    void TearDown() override
    {
        reap_lookup_children();
        EXPECT_EQ(test::open_descriptors(), descriptors_) << "a descriptor was left open";
    }

    // A lookup child holds a process descriptor of ours until it is reaped:
    // counts are taken once the tools have ended and been reaped.
    static void reap_lookup_children()
    {
        const Clock::time_point give_up = Clock::now() + 10s;
        while (platform::posix::unreaped_children() > 0 && Clock::now() < give_up) {
            platform::posix::reap_children();
            std::this_thread::sleep_for(2ms);
        }
    }

    // Runs check for email and returns how long it took; the time is also
    // recorded in the test's XML report under `what`.
    Clock::duration timed_check(const std::string& email, const char* what = "check_ms")
    {
        self.email(email);
        const Clock::time_point start = Clock::now();
        self.check();
        const Clock::duration took = Clock::now() - start;
        RecordProperty(what, std::to_string(ms(took)));
        return took;
    }

    quoverimex self;
    std::size_t descriptors_ = 0;
};

// ---------------------------------------------------------------------------
// Mail servers that misbehave: each a peer on its own address, and a check
// with timeout 1 (2 for the flood).

using HostileServer = Hostile;

TEST_F(HostileServer, NeverSendsABanner)
{
    SmtpPeer peer("127.0.0.100", test::silent());
    const Clock::duration took = timed_check("user@silent.hostile.test");
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(), dialog("mx.silent.hostile.test", "", "", "user@silent.hostile.test", ""));
    EXPECT_GE(took, 1100ms);
    EXPECT_LT(took, bound(1));
    // Told everything all the same, and let go.
    EXPECT_TRUE(eventually([&] { return peer.lines().size() == 3; }));
    EXPECT_EQ(peer.lines().back(), golden::quit_line());
}

TEST_F(HostileServer, SendsABannerAndCloses)
{
    SmtpPeer peer("127.0.0.101", [](PeerConnection& c) { c.send("220 mx.hangup going away\r\n"); });
    const Clock::duration took = timed_check("user@hangup.hostile.test");
    // Gone before vrfy without a refusal: the close ends every wait at once.
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
    EXPECT_EQ(self.smtp(),
              dialog("mx.hangup.hostile.test", "220 mx.hangup going away\r\n", "", "user@hangup.hostile.test", ""));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileServer, ClosesInTheMiddleOfAReply)
{
    // The first line of the verify reply is whole, the second is cut off by
    // the close: the reply is what came, as it came, and needs no watchdog.
    const std::string cut = "550-5.1.1 first line\r\n550 5.1.1 sec";
    SmtpPeer peer("127.0.0.102", [&](PeerConnection& c) {
        if (c.send("220 mx.cut\r\n") && c.read_line() && c.send("250 mx.cut\r\n") && c.read_line())
            c.send(cut);
    });
    const Clock::duration took = timed_check("user@cut.hostile.test");
    EXPECT_EQ(self.returnvar(), cut);
    EXPECT_EQ(self.smtp(),
              dialog("mx.cut.hostile.test", "220 mx.cut\r\n", "250 mx.cut\r\n", "user@cut.hostile.test", cut));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileServer, ResetsTheConnection)
{
    // Late enough that the connection has been made: the reset hits an
    // open connection, not the connect.
    SmtpPeer peer("127.0.0.103", [](PeerConnection& c) {
        if (c.pause(200ms))
            c.reset();
    });
    const Clock::duration took = timed_check("user@reset.hostile.test");
    // The reset ends the wait for the banner at once; nothing was said.
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
    EXPECT_EQ(self.smtp(), dialog("mx.reset.hostile.test", "", "", "user@reset.hostile.test", ""));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileServer, ResetsInTheMiddleOfAReply)
{
    // What arrived before the reset is still handed over: the reply is the
    // part that came.
    const std::string cut = "550-5.1.1 first line\r\n550 5.1.1 sec";
    SmtpPeer peer("127.0.0.104", [&](PeerConnection& c) {
        if (c.send("220 mx.resetmid\r\n") && c.read_line() && c.send("250 mx.resetmid\r\n") && c.read_line() &&
            c.send(cut))
            c.reset();
    });
    const Clock::duration took = timed_check("user@resetmid.hostile.test");
    EXPECT_EQ(self.returnvar(), cut);
    EXPECT_EQ(self.smtp(), dialog("mx.resetmid.hostile.test", "220 mx.resetmid\r\n", "250 mx.resetmid\r\n",
                                  "user@resetmid.hostile.test", cut));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileServer, SendsOneBytePerSecond)
{
    // The banner's line feed would come after 19 s; the watchdog fires long
    // before, and the part of the banner that came is dropped with the wait.
    SmtpPeer peer("127.0.0.105", [](PeerConnection& c) {
        for (char byte : std::string("220 mx.slow ESMTP\r\n"))
            if (!c.send(std::string(1, byte)) || !c.pause(1s))
                return;
        c.wait_for_close();
    });
    const Clock::duration took = timed_check("user@slow.hostile.test");
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(), dialog("mx.slow.hostile.test", "", "", "user@slow.hostile.test", ""));
    EXPECT_GE(took, 1100ms);
    EXPECT_LT(took, bound(1));
    EXPECT_GE(peer.bytes_sent(), 1u);
}

TEST_F(HostileServer, SendsTenMegabytesWithoutALineFeed)
{
    constexpr std::size_t ten_mb = std::size_t{10} << 20;
    self.timeout(2);
    SmtpPeer peer("127.0.0.106", test::stream_without_lf(64 * 1024, 0ms, ten_mb));
    RssSampler rss;
    const Clock::duration took = timed_check("user@flood.hostile.test");
    const long grown_kib = rss.stop();
    EXPECT_EQ(self.returnvar(), golden::timed_out(2));
    EXPECT_EQ(self.smtp(), dialog("mx.flood.hostile.test", "", "", "user@flood.hostile.test", ""));
    EXPECT_GE(took, 2200ms);
    EXPECT_LT(took, bound(2));
    // All of it was taken off the connection while waiting, none kept.
    EXPECT_EQ(peer.bytes_sent(), ten_mb);
    RecordProperty("rss_growth_kib", std::to_string(grown_kib));
#if !VERIMEX_TEST_SANITIZED
    // NOTE: sanitizers keep freed memory in quarantines and shadow maps of
    // their own; there the resident size says nothing about what we kept.
    EXPECT_LT(grown_kib, 4 * 1024) << "resident size grew by " << grown_kib << " KiB";
#endif
}

TEST_F(HostileServer, SendsNulBytesAndInvalidUtf8)
{
    using namespace std::string_literals;
    const std::string banner = "220 \0mx\xff\xfe binary\r\n"s;
    const std::string helo_reply = "250 \xc3\x28 \0ok\r\n"s;
    const std::string vrfy_reply = "550 5.1.1 \0\x80\xbf\xf8 unknown\r\n"s;
    SmtpPeer peer("127.0.0.107",
                  test::smtp_server({{banner}}, {{"helo", {{helo_reply}}}, {"vrfy", {{vrfy_reply}}}}));
    const Clock::duration took = timed_check("user@binary.hostile.test");
    // Byte for byte, NULs included.
    EXPECT_EQ(self.returnvar(), vrfy_reply);
    EXPECT_EQ(self.returnvar().size(), vrfy_reply.size());
    EXPECT_EQ(self.smtp(), dialog("mx.binary.hostile.test", banner, helo_reply, "user@binary.hostile.test",
                                  vrfy_reply));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileServer, Answers250ToHeloThenHangs)
{
    SmtpPeer peer("127.0.0.108", test::smtp_server({{"220 mx.helohang\r\n"}}, {{"helo", {{"250 mx\r\n"}}}},
                                                   /*otherwise*/ {{"", 1h}}));
    const Clock::duration took = timed_check("user@helohang.hostile.test");
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(),
              dialog("mx.helohang.hostile.test", "220 mx.helohang\r\n", "250 mx\r\n", "user@helohang.hostile.test",
                     ""));
    EXPECT_GE(took, 1100ms);
    EXPECT_LT(took, bound(1));
}

// A mail server whose accept queue is full: the kernel drops further
// connection attempts until the one waiting is taken, so a client's connect
// stays pending. It takes them only when told.
class FullListener {
public:
    explicit FullListener(const char* address)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(25);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        // Backlog 0 holds exactly one connection that was not accepted yet.
        if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listener_.get(), 0) != 0)
            throw std::system_error(errno, std::generic_category(), "listener");
        filler_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!filler_ || ::connect(filler_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            throw std::system_error(errno, std::generic_category(), "filler");
    }

    // Takes every connection waiting, which makes room for the next.
    int accept_all()
    {
        int n = 0;
        while (Fd fd{::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)}) {
            accepted_.push_back(std::move(fd));
            ++n;
        }
        return n;
    }

private:
    Fd listener_;
    Fd filler_;
    std::vector<Fd> accepted_;
};

TEST_F(HostileServer, AcceptsOnlyAfterTheTimeout)
{
    FullListener server("127.0.0.109");
    const Clock::duration took = timed_check("user@late.hostile.test");
    // The connection wait ends by the watchdog, and check returns at once.
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(), golden::telnet_line("mx.late.hostile.test"));
    EXPECT_GE(took, 1100ms);
    EXPECT_LT(took, bound(1));
    EXPECT_EQ(server.accept_all(), 1) << "only our own filler got through";

    // The socket was left connecting on purpose; the next check starts
    // it over and keeps no trace of it.
    EXPECT_EQ(test::open_descriptors(), descriptors_ + 4)
        << "listener, filler, its accepted end and the pending connect";
    self.nslookup("");
    timed_check("user@refused.hostile.test", "second_check_ms");
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
}

// ---------------------------------------------------------------------------
// DNS servers that misbehave, named as the lookup's server (the nslookup
// property), so the bundled helper asks them and nobody else.

namespace dns {

std::string u16(unsigned v)
{
    return {static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}

// A name from its labels, each written as it stands, whatever its bytes.
std::string name(const std::vector<std::string>& labels)
{
    std::string wire;
    for (const std::string& label : labels)
        wire.append(1, static_cast<char>(label.size())).append(label);
    return wire.append(1, '\0');
}

// The question section of a query: its name, type and class.
std::string question(const std::string& query)
{
    std::size_t at = 12;
    while (at < query.size() && query[at] != 0)
        at += 1 + static_cast<unsigned char>(query[at]);
    return query.substr(12, at + 1 + 4 - 12);
}

// An MX record for the queried name (a pointer to the question's name).
// rdlength, when given, replaces the true length of the data.
std::string mx(const std::string& exchange, std::optional<unsigned> rdlength = std::nullopt)
{
    const std::string data = u16(10) + exchange;
    return "\xc0\x0c" + u16(15) + u16(1) + u16(0) + u16(300) + u16(rdlength.value_or(data.size())) + data;
}

// The answer to query: its id, the flags (QR, RD, RA and any given), its
// question and `count` answer records.
std::string response(const std::string& query, unsigned count, const std::string& records, unsigned flags = 0)
{
    return query.substr(0, 2) + u16(0x8180 | flags) + u16(1) + u16(count) + u16(0) + u16(0) + question(query) +
           records;
}

}  // namespace dns

// A DNS server on address:53 that answers every query with what `answer`
// makes of it; an empty answer is no answer at all. Over UDP an answer
// longer than 512 bytes goes out as a truncated one (header and question,
// TC set), as real servers do; with `tcp` the full answer is then served
// over TCP on the same address.
class DnsServer {
public:
    using Answer = std::function<std::string(const std::string& query)>;

    DnsServer(const char* address, Answer answer, bool tcp = false) : answer_(std::move(answer))
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        udp_ = Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!udp_ || ::bind(udp_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            throw std::system_error(errno, std::generic_category(), std::string("dns server on ") + address);
        if (tcp) {
            tcp_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (!tcp_ || ::bind(tcp_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                ::listen(tcp_.get(), 4) != 0)
                throw std::system_error(errno, std::generic_category(), std::string("dns server on ") + address);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~DnsServer()
    {
        stop_.store(true);
        thread_.join();
    }
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    int queries() const { return queries_.load(); }

private:
    void serve()
    {
        while (!stop_.load()) {
            pollfd p[2] = {{udp_.get(), POLLIN, 0}, {tcp_ ? tcp_.get() : -1, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0)
                continue;
            if (p[0].revents)
                serve_udp();
            if (p[1].revents)
                serve_tcp();
        }
    }

    void serve_udp()
    {
        char buffer[4096];
        sockaddr_in client{};
        socklen_t length = sizeof client;
        const ssize_t n =
            ::recvfrom(udp_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client), &length);
        if (n < 12)
            return;
        ++queries_;
        const std::string query(buffer, static_cast<std::size_t>(n));
        std::string reply = answer_(query);
        if (reply.size() > 512)
            reply = dns::response(query, 0, "", 0x0200);
        if (!reply.empty())
            ::sendto(udp_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&client), length);
    }

    // One query per connection: a 2-byte length, then the message.
    void serve_tcp()
    {
        const Fd c(::accept4(tcp_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!c)
            return;
        const timeval wait{1, 0};
        ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string in;
        char buffer[4096];
        const auto framed_size = [&] {
            return 2 + (std::size_t{static_cast<unsigned char>(in[0])} << 8 | static_cast<unsigned char>(in[1]));
        };
        while (in.size() < 2 || in.size() < framed_size()) {
            const ssize_t n = ::recv(c.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            in.append(buffer, static_cast<std::size_t>(n));
        }
        ++queries_;
        const std::string reply = answer_(in.substr(2));
        const std::string framed = dns::u16(static_cast<unsigned>(reply.size())) + reply;
        ::send(c.get(), framed.data(), framed.size(), MSG_NOSIGNAL);
    }

    Answer answer_;
    Fd udp_;
    Fd tcp_;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

using HostileDns = Hostile;

TEST_F(HostileDns, ServerThatNeverAnswersEndsTheLookupWithinTheHelpersBound)
{
    DnsServer silent("127.0.0.120", [](const std::string&) { return std::string(); });
    self.nslookup("127.0.0.120");
    const Clock::duration took = timed_check("user@input.hostile.test");
    // The helper gave up and printed nothing: no mail server to ask.
    EXPECT_EQ(self.returnvar(), golden::no_mail_server());
    EXPECT_EQ(self.nslookup(), "");
    EXPECT_EQ(self.smtp(), "");
    EXPECT_GE(silent.queries(), 1);
    // Past the watchdog's 1.1 s: the lookup is bounded by the helper alone.
    EXPECT_LT(took, helper_limit + margin);
}

struct BrokenAnswer {
    const char* name;
    const char* server;
    DnsServer::Answer answer;
};

// A failure names the case, not the bytes of its parameter.
void PrintTo(const BrokenAnswer& answer, std::ostream* out)
{
    *out << answer.name;
}

class BrokenDnsAnswer : public Hostile, public ::testing::WithParamInterface<BrokenAnswer> {};

TEST_P(BrokenDnsAnswer, GivesNoHostWithinTheHelpersBound)
{
    DnsServer server(GetParam().server, GetParam().answer);
    self.nslookup(GetParam().server);
    const Clock::duration took = timed_check("user@input.hostile.test");
    EXPECT_EQ(self.returnvar(), golden::no_mail_server());
    EXPECT_EQ(self.nslookup(), "");
    EXPECT_EQ(self.smtp(), "");
    EXPECT_GE(server.queries(), 1);
    EXPECT_LT(took, helper_limit + margin);

    // check sees only what the helper printed, which is nothing whether it
    // turned the answer down or crashed on it. By itself, it must have said
    // why in one line of its own and failed the lookup: a crash, or in the
    // sanitizer builds a report of one, is more on stderr or a signal.
    const test::ToolRun end = test::run_program(std::string(VERIMEX_BIN_DIR) + "/verimex-nslookup",
                                                {"-q=mx", "input.hostile.test", GetParam().server});
    EXPECT_EQ(end.status, 1) << end.err;
    EXPECT_TRUE(end.err.starts_with("verimex-nslookup: input.hostile.test: ")) << end.err;
    EXPECT_EQ(std::count(end.err.begin(), end.err.end(), '\n'), 1) << end.err;
}

const std::string mx_input = dns::name({"mx", "input", "hostile", "test"});

INSTANTIATE_TEST_SUITE_P(
    Answers, BrokenDnsAnswer,
    ::testing::Values(
        // Says one record follows, and ends in the middle of it.
        BrokenAnswer{"CutInsideTheRecord", "127.0.0.121",
                     [](const std::string& q) { return dns::response(q, 1, dns::mx(mx_input).substr(0, 7)); }},
        // The record claims more data than the packet holds.
        BrokenAnswer{"RecordLongerThanThePacket", "127.0.0.122",
                     [](const std::string& q) { return dns::response(q, 1, dns::mx(mx_input, 400)); }},
        // The mail exchanger's name points at itself.
        BrokenAnswer{"NameThatPointsAtItself", "127.0.0.123",
                     [](const std::string& q) {
                         // The name starts after the header, the question,
                         // the record's fixed part and the preference.
                         const std::size_t at = 12 + dns::question(q).size() + 12 + 2;
                         return dns::response(q, 1, dns::mx("\xc0" + std::string(1, static_cast<char>(at)), 4));
                     }},
        // Truncated over UDP, and nothing takes the retry over TCP.
        BrokenAnswer{"TruncatedWithNoTcpToRetryOn", "127.0.0.124",
                     [](const std::string& q) { return dns::response(q, 0, "", 0x0200); }},
        // Twelve bytes of header and nothing else.
        BrokenAnswer{"HeaderOnly", "127.0.0.125",
                     [](const std::string& q) { return q.substr(0, 2) + dns::u16(0x8180) + std::string(8, '\0'); }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HostileDns, HostileNamesStayOneRecordPerLine)
{
    using namespace std::string_literals;
    // Names DNS can carry and no mail exchanger should have: line breaks,
    // a NUL, a blank and "mail exchanger = " inside a label, a 63-byte label.
    DnsServer server("127.0.0.126", [](const std::string& q) {
        const std::vector<std::vector<std::string>> names = {
            {"a\r\nb", "hostile", "test"},
            {"nul\0byte"s, "hostile", "test"},
            {"x mail exchanger = y", "hostile", "test"},
            {std::string(63, 'z'), "hostile", "test"},
            {"127", "0", "0", "110"},
        };
        std::string records;
        for (const auto& n : names)
            records += dns::mx(dns::name(n));
        return dns::response(q, static_cast<unsigned>(names.size()), records);
    });
    self.nslookup("127.0.0.126");
    const Clock::duration took = timed_check("user@input.hostile.test");

    // Every record on a line of its own: the helper writes the odd bytes of
    // a name as escapes, never as raw line breaks or NULs.
    const std::string& out = self.nslookup();
    RecordProperty("lookup_output", out);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = out.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
    EXPECT_EQ(lines, 5u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
    EXPECT_EQ(out.find('\0'), std::string::npos);

    // The blank-and-marker name gives two hosts: the scanner takes text,
    // and the marker inside a name is text like any other. None of these
    // names resolves, the last is refused, and the list ends.
    const Hosts hosts = test::hosts_in(out);
    ASSERT_EQ(hosts.size(), 6u) << out;
    EXPECT_EQ(hosts[2], "x mail exchanger = y.hostile.test");
    EXPECT_EQ(hosts[3], "y.hostile.test");
    EXPECT_EQ(hosts[4], std::string(63, 'z') + ".hostile.test");
    EXPECT_EQ(hosts[5], "127.0.0.110");
    std::string expected;
    for (const std::string& host : hosts)
        expected += golden::telnet_line(host) + golden::connect_error_line(host);
    EXPECT_EQ(self.smtp(), expected);
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
    EXPECT_LT(took, bound(1));
}

TEST_F(HostileDns, AnswerWithHundredsOfRecordsIsReadOnlyUpToTheLimit)
{
    // Too long for UDP: the helper asks again over TCP and gets it whole.
    constexpr unsigned count = 300;
    DnsServer server(
        "127.0.0.127",
        [](const std::string& q) {
            std::string records;
            for (unsigned i = 0; i < count; ++i)
                records += dns::mx(dns::name({"127", "0", "0", "110"}));
            return dns::response(q, count, records);
        },
        /*tcp*/ true);
    self.nslookup("127.0.0.127");
    const Clock::duration took = timed_check("user@input.hostile.test");
    // "input.hostile.test\tmail exchanger = 127.0.0.110\r\n" is 49 bytes: the
    // first 1000 hold 20 whole records, and the cut one is not probed.
    const std::string record = "input.hostile.test\tmail exchanger = 127.0.0.110\r\n";
    EXPECT_EQ(self.nslookup().size(), lookup_read_limit);
    const std::size_t whole = lookup_read_limit / record.size();
    EXPECT_EQ(test::hosts_in(self.nslookup()), Hosts(whole, "127.0.0.110"));
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
    EXPECT_GE(server.queries(), 2) << "once over UDP, once over TCP";
    EXPECT_LT(took, bound(1));
}

// ---------------------------------------------------------------------------
// Lookup tools on the fallback path (found on PATH, as when the bundled
// helper is missing) that misbehave.

class HostileTool : public Hostile {
protected:
    void SetUp() override
    {
        Hostile::SetUp();
        platform::posix::override_lookup_helper("");
    }
    void TearDown() override
    {
        platform::posix::override_lookup_helper(nullptr);
        Hostile::TearDown();
    }

    // The only folder searched: a tool missing or refused there must not
    // be replaced by a system nslookup further on.
    test::ToolFolder tools_;
};

TEST_F(HostileTool, PrintingAMegabyteIsReadOnlyUpToTheLimit)
{
    // A megabyte of BIND-style records, all for a host that refuses.
    const std::string record = "input.hostile.test\tmail exchanger = 10 127.0.0.110.\n";
    std::string megabyte;
    while (megabyte.size() < (std::size_t{1} << 20))
        megabyte += record;
    const fs::path big = tools_.file("big.txt", megabyte);
    tools_.script("nslookup", "exec /bin/cat '" + big.string() + "'");
    const Clock::duration took = timed_check("user@input.hostile.test");

    // 1000 bytes read; LF made CR LF, the preference and the dot dropped;
    // the record cut at the limit is not probed.
    const std::size_t whole = lookup_read_limit / record.size();
    std::string shaped;
    for (std::size_t i = 0; i < whole; ++i)
        shaped += "input.hostile.test\tmail exchanger = 127.0.0.110\r\n";
    EXPECT_EQ(self.nslookup().substr(0, shaped.size()), shaped);
    EXPECT_EQ(test::hosts_in(self.nslookup()), Hosts(whole, "127.0.0.110"));
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
    EXPECT_LT(took, bound(1));
    // The tool was not waited for; it ends on its own once its pipe is gone.
    reap_lookup_children();
    EXPECT_EQ(platform::posix::unreaped_children(), 0u);
}

TEST_F(HostileTool, ExitingAtOnceGivesNoHost)
{
    for (const char* script : {"exit 0", "exit 3", "kill -KILL $$"}) {
        tools_.script("nslookup", script);
        self.nslookup("");
        const Clock::duration took = timed_check("user@input.hostile.test");
        EXPECT_EQ(self.returnvar(), golden::no_mail_server()) << script;
        EXPECT_EQ(self.nslookup(), "") << script;
        EXPECT_EQ(self.smtp(), "") << script;
        EXPECT_LT(took, bound(0)) << script;
    }
}

TEST_F(HostileTool, NotExecutableIsAFailedStart)
{
    tools_.script("nslookup", "echo never", /*executable*/ false);
    self.nslookup("10.0.0.1");  // kept: a failed lookup leaves it alone
    const Clock::duration took = timed_check("user@input.hostile.test");
    EXPECT_EQ(self.returnvar(), golden::start_failed(EACCES));
    EXPECT_EQ(self.nslookup(), "10.0.0.1");
    EXPECT_EQ(self.smtp(), "");
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileTool, ThousandChecksLeaveNoZombieAndNoDescriptor)
{
    // The bundled helper and the three bad tools in turn, each run by its
    // absolute path as the program for the word "nslookup".
    const fs::path big = tools_.file("junk.txt", std::string(std::size_t{1} << 20, 'j'));
    const std::vector<std::optional<fs::path>> programs = {
        std::nullopt,  // the bundled helper
        tools_.script("megabyte", "exec /bin/cat '" + big.string() + "'"),
        tools_.script("quitter", "exit 0"),
        tools_.script("refused", "echo never", /*executable*/ false),
    };
    RssSampler rss;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        const std::optional<fs::path>& program = programs[static_cast<std::size_t>(i) % programs.size()];
        platform::posix::override_lookup_helper(program ? program->c_str() : nullptr);
        self.nslookup("");
        self.smtp("");
        self.email("user@nomx.hostile.test");
        self.check();
        ASSERT_TRUE(self.returnvar() == golden::no_mail_server() || self.returnvar() == golden::start_failed(EACCES))
            << "check " << i << ": " << self.returnvar();
        ASSERT_EQ(self.smtp(), "") << "check " << i;
        // Reaped at every lookup and yield: never more than a few pending.
        ASSERT_LE(platform::posix::unreaped_children(), 20u) << "check " << i;
    }
    RecordProperty("thousand_checks_ms", std::to_string(ms(Clock::now() - start)));
    RecordProperty("rss_growth_kib", std::to_string(rss.stop()));
    reap_lookup_children();
    EXPECT_EQ(platform::posix::unreaped_children(), 0u);
    EXPECT_EQ(test::our_children(), std::vector<pid_t>{}) << "no zombie and no tool left running";
    // Once reaped, the children's process descriptors are gone too.
    EXPECT_EQ(test::open_descriptors(), descriptors_);
}

// ---------------------------------------------------------------------------
// Property values a careless or hostile host may set: a megabyte of text,
// control characters, "@" anywhere, text that is not ASCII or not UTF-8.

class HostileInput : public Hostile {
protected:
    void SetUp() override
    {
        Hostile::SetUp();
        self.timeout(2);
        peer_.emplace("127.0.0.111", test::smtp_server({{"220 mx.input\r\n"}}, {{"helo", {{"250 mx.input\r\n"}}},
                                                                              {"vrfy", {{unknown}}}}));
    }
    void TearDown() override
    {
        peer_.reset();
        Hostile::TearDown();
    }

    // The whole dialog with the input server, rejected.
    std::string rejected(const std::string& email) const
    {
        return golden::telnet_line("mx.input.hostile.test") + "220 mx.input\r\n" + golden::helo_line(self.from()) +
               "250 mx.input\r\n" + golden::vrfy_line(email) + unknown + golden::quit_line();
    }
    // The commands the server received, once it has all three.
    std::vector<std::string> commands()
    {
        eventually([&] { return peer_->lines().size() >= 3; });
        return peer_->lines();
    }

    static constexpr const char* unknown = "550 5.1.1 unknown\r\n";
    std::optional<SmtpPeer> peer_;
};

const std::string megabyte(std::size_t{1} << 20, 'm');

TEST_F(HostileInput, MegabyteLocalPartIsSentWhole)
{
    const std::string email = megabyte + "@input.hostile.test";
    RssSampler rss;
    const Clock::duration took = timed_check(email);
    const long grown_kib = rss.stop();
    EXPECT_EQ(self.returnvar(), unknown);
    EXPECT_EQ(self.smtp(), rejected(email));
    EXPECT_EQ(commands().at(1), golden::vrfy_line(email));
    EXPECT_LT(took, bound(0));
    RecordProperty("rss_growth_kib", std::to_string(grown_kib));
}

TEST_F(HostileInput, MegabyteFromIsSentWhole)
{
    self.from(megabyte);
    const Clock::duration took = timed_check("user@input.hostile.test");
    EXPECT_EQ(self.returnvar(), unknown);
    EXPECT_EQ(self.smtp(), rejected("user@input.hostile.test"));
    EXPECT_EQ(commands().at(0), golden::helo_line(megabyte));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileInput, MegabyteDomainIsMoreThanTheSystemPassesToAProgram)
{
    // One argument may hold at most 128 KiB: the start fails with E2BIG.
    const Clock::duration took = timed_check("user@" + megabyte);
    EXPECT_EQ(self.returnvar(), golden::start_failed(E2BIG));
    EXPECT_EQ(self.nslookup(), "");
    EXPECT_EQ(self.smtp(), "");
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileInput, MegabyteServerNameIsMoreThanTheSystemPassesToAProgram)
{
    self.nslookup(megabyte);
    const Clock::duration took = timed_check("user@input.hostile.test");
    EXPECT_EQ(self.returnvar(), golden::start_failed(E2BIG));
    // Kept, and scanned: no record in it.
    EXPECT_EQ(self.nslookup(), megabyte);
    EXPECT_EQ(self.smtp(), "");
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileInput, MegabyteOfRecordsLeftInTheServerNameEnds)
{
    // A failed lookup leaves the property as the host set it, and the
    // scanner reads that: here a megabyte of records for a host that
    // refuses, ending in one word too long to pass to a program, so that
    // the lookup does fail. Some 35,000 hosts to probe.
    //
    // NOTE: the watchdog bounds this only through the probes whose connect
    // takes a turn of the connection wait. A refusal that connect() reports
    // at once (as loopback often does) asks no watchdog, so a list of such
    // hosts is bounded by its length alone: a second or two for this one.
    // A list the lookup wrote is cut at 1000 bytes, a few dozen hosts; only
    // the host's own text can be this long.
    const std::string record = "mail exchanger = 127.0.0.110\r\n";
    std::size_t count = 0;
    std::string server;
    for (; server.size() < (std::size_t{1} << 20); ++count)
        server += record;
    server += std::string(200 * 1024, 'x');
    self.nslookup(server);
    self.timeout(1);
    RssSampler rss;
    const Clock::duration took = timed_check("user@input.hostile.test");
    RecordProperty("rss_growth_kib", std::to_string(rss.stop()));
    RecordProperty("hosts", std::to_string(count));

    EXPECT_EQ(self.nslookup(), server);
    const bool timed_out = self.returnvar() == golden::timed_out(1);
    EXPECT_TRUE(timed_out || self.returnvar() == golden::could_not_connect()) << self.returnvar();
    // Whole probes of two lines each; after a timeout, the "telnet: " line
    // of the host whose connect the watchdog ended.
    const std::string one = golden::telnet_line("127.0.0.110") + golden::connect_error_line("127.0.0.110");
    const std::size_t probed = self.smtp().size() / one.size();
    RecordProperty("probed", std::to_string(probed));
    std::string expected;
    for (std::size_t i = 0; i < probed; ++i)
        expected += one;
    if (timed_out)
        expected += golden::telnet_line("127.0.0.110");
    else
        EXPECT_EQ(probed, count);
    EXPECT_EQ(self.smtp(), expected);
    EXPECT_LT(took, 20s) << "ends";
}

TEST_F(HostileInput, ControlCharactersAreSentAsTheyAre)
{
    const std::string email = "us\x01\x1b[0m\x7f\ter@input.hostile.test";
    self.from("pro\x08\x1f\x7f" "ber");
    timed_check(email);
    EXPECT_EQ(self.returnvar(), unknown);
    EXPECT_EQ(self.smtp(), rejected(email));
    EXPECT_EQ(commands().at(0), golden::helo_line(self.from()));
    EXPECT_EQ(commands().at(1), golden::vrfy_line(email));
}

TEST_F(HostileInput, ControlCharactersInTheDomainOrServerFindNothing)
{
    // Refused in the domain; in the host's own server setting it goes to
    // the lookup, which finds nothing.
    const std::string refused(golden::invalid_email());
    const std::string nothing(golden::no_mail_server());
    for (const auto& [email, server, result] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"user@in\x01put.hostile.test", "", refused},
             {"user@input.hostile.test", "127.0.0.1\x01\x7f", nothing},
             {"user@input.hostile.test", "127.0.0.1\r\n", nothing},
         }) {
        self.nslookup(server);
        const Clock::duration took = timed_check(email);
        EXPECT_EQ(self.returnvar(), result) << email << " / " << server;
        EXPECT_EQ(self.nslookup(), "");
        EXPECT_EQ(self.smtp(), "");
        EXPECT_LT(took, bound(0));
    }
    EXPECT_EQ(peer_->connections(), 0);
}

struct AtCase {
    const char* name;
    const char* email;
    bool probed;  // the domain has the input server as its mail exchanger
};

void PrintTo(const AtCase& at, std::ostream* out)
{
    *out << at.name;
}

class AtSigns : public HostileInput, public ::testing::WithParamInterface<AtCase> {};

TEST_P(AtSigns, DomainIsWhatFollowsTheFirstAt)
{
    const std::string email = GetParam().email;
    const Clock::duration took = timed_check(email);
    if (GetParam().probed) {
        EXPECT_EQ(self.returnvar(), unknown);
        EXPECT_EQ(self.smtp(), rejected(email));
    } else {
        EXPECT_EQ(self.returnvar(), golden::no_mail_server());
        EXPECT_EQ(self.smtp(), "");
    }
    EXPECT_LT(took, bound(0));
}

INSTANTIATE_TEST_SUITE_P(Addresses, AtSigns,
                         ::testing::Values(AtCase{"AtStart", "@input.hostile.test", true},
                                           AtCase{"AtEnd", "user@", false},
                                           AtCase{"AtOnly", "@", false},
                                           AtCase{"Empty", "", false},
                                           AtCase{"NoAt", "input.hostile.test", true},
                                           AtCase{"TwoAts", "a@b@input.hostile.test", false},
                                           AtCase{"TwoAtsInARow", "user@@input.hostile.test", false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(HostileInput, NonAsciiTextIsUtf8OnTheWire)
{
    // The domain is asked for in its ASCII form; the address and the name
    // go to the server as the host gave them.
    const std::string email = "j\xc3\xb6rg@b\xc3\xbc" "cher.hostile.test";
    self.from("pr\xc3\xbc" "fer.hostile.test");
    const Clock::duration took = timed_check(email);
    EXPECT_EQ(self.returnvar(), unknown);
    EXPECT_EQ(self.smtp(), rejected(email));
    EXPECT_EQ(commands().at(1), golden::vrfy_line(email));
    EXPECT_LT(took, bound(0));
}

TEST_F(HostileInput, NonAsciiOrInvalidUtf8WhereANameBelongsFindsNothing)
{
    for (const auto& [email, server] : std::vector<std::pair<std::string, std::string>>{
             {"user@\xff\xfe.hostile.test", ""},
             {"user@input.hostile.test", "\xc3\xb1.hostile.test"},
             {"user@input.hostile.test", "\xc0\xaf"},
         }) {
        self.nslookup(server);
        const Clock::duration took = timed_check(email);
        EXPECT_EQ(self.returnvar(), golden::no_mail_server()) << server;
        EXPECT_EQ(self.nslookup(), "");
        EXPECT_EQ(self.smtp(), "");
        EXPECT_LT(took, bound(0));
    }
}

}  // namespace
}  // namespace verimex
