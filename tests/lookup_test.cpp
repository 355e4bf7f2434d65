// The lookup runner and the lookup tools, for real: the bundled helper and
// BIND's nslookup against the test dnsmasq (tests/netns/zones.conf and
// lookup.zones), and the runner with small fake tools on a private search
// list. Runs inside tests/netns/run; the DNS cases skip anywhere else so
// that no query leaves the machine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/golden.h"
#include "lookup/runlookup.h"
#include "lookup_fixtures.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/posix/fd.h"
#include "platform/posix/process.h"
#include "platform/posix/spawn.h"
#include "platform/process.h"
#include "support/fake_lookup.h"
#include "support/processes.h"
#include "support/spawn.h"
#include "verimex/quoverimex.h"

extern char** environ;

namespace verimex {
namespace {

using namespace std::chrono_literals;
using platform::posix::Fd;
using test::Hosts;
using test::hosts_in;
using Clock = std::chrono::steady_clock;

constexpr const char* fake_tool_role = "VERIMEX_FAKE_TOOL";

// ---------------------------------------------------------------------------
// This binary doubles as a fake lookup tool: started with VERIMEX_FAKE_TOOL
// set, it reports what it inherited, in one write, and ends before any test
// runs.

std::string link_target(const std::string& path)
{
    char buffer[512];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("?");
}

// "0 /dev/null\n1 pipe:[123]\n..." for every open descriptor, then the
// blocked and ignored signal masks from /proc/self/status.
[[noreturn]] void act_as_inheritance_reporter()
{
    std::string report;
    DIR* dir = ::opendir("/proc/self/fd");
    const int own = dir ? ::dirfd(dir) : -1;
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
            continue;
        report += std::string(entry->d_name) + " " + link_target(std::string("/proc/self/fd/") + entry->d_name) + "\n";
    }
    if (dir)
        ::closedir(dir);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0)
            report += line + "\n";
    [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, report.data(), report.size());
    ::_exit(0);
}

[[maybe_unused]] const bool fake_tool_checked = [] {
    if (const char* role = std::getenv(fake_tool_role); role && std::string_view(role) == "inheritance")
        act_as_inheritance_reporter();
    return true;
}();

// ---------------------------------------------------------------------------
// Shared helpers

bool in_test_network() { return std::getenv("VERIMEX_NETNS") != nullptr; }

#define REQUIRE_TEST_NETWORK()                                                   \
    do {                                                                         \
        if (!in_test_network())                                                  \
            GTEST_SKIP() << "DNS cases run only inside tests/netns/run";         \
    } while (0)

const std::string helper_path = std::string(VERIMEX_BIN_DIR) + "/verimex-nslookup";

struct Lookup {
    quoverimex object;
    Hosts hosts() const { return hosts_in(object.nslookup()); }
};

// Runs command the way check() does, with returnvar already on the
// no-mail-server text and nslookup holding `before`.
Lookup run_lookup(const std::string& command, const std::string& before = "")
{
    Lookup l;
    l.object.nslookup(before);
    l.object.returnvar(golden::no_mail_server());
    runlookup(l.object, command);
    return l;
}

// Which program answers the word "nslookup", for one scope.
class ScopedHelper {
public:
    explicit ScopedHelper(const char* path) { platform::posix::override_lookup_helper(path); }
    ~ScopedHelper() { platform::posix::override_lookup_helper(nullptr); }
    ScopedHelper(const ScopedHelper&) = delete;
    ScopedHelper& operator=(const ScopedHelper&) = delete;
};

// ---------------------------------------------------------------------------
// The helper run directly: exit status, stdout and stderr.


test::ToolRun run_helper(const std::vector<std::string>& args)
{
    return test::run_program(helper_path, args);
}

Fd udp_socket(int family, const sockaddr* address, socklen_t length)
{
    Fd s(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s)
        throw std::system_error(errno, std::generic_category(), "socket");
    if (::bind(s.get(), address, length) != 0)
        throw std::system_error(errno, std::generic_category(), "bind");
    return s;
}

// A DNS server that takes queries on address:53 and never answers.
Fd silent_server(const char* address)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return udp_socket(AF_INET, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Passes queries that arrive on address:53 (IPv4 or IPv6) to the test
// dnsmasq on 127.0.0.1:53 and the answers back, so the helper can be shown
// an IPv6 server, or one that loses the first `lost` queries the way a busy
// name server with a full receive buffer does.
class Relay {
public:
    explicit Relay(const char* address, int lost = 0) : lost_(lost)
    {
        sockaddr_storage a{};
        socklen_t length = 0;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        if (::inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(53);
            length = sizeof *v4;
        } else if (::inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(53);
            length = sizeof *v6;
        } else {
            throw std::invalid_argument(std::string("not an address: ") + address);
        }
        listener_ = udp_socket(a.ss_family, reinterpret_cast<sockaddr*>(&a), length);
        thread_ = std::thread([this] { serve(); });
    }
    ~Relay()
    {
        stop_ = true;
        thread_.join();
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    int relayed() const { return relayed_; }
    int dropped() const { return dropped_; }

private:
    void serve()
    {
        sockaddr_in up{};
        up.sin_family = AF_INET;
        up.sin_port = htons(53);
        up.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            unsigned char buffer[4096];
            sockaddr_storage client{};
            socklen_t length = sizeof client;
            const ssize_t n =
                ::recvfrom(listener_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client), &length);
            if (n <= 0)
                continue;
            if (dropped_ < lost_) {
                ++dropped_;
                continue;
            }
            Fd upstream(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (::connect(upstream.get(), reinterpret_cast<sockaddr*>(&up), sizeof up) != 0 ||
                ::send(upstream.get(), buffer, static_cast<std::size_t>(n), 0) != n)
                continue;
            pollfd q{upstream.get(), POLLIN, 0};
            if (::poll(&q, 1, 2000) <= 0)
                continue;
            const ssize_t m = ::recv(upstream.get(), buffer, sizeof buffer, 0);
            if (m <= 0)
                continue;
            // Counted before it is sent: the test may look as soon as it is.
            ++relayed_;
            ::sendto(listener_.get(), buffer, static_cast<std::size_t>(m), 0, reinterpret_cast<sockaddr*>(&client),
                     length);
        }
    }

    const int lost_;
    Fd listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> relayed_{0};
    std::atomic<int> dropped_{0};
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// The bundled helper against the test dnsmasq

class Helper : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_TEST_NETWORK(); }
};

TEST_F(Helper, PrintsOneLinePerRecordInTheScannersShape)
{
    const test::ToolRun run = run_helper({"-q=mx", "two.test"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const Hosts hosts = hosts_in(run.out);
    EXPECT_EQ(std::set<std::string>(hosts.begin(), hosts.end()), (std::set<std::string>{"mx1.two.test", "mx2.two.test"}));
    std::string expected;
    for (const std::string& host : hosts)
        expected += "two.test\tmail exchanger = " + host + "\r\n";
    EXPECT_EQ(run.out, expected) << "no preference, no root dot, CR LF, nothing else";
}

TEST_F(Helper, AnswersTheCommandLineStyles)
{
    const test::ToolRun reference = run_helper({"-q=mx", "two.test"});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-type=mx", "two.test"},
             {"-querytype=MX", "-timeout=30", "two.test", "127.0.0.1", "extra", "words"},
             {"two.test"},
             {"-q=mx", "two.test", "ns.lookup.test"}}) {
        const test::ToolRun run = run_helper(args);
        EXPECT_EQ(run.status, 0) << ::testing::PrintToString(args) << run.err;
        EXPECT_EQ(run.out, reference.out) << ::testing::PrintToString(args);
    }
}

TEST_F(Helper, RejectsWhatItCannotAnswer)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{
             {}, {"-q=mx"}, {"-q=a", "two.test"}, {"-type=txt", "two.test"}, {"-q=mx", "bad\xff" "utf8.test"}}) {
        const test::ToolRun run = run_helper(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
}

TEST_F(Helper, DomainWithoutMxIsNoError)
{
    const test::ToolRun run = run_helper({"-q=mx", "nomx.test"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

TEST_F(Helper, UnknownDomainFails)
{
    const test::ToolRun run = run_helper({"-q=mx", "nothing.test"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("nothing.test"), std::string::npos) << run.err;
}

TEST_F(Helper, QueriesNonAsciiDomainsInTheirAsciiForm)
{
    const test::ToolRun run = run_helper({"-q=mx", "b\xc3\xbc" "cher.lookup.test"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "xn--bcher-kva.lookup.test\tmail exchanger = mx.lookup.test\r\n");
}

TEST_F(Helper, LargeAnswerComesWhole)
{
    // Too big for a UDP answer: c-ares asks again over TCP.
    const test::ToolRun run = run_helper({"-q=mx", "many.lookup.test"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(hosts_in(run.out).size(), 30u);
}

TEST_F(Helper, ServerByIpv6Address)
{
    std::optional<Relay> relay;
    try {
        relay.emplace("::1");
    } catch (const std::system_error& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    const test::ToolRun run = run_helper({"-q=mx", "two.test", "::1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(hosts_in(run.out).size(), 2u);
    EXPECT_GE(relay->relayed(), 1);
}

TEST_F(Helper, LostQueryIsAskedAgainWellBeforeASecond)
{
    // A burst of lookups overflows a name server's receive buffer now and
    // then; each check whose query was lost waits for the helper's first
    // resend, so that wait is the one a bulk run's tail is made of.
    const test::ToolRun reference = run_helper({"-q=mx", "two.test"});
    const Relay relay("127.0.0.55", 1);
    const test::ToolRun run = run_helper({"-q=mx", "two.test", "127.0.0.55"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, reference.out);
    EXPECT_EQ(relay.dropped(), 1);
    EXPECT_EQ(relay.relayed(), 1);
    EXPECT_GE(run.took, 700ms) << "answered without a resend: nothing was lost";
    EXPECT_LT(run.took, 1300ms);
}

TEST_F(Helper, ServerThatCannotBeFoundOrReachedFails)
{
    for (const char* server : {"127.0.0.99", "::1", "nope.lookup.test"}) {
        const test::ToolRun run = run_helper({"-q=mx", "two.test", server});
        EXPECT_EQ(run.status, 1) << server;
        EXPECT_EQ(run.out, "") << server;
        EXPECT_NE(run.err, "") << server;
        EXPECT_LT(run.took, 5s) << server << ": a refused query needs no waiting";
    }
}

TEST_F(Helper, SilentServerEndsWithinItsBound)
{
    const Fd server = silent_server("127.0.0.53");
    const test::ToolRun run = run_helper({"-q=mx", "two.test", "127.0.0.53"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Timeout"), std::string::npos) << run.err;
    EXPECT_LT(run.took, 10s);
}

TEST_F(Helper, OverallDeadlineEndsWhatTheRetriesWouldNot)
{
    // Two silent servers (the name has both addresses) would take c-ares'
    // tries and timeouts past the helper's limit.
    const Fd first = silent_server("127.0.0.53");
    const Fd second = silent_server("127.0.0.54");
    const test::ToolRun run = run_helper({"-q=mx", "two.test", "silent.lookup.test"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("no answer within"), std::string::npos) << run.err;
    EXPECT_LT(run.took, 10s);
}

// ---------------------------------------------------------------------------
// The runner with the real tools: the bundled helper (the word "nslookup"
// as the library runs it) and BIND's nslookup from PATH.

struct Tool {
    const char* name;
    const char* helper;  // for override_lookup_helper; nullptr: the library's own search
};

class RealTool : public ::testing::TestWithParam<Tool> {
protected:
    void SetUp() override { REQUIRE_TEST_NETWORK(); }
    Lookup lookup(const std::string& domain, const std::string& server = "")
    {
        ScopedHelper helper(GetParam().helper);
        return run_lookup(golden::lookup_command(domain, server));
    }
};

TEST_P(RealTool, FindsTheMailExchangers)
{
    const Lookup l = lookup("two.test");
    EXPECT_EQ(l.object.returnvar(), golden::no_mail_server());
    const Hosts hosts = l.hosts();
    EXPECT_EQ(std::set<std::string>(hosts.begin(), hosts.end()), (std::set<std::string>{"mx1.two.test", "mx2.two.test"}));
    EXPECT_EQ(hosts.size(), 2u);
}

TEST_P(RealTool, DomainWithoutMxGivesNoHost)
{
    const Lookup l = lookup("nomx.test");
    EXPECT_EQ(l.object.returnvar(), golden::no_mail_server());
    EXPECT_EQ(l.hosts(), Hosts{});
}

TEST_P(RealTool, UnknownDomainGivesNoHost)
{
    const Lookup l = lookup("nothing.test");
    EXPECT_EQ(l.object.returnvar(), golden::no_mail_server());
    EXPECT_EQ(l.hosts(), Hosts{});
}

TEST_P(RealTool, UnreachableServerGivesNoHost)
{
    const Clock::time_point start = Clock::now();
    const Lookup l = lookup("two.test", "127.0.0.99");
    EXPECT_EQ(l.object.returnvar(), golden::no_mail_server());
    EXPECT_EQ(l.hosts(), Hosts{});
    EXPECT_LT(Clock::now() - start, 10s);
}

INSTANTIATE_TEST_SUITE_P(Tools, RealTool, ::testing::Values(Tool{"helper", nullptr}, Tool{"bind", ""}),
                         [](const ::testing::TestParamInfo<Tool>& p) { return std::string(p.param.name); });

TEST(RealTools, HelperIsFoundBesideTheLibrary)
{
    const std::string found = platform::posix::lookup_helper();
    ASSERT_NE(found, "");
    EXPECT_TRUE(std::filesystem::equivalent(found, helper_path)) << found;
}

TEST(RealTools, HelperAndBindListRecordsInTheSameAnswerOrder)
{
    REQUIRE_TEST_NETWORK();
    const std::string command = golden::lookup_command("order.lookup.test", "");
    Hosts ours, bind;
    {
        ScopedHelper helper(nullptr);
        ours = run_lookup(command).hosts();
    }
    {
        ScopedHelper helper("");
        bind = run_lookup(command).hosts();
    }
    EXPECT_EQ(std::set<std::string>(ours.begin(), ours.end()),
              (std::set<std::string>{"alpha.lookup.test", "mid.lookup.test", "zeta.lookup.test"}));
    EXPECT_EQ(ours, bind);
}

// ---------------------------------------------------------------------------
// The runner with fake tools on a private search list

class Runner : public ::testing::Test {
protected:
    test::ToolFolder tools_;
};

TEST_F(Runner, ToolFromThePathHasItsOutputReshaped)
{
    // One printf, so one write: the runner reads only once.
    tools_.script("nslookup", "printf 'Server: 127.0.0.1\\n\\nfake.test\\tmail exchanger = 10 mx.fake.test.\\n'");
    ScopedHelper helper("");  // as when the bundled helper is missing
    const Lookup l = run_lookup(golden::lookup_command("fake.test", ""));
    EXPECT_EQ(l.object.nslookup(), "Server: 127.0.0.1\r\n\r\nfake.test\tmail exchanger = mx.fake.test\r\n");
    EXPECT_EQ(l.hosts(), Hosts{"mx.fake.test"});
}

TEST_F(Runner, CommandIsSplitAtBlanksAndTabsWithoutAShell)
{
    tools_.script("args", "out=; for a in \"$@\"; do out=\"$out[$a]\"; done; printf '%s' \"$out\"");
    const Lookup l = run_lookup("args  -q=mx\tx.test  $HOME;echo  '*' ");
    EXPECT_EQ(l.object.nslookup(), "[-q=mx][x.test][$HOME;echo]['*']");
}

TEST_F(Runner, OutputIsCutAtTheReadLimit)
{
    std::string big;
    for (int i = 0; big.size() < 3 * lookup_read_limit; ++i)
        big += "big.test\tmail exchanger = host-" + std::to_string(i) + ".big.test\r\n";
    const std::filesystem::path data = tools_.file("big.txt", big);
    // cat hands the whole file to the pipe in one write.
    tools_.script("bigtool", "exec /bin/cat '" + data.string() + "'");
    const Lookup l = run_lookup("bigtool");
    ASSERT_EQ(l.object.nslookup(), big.substr(0, lookup_read_limit));
    const Hosts hosts = l.hosts();
    ASSERT_FALSE(hosts.empty());
    EXPECT_EQ(hosts.back(), "host-" + std::to_string(hosts.size() - 1) + ".big.test") << "only whole records";
    const std::string next = "host-" + std::to_string(hosts.size()) + ".big.test\r\n";
    EXPECT_GT(big.find(next) + next.size(), lookup_read_limit) << "the record after the last host is the one cut";
}

TEST_F(Runner, ToolThatCannotBeFoundIsAFailedStartWithErrno2)
{
    const std::size_t fds = test::open_descriptors();
    for (const char* command : {"verimex-no-such-tool -q=mx x.test", "nslookup -q=mx x.test ", ""}) {
        ScopedHelper helper("");  // "nslookup" is not on the private search list either
        const Lookup l = run_lookup(command, "earlier output");
        EXPECT_EQ(l.object.returnvar(), golden::start_failed(2)) << command;
        EXPECT_EQ(l.object.nslookup(), "earlier output") << command;
    }
    EXPECT_EQ(test::open_descriptors(), fds) << "no pipe end left open";
}

TEST_F(Runner, ToolThatPrintsNothingGivesAnEmptyOutput)
{
    tools_.script("quiet", "echo 'to stderr only' >&2; /bin/sleep 0.1");
    const Lookup l = run_lookup("quiet -q=mx x.test", "earlier output");
    EXPECT_EQ(l.object.nslookup(), "");
    EXPECT_EQ(l.object.returnvar(), golden::no_mail_server());
    EXPECT_EQ(l.hosts(), Hosts{});
}

TEST_F(Runner, ToolGetsOnlyThePipeAndNullDevicesAndCleanSignals)
{
    // A descriptor the host left inheritable, and a signal state it set up.
    const Fd stray(::open("/dev/zero", O_RDONLY));
    ASSERT_TRUE(stray);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
    struct sigaction ignore {}, old_pipe {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_pipe), 0);

    std::string report;
    {
        test::ScopedEnv role(fake_tool_role, "inheritance");
        report = run_lookup(link_target("/proc/self/exe") + " -q=mx x.test").object.nslookup();
    }
    ::sigaction(SIGPIPE, &old_pipe, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    ASSERT_EQ(lines.size(), 5u) << report;
    EXPECT_EQ(lines[0], "0 /dev/null");
    EXPECT_EQ(lines[1].rfind("1 pipe:", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "2 /dev/null");
    // glibc itself hands its internal signals (32, 33) on as ignored; only
    // what the host did matters here.
    const auto mask = [](const std::string& line) { return std::stoull(line.substr(line.find('\t') + 1), nullptr, 16); };
    ASSERT_EQ(lines[3].rfind("SigBlk:", 0), 0u);
    ASSERT_EQ(lines[4].rfind("SigIgn:", 0), 0u);
    EXPECT_EQ(mask(lines[3]) & (1ull << (SIGUSR1 - 1)), 0u) << lines[3];
    EXPECT_EQ(mask(lines[4]) & (1ull << (SIGPIPE - 1)), 0u) << lines[4];
}

// The descriptor lines of the inheritance reporter's report, without the
// signal lines after them.
std::vector<std::string> descriptor_lines(const std::string& report)
{
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line) && line.rfind("Sig", 0) != 0;)
        lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

bool only_pipe_and_null_devices(const std::vector<std::string>& lines)
{
    return lines.size() == 3 && lines[0] == "0 /dev/null" && lines[1].rfind("1 pipe:", 0) == 0 &&
        lines[2] == "2 /dev/null";
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines)
        all += line + "; ";
    return all;
}

// Opens count descriptors on /dev/null, inheritable (no close-on-exec) as
// a careless host's would be, raising the soft limit as far as needed.
std::vector<Fd> many_descriptors(std::size_t count)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < count + 200 && limit.rlim_max >= count + 200) {
        limit.rlim_cur = count + 200;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<Fd> fds;
    for (std::size_t i = 0; i < count; ++i) {
        Fd fd(::open("/dev/null", O_RDONLY));
        if (!fd)
            break;
        fds.push_back(std::move(fd));
    }
    return fds;
}

// What every start must give, whichever way this process starts its
// children, with thousands of descriptors open: the tool holds its three
// and none of ours; a tool that cannot be started gives execvp's error
// number; nothing of it is left open or unreaped. Says what went wrong,
// empty when nothing did (it runs in a child process too, where gtest's
// checks would not be seen).
std::string check_starts(const std::filesystem::path& tools)
{
    std::string wrong;
    const std::vector<Fd> many = many_descriptors(5000);
    if (many.size() < 5000)
        return "could open only " + std::to_string(many.size()) + " descriptors";
    const std::size_t fds = test::open_descriptors();
    {
        test::ScopedEnv role(fake_tool_role, "inheritance");
        for (int i = 0; i < 3; ++i) {
            const auto lines = descriptor_lines(run_lookup(link_target("/proc/self/exe") + " -q=mx x.test").object.nslookup());
            if (!only_pipe_and_null_devices(lines))
                wrong += "the tool held: " + joined(lines) + "\n";
        }
    }

    {
        std::ofstream(tools / "not-executable") << "#!/bin/sh\n";
        std::filesystem::permissions(tools / "not-executable", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        std::filesystem::create_directory(tools / "a-folder");
    }
    const struct {
        std::string command;
        int error;
    } rows[] = {
        {"verimex-no-such-tool -q=mx x.test", ENOENT},
        {(tools / "verimex-no-such-tool").string(), ENOENT},
        {"/verimex-no-such-folder/tool", ENOENT},
        {"not-executable -q=mx x.test", EACCES},  // found on PATH, not runnable
        {(tools / "not-executable").string(), EACCES},
        {(tools / "a-folder").string(), EACCES},
        {(tools / "not-executable/below").string(), ENOTDIR},
        {std::string(NAME_MAX, 'n'), ENOENT},
        {std::string(NAME_MAX + 1, 'n'), ENAMETOOLONG},  // the first try ends the search
    };
    for (const auto& r : rows) {
        const Lookup l = run_lookup(r.command, "earlier output");
        if (l.object.returnvar() != golden::start_failed(r.error))
            wrong += r.command.substr(0, 60) + ": " + l.object.returnvar() + "\n";
    }

    const std::unique_ptr<platform::EventLoop> loop = platform::make_event_loop(platform::system_clock());
    for (const auto give_up = Clock::now() + 10s; platform::posix::unreaped_children() > 0 && Clock::now() < give_up;) {
        loop->yield();
        std::this_thread::sleep_for(5ms);
    }
    if (!test::our_children().empty())
        wrong += std::to_string(test::our_children().size()) + " children left, zombies or running\n";
    if (test::open_descriptors() != fds)
        wrong += "descriptors open before " + std::to_string(fds) + ", after " +
            std::to_string(test::open_descriptors()) + "\n";
    return wrong;
}

// Makes this process one whose descriptors cannot be read from outside it:
// not dumpable, and without the capability that overrides that (root keeps
// its user number, so only the capability stands in the way).
bool close_own_descriptors_to_children()
{
    if (::prctl(PR_SET_DUMPABLE, 0) != 0)
        return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_SYS_PTRACE / 32].effective &= ~(1u << (CAP_SYS_PTRACE % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// A process with thousands of connections open starts each tool on a
// table of the tool's own; where that cannot work, the copying start that
// takes over gives the tool the same three descriptors and the same errors.
TEST_F(Runner, StartsGiveOnlyThreeDescriptorsAndExecvpErrorsWithThousandsOpen)
{
    EXPECT_EQ(check_starts(tools_.path()), "");
    EXPECT_FALSE(platform::posix::starts_copy_descriptors()) << "a kernel 5.9 or later with /proc should not copy";

    // In a child of this test: nothing there may outlive it.
    EXPECT_EXIT(
        {
            std::string wrong = close_own_descriptors_to_children() ? check_starts(tools_.path())
                                                                    : "could not close our descriptors to children";
            if (wrong.empty() && !platform::posix::starts_copy_descriptors())
                wrong = "the tool's start did not find /proc closed";
            std::fputs(wrong.c_str(), stderr);
            std::_Exit(wrong.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^$");
}

// Until a child has its own table it shares ours, which other threads go
// on opening and closing descriptors in: however the two interleave, each
// tool gets its three, and no thread loses a descriptor of its own.
TEST_F(Runner, StartsFromManyThreadsWhileOthersOpenAndCloseKeepEveryTableApart)
{
    std::atomic<bool> stop{false};
    std::atomic<int> lost{0};
    std::vector<std::thread> churn;
    for (int t = 0; t < 2; ++t)
        churn.emplace_back([&] {
            while (!stop.load()) {
                const Fd a(::open("/dev/zero", O_RDONLY));
                const Fd b(::dup(a.get()));
                char byte = 1;
                if (!a || !b || ::read(b.get(), &byte, 1) != 1 || byte != 0)
                    ++lost;
            }
        });
    std::vector<std::string> wrong;
    std::mutex wrong_mutex;
    {
        test::ScopedEnv role(fake_tool_role, "inheritance");
        const std::string command = link_target("/proc/self/exe") + " -q=mx x.test";
        std::vector<std::thread> starters;
        for (int t = 0; t < 6; ++t)
            starters.emplace_back([&] {
                for (int i = 0; i < 25; ++i) {
                    const auto lines = descriptor_lines(run_lookup(command).object.nslookup());
                    if (!only_pipe_and_null_devices(lines)) {
                        std::lock_guard lock(wrong_mutex);
                        wrong.push_back(joined(lines));
                    }
                }
            });
        for (std::thread& t : starters)
            t.join();
    }
    stop = true;
    for (std::thread& t : churn)
        t.join();
    EXPECT_EQ(wrong, std::vector<std::string>{});
    EXPECT_EQ(lost.load(), 0);
}

TEST_F(Runner, ManyLookupsLeaveNoDescriptorsAndNoZombies)
{
    tools_.script("nslookup", "printf 'x.test\\tmail exchanger = mx.x.test\\r\\n'");
    ScopedHelper helper("");
    const std::size_t fds = test::open_descriptors();
    for (int i = 0; i < 300; ++i) {
        const Lookup l = run_lookup(golden::lookup_command("x.test", ""));
        ASSERT_EQ(l.hosts(), Hosts{"mx.x.test"}) << "lookup " << i;
        // Reaping happens at the next lookup, so at most the children of
        // the last few lookups can still be waiting.
        ASSERT_LE(platform::posix::unreaped_children(), 20u) << "lookup " << i;
    }

    // The thread's later yields reap the tools of the last lookups.
    const std::unique_ptr<platform::EventLoop> loop = platform::make_event_loop(platform::system_clock());
    const Clock::time_point give_up = Clock::now() + 10s;
    while (platform::posix::unreaped_children() > 0 && Clock::now() < give_up) {
        loop->yield();
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(platform::posix::unreaped_children(), 0u);
    EXPECT_EQ(test::our_children(), std::vector<pid_t>{}) << "no zombie or live tool left behind";
    // Only once reaped are the children's process descriptors gone.
    EXPECT_EQ(test::open_descriptors(), fds);
}

// A host that reaps our lookup child itself (waitpid(-1) in its own
// SIGCHLD handling) and then gets the same number for a child of its own
// must get that child's status, not lose it to our reaping.
TEST(LookupChildren, HostsOwnChildWithAReusedNumberKeepsItsStatus)
{
    if (!std::getenv("VERIMEX_NETNS"))
        GTEST_SKIP() << "needs the private pid namespace of tests/netns/run to choose process numbers";
    // The next process started gets number `tool`.
    const pid_t tool = 5000;
    const auto next_is_tool = [] { std::ofstream("/proc/sys/kernel/ns_last_pid") << tool - 1; };
    // A lookup whose tool ends at once, and which we do not reap yet.
    next_is_tool();
    const platform::ToolOutput out = platform::run_tool("/bin/true", 100);
    ASSERT_EQ(out.failure, platform::ToolOutput::Failure::none);
    ASSERT_GE(platform::posix::unreaped_children(), 1u);
    // Waits for it to end, leaving it unreaped (WNOWAIT).
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, tool, &ended, WEXITED | WNOWAIT), 0) << "the tool did not get process number " << tool;

    // The host reaps it, then its own child gets the same number.
    int status = 0;
    ASSERT_EQ(::waitpid(tool, &status, 0), tool);
    next_is_tool();
    const char* argv[] = {"/bin/sh", "-c", "exit 42", nullptr};
    pid_t own = 0;
    ASSERT_EQ(::posix_spawn(&own, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    ASSERT_EQ(own, tool) << "the number was not handed out again";
    ASSERT_EQ(::waitid(P_PID, own, &ended, WEXITED | WNOWAIT), 0);

    platform::posix::reap_children();
    EXPECT_EQ(::waitpid(own, &status, 0), own) << "our reaping took the host's child";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << status;
    EXPECT_EQ(platform::posix::unreaped_children(), 0u) << "the lookup child we lost is still listed";
}

}  // namespace
}  // namespace verimex
