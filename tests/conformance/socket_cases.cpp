// The socket control's contract (platform/socket.h) against real listeners on
// loopback and the names of seam.zones.
#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/posix/fd.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/socket.h"
#include "seam.h"

namespace seam {

namespace {

using namespace verimex::platform;
using Steady = std::chrono::steady_clock;

// Yields on `loop` until `done`; false if ten seconds passed first.
template <class Done>
bool pump_until(EventLoop& loop, Done done)
{
    for (const auto give_up = Steady::now() + 10s; !done(); loop.yield())
        if (Steady::now() > give_up)
            return false;
    return true;
}

void connect(SocketControl& socket, const std::string& host, int port)
{
    socket.RemoteHost(host);
    socket.RemotePort(port);
    socket.Connect();
}

// Waits out states 1 to 6, as the probe does; the state it settled in.
int settle(EventLoop& loop, SocketControl& socket)
{
    pump_until(loop, [&] { return socket.State() < sckOpen || socket.State() > sckConnecting; });
    return socket.State();
}

class SocketSeam : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VERIMEX_NETNS"))
            GTEST_SKIP() << "needs the private network of tests/netns/run";
    }
    void connect(const std::string& host, int port) { seam::connect(*socket, host, port); }
    int settle() { return seam::settle(*loop, *socket); }
    bool went() { return pump_until(*loop, [&] { return socket->State() != sckConnected; }); }
    // Yields and collects until want bytes have come (or ten seconds).
    std::string receive(std::size_t want)
    {
        std::string got, piece;
        pump_until(*loop, [&] {
            socket->GetData(piece);
            return (got += piece).size() >= want;
        });
        return got;
    }
    // Connects to `listener`; false if `peer` got no end of it.
    bool connect_peer()
    {
        connect("127.0.0.41", listener.port());
        EXPECT_EQ(settle(), sckConnected);
        return static_cast<bool>(peer = listener.accept());
    }
    // Runs loop->wait(*socket) until `done`: the passes made and the time taken.
    template <class Done>
    std::pair<int, Steady::duration> wait_until(Done done)
    {
        int passes = 0;
        const auto start = Steady::now();
        for (; !done() && Steady::now() - start < 10s; ++passes)
            loop->wait(*socket);
        return {passes, Steady::now() - start};
    }

    Listener listener{"127.0.0.41"};
    std::unique_ptr<EventLoop> loop = make_event_loop(system_clock());
    std::unique_ptr<SocketControl> socket = loop->make_socket();
    PeerSocket peer;
};

TEST_F(SocketSeam, PortsOutsideTheRangeRaiseOutOfRange)
{
    for (const int port : {0, 25, 65535})
        EXPECT_NO_THROW(socket->RemotePort(port)) << port;
    for (const int port : {-1, 65536, 1 << 20})
        EXPECT_THROW(socket->RemotePort(port), std::out_of_range) << port;
}

// six/four have one address per family and only one of them listens, so the
// socket gets through only by trying both. Hosts that name no host fail at
// once and call nobody: not the part before a NUL, not a prefix.
TEST_F(SocketSeam, EachKindOfHostSettlesConnectedOrInError)
{
    enum Start { resolving, direct, fails_at_once, either };
    struct Row {
        const char* name;
        std::string host;
        Start start;
        int settles_in;
        const char* listening = "127.0.0.41";
        int port = 0;  // 0: the listener's
    };
    std::string over_long = "seam.test";  // labels of 63, over 300 characters in all
    while (over_long.size() < 300)
        over_long = std::string(63, 'a') + "." + over_long;
    const int closed_port = Listener("127.0.0.44").port();  // closed again at once
    const Row rows[] = {
        {"name", "connect.seam.test", resolving, sckConnected},
        {"IPv4 literal", "127.0.0.41", direct, sckConnected},
        {"IPv6 literal", "::1", direct, sckConnected, "::1"},
        {"name whose IPv6 address listens", "six.seam.test", resolving, sckConnected, "::1"},
        {"name whose IPv4 address listens", "four.seam.test", resolving, sckConnected, "127.0.0.43"},
        {"refused", "127.0.0.44", direct, sckError, "127.0.0.41", closed_port},
        {"unresolvable", "nosuch.seam.test", resolving, sckError},
        {"over-long DNS name", over_long, either, sckError},
        {"empty", "", fails_at_once, sckError},
        {"NUL after an address", std::string("127.0.0.41\0.example", 19), fails_at_once, sckError},
        {"NUL after a name", std::string("connect.seam.test\0x", 19), fails_at_once, sckError},
        {"longer than the bound", std::string(longest_host_name + 1, 'a'), fails_at_once, sckError},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Listener own(r.listening);
        connect(r.host, r.port ? r.port : own.port());
        if (r.start == fails_at_once) {
            EXPECT_EQ(socket->State(), sckError);
            for (int i = 0; i < 20; ++i)
                loop->yield();
        } else if (r.start != either) {
            EXPECT_EQ(socket->State() == sckResolvingHost, r.start == resolving);
        }
        EXPECT_EQ(settle(), r.settles_in);
        if (r.settles_in == sckConnected)
            EXPECT_TRUE(own.accept());
        else
            EXPECT_FALSE(own.has_caller()) << "a host that names no host connected to a part of it";
        socket->Close();
        EXPECT_EQ(socket->State(), sckClosed);
    }
}

// What is sent before the connection is up goes nowhere, not to the peer
// once it is; replies split over several sends come in order.
TEST_F(SocketSeam, DataFlowsOnlyOnceConnectedAndInOrder)
{
    std::string got = "left over";
    socket->GetData(got);
    EXPECT_EQ(got, "");
    EXPECT_NO_THROW(socket->SendData("before connect\r\n"));
    loop->yield();
    EXPECT_EQ(socket->State(), sckClosed);
    connect("connect.seam.test", listener.port());
    ASSERT_EQ(socket->State(), sckResolvingHost);
    socket->SendData("while resolving\r\n");
    ASSERT_EQ(settle(), sckConnected);
    ASSERT_TRUE(peer = listener.accept());
    socket->SendData("helo me\r\n");
    pump_until(*loop, [&] { return (got += peer.receive(1ms)).size() >= 9; });
    got += peer.receive(200ms);  // and nothing after it
    EXPECT_EQ(got, "helo me\r\n");
    got.clear();
    for (std::string_view piece : {"25", "0-first\r\n", "250 se", "cond\r\n"}) {
        peer.send_all(piece);
        got += receive(piece.size());
    }
    EXPECT_EQ(got, "250-first\r\n250 second\r\n");
}

// What a closing peer sent stays readable, once; sending to it raises
// nothing, also before a pass has noticed (the first send draws a reset).
TEST_F(SocketSeam, PeerCloseLeavesWhatItSentReadable)
{
    for (const bool noticed : {true, false}) {
        SCOPED_TRACE(noticed ? "sent once the close was noticed" : "sent before a pass noticed the close");
        ASSERT_TRUE(connect_peer());
        peer.send_all("221 bye\r\n");
        peer.reset();
        if (noticed) {
            ASSERT_TRUE(went());
            EXPECT_EQ(socket->State(), sckClosing);
        }
        std::this_thread::sleep_for(20ms);
        EXPECT_NO_THROW(socket->SendData("helo a\r\n"));
        std::this_thread::sleep_for(20ms);
        EXPECT_NO_THROW(socket->SendData("quit\r\n"));
        EXPECT_EQ(receive(9), "221 bye\r\n");
        std::string data;
        socket->GetData(data);
        EXPECT_EQ(data, "");
        ASSERT_TRUE(went());
        EXPECT_TRUE(socket->State() == sckClosing || (!noticed && socket->State() == sckError)) << socket->State();
    }
}

TEST_F(SocketSeam, PeerResetIsAnErrorAndKeepsWhatCameBefore)
{
    if (under_wine())
        GTEST_SKIP() << "does not apply under Wine: it reports this reset as an orderly close (FD_CLOSE without "
                        "an error, then an end of stream), where Windows reports WSAECONNRESET";
    ASSERT_TRUE(connect_peer());
    peer.send_all("220 hello\r\n");
    EXPECT_EQ(receive(11), "220 hello\r\n");
    peer.reset(true);
    EXPECT_NO_THROW(went());
    EXPECT_EQ(socket->State(), sckError);
    std::string data = "x";
    EXPECT_NO_THROW(socket->GetData(data));
    EXPECT_EQ(data, "");
    EXPECT_NO_THROW(socket->SendData("quit\r\n"));
}

// A peer sending without end while the host only yields and never reads:
// one pass's budget per pass, at most the cap held unread, memory not
// growing with what is offered, and nothing lost once the host reads.
TEST_F(SocketSeam, FloodingPeerIsBoundedInMemoryAndLosesNothing)
{
    ASSERT_TRUE(connect_peer());
    std::string sent(32 << 20, '\0'), got, data;
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i % 251);
    std::thread sender([this, &sent] { peer.send_all(sent); });
    std::this_thread::sleep_for(50ms);
    loop->yield();
    socket->GetData(got);
    EXPECT_LE(got.size(), read_per_pass) << "one pass";
    const std::size_t memory_before = process_memory();
    // Past the loop's idle passes too, into the pauses of a waiting host.
    const auto until = Steady::now() + 1s;
    for (int passes = 0; Steady::now() < until || passes < 2 * EventLoop::idle_passes_before_pause; ++passes)
        loop->yield();
    const std::size_t memory_after = process_memory();
    socket->GetData(data);
    EXPECT_LE(data.size(), receive_buffer_cap + read_per_pass) << "held unread";
    EXPECT_GE(data.size(), receive_buffer_cap / 2) << "it did read meanwhile";
    EXPECT_LT(memory_after, memory_before + 8 * receive_buffer_cap)
        << "memory grew by " << (static_cast<long long>(memory_after - memory_before) >> 10) << " KiB";
    got += data;
    got += receive(sent.size() - got.size());
    peer.shut_down();  // should the test fail midway, the sender must not stay blocked
    sender.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "the bytes arrived out of order or changed";
}

// Descriptors of this process that are sockets and would survive an exec
// (on Windows the resolver's handles are the system's; the child shows ours).
std::vector<int> inheritable_sockets()
{
    std::vector<int> found;
#ifndef _WIN32
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        const int fd = std::stoi(entry.path().filename().string());
        if (!error && target.starts_with("socket:") && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
            found.push_back(fd);
    }
#endif
    return found;
}

// A child some other part of the host starts with inheritance on must not
// keep the connection open, nor get the name lookup's sockets.
TEST_F(SocketSeam, ChildrenStartedMeanwhileInheritNoSocketOfOurs)
{
    connect("connect.seam.test", listener.port());
    ASSERT_EQ(socket->State(), sckResolvingHost);
    EXPECT_EQ(inheritable_sockets(), std::vector<int>{}) << "while resolving";
    ASSERT_EQ(settle(), sckConnected);
    EXPECT_EQ(inheritable_sockets(), std::vector<int>{}) << "once connected";
    ASSERT_TRUE(peer = listener.accept());
    SleepingChild child;
    socket->Close();
    bool closed = false;
    peer.receive(3s, &closed);
    EXPECT_TRUE(closed) << "the child holds the connection open";
    EXPECT_TRUE(child.running()) << "the child ended too soon to tell";
}

// With the next tick a minute away only news ends a wait in time: the
// resolver's answer, the connection, data, on Windows a thread message; a
// wait on another loop's socket, whose news this loop never hears, must not
// sleep. Silent: about one pass per tick (a yield loop would make hundreds),
// on Windows also after the host's thread was asked to quit.
TEST_F(SocketSeam, WaitSleepsUntilNewsAndPassesAboutOncePerTick)
{
    std::int64_t ticks = 0;
    const std::unique_ptr<Timer> timer = loop->make_timer([&](std::int64_t elapsed) { ticks += elapsed; });
    timer->Interval(60s);
    connect("connect.seam.test", listener.port());
    const auto [connect_passes, connect_took] =
        wait_until([&] { return socket->State() < sckOpen || socket->State() > sckConnecting; });
    EXPECT_EQ(socket->State(), sckConnected);
    EXPECT_LT(connect_took, 5s);
    EXPECT_LE(connect_passes, 10);

    ASSERT_TRUE(peer = listener.accept());
    std::thread late([this] {
        std::this_thread::sleep_for(200ms);
        peer.send_all("220 late\r\n");
    });
    std::string data;
    const auto [read_passes, read_took] = wait_until([&] {
        socket->GetData(data);
        return !data.empty();
    });
    late.join();
    EXPECT_EQ(data, "220 late\r\n");
    EXPECT_GE(read_took, 150ms);
    EXPECT_LT(read_took, 5s);
    EXPECT_LE(read_passes, 5);
#ifdef _WIN32
    std::thread poster([self = ::GetCurrentThreadId()] {
        ::Sleep(200);
        ::PostThreadMessageW(self, WM_APP, 0, 0);
    });
    const auto posted = Steady::now();
    const auto [message_passes, message_took] = wait_until([&] { return Steady::now() - posted >= 150ms; });
    poster.join();
    EXPECT_LT(message_took, 5s) << "a thread message did not wake the wait";
    EXPECT_LE(message_passes, 5);
#endif
    std::unique_ptr<EventLoop> other = make_event_loop(system_clock());
    std::unique_ptr<SocketControl> foreign = other->make_socket();
    const auto start = Steady::now();
    for (int i = 0; i < 50; ++i)
        loop->wait(*foreign);
    EXPECT_LT(Steady::now() - start, 5s) << "slept on another loop's socket";

    timer->Interval(100ms);
    ticks = 0;
    const auto [silent_passes, silent_took] = wait_until([&] { return ticks >= 5; });
    EXPECT_EQ(ticks, 5);
    EXPECT_GE(silent_took, 450ms);
    EXPECT_LE(silent_passes, 2 * 5 + 3);
#ifdef _WIN32
    // The loop hands the quit request back as each pass returns; its waits
    // and the host's own tight loop of yields still sleep.
    ::PostQuitMessage(7);
    ticks = 0;
    EXPECT_LE(wait_until([&] { return ticks >= 5; }).first, 2 * 5 + 3) << "the waits woke for the quit request";
    EXPECT_EQ(ticks, 5);
    int passes = 0;
    for (const auto begin = Steady::now(); Steady::now() - begin < 500ms; ++passes)
        loop->yield();
    EXPECT_LE(passes, EventLoop::idle_passes_before_pause + 500 / EventLoop::longest_pause.count() + 50)
        << "the yields spun";
    MSG msg;  // and the host's loop still finds its request, once
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
#endif
}

// A loop torn down from its thread's exit still closes its connection, and
// the next thread's loop starts as usual.
TEST_F(SocketSeam, LoopEndingWithItsThreadClosesItsConnection)
{
    for (const bool first : {true, false}) {
        std::thread([&] {
            std::unique_ptr<EventLoop> own = make_event_loop(system_clock());
            std::unique_ptr<SocketControl> s = own->make_socket();
            std::unique_ptr<Timer> t = own->make_timer([](std::int64_t) {});
            t->Interval(50ms);
            seam::connect(*s, "127.0.0.41", listener.port());
            EXPECT_EQ(seam::settle(*own, *s), sckConnected) << (first ? "the first thread" : "the next thread");
            peer = listener.accept();
            own->thread_exiting();
            s.reset();
            t.reset();
        }).join();
        bool closed = false;
        ASSERT_TRUE(peer);
        peer.receive(3s, &closed);
        EXPECT_TRUE(closed) << "the connection outlived its loop";
    }
}

// The name servers asked must follow /etc/resolv.conf as the system's own
// lookups do, though a thread's socket lives as long as the thread.
TEST_F(SocketSeam, ResolverFollowsAChangedResolvConf)
{
#ifdef _WIN32
    GTEST_SKIP() << "does not apply: names are resolved by Windows' own resolver, which follows its settings itself";
#else
    connect("connect.seam.test", listener.port());
    ASSERT_EQ(settle(), sckConnected) << "the resolver is not set up";
    std::ifstream in("/etc/resolv.conf");  // only ever the private network's copy
    const std::string original{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // Written in place: the file is a bind mount of the namespace's own.
    auto rewrite = [](const std::string& text) { std::ofstream("/etc/resolv.conf", std::ios::trunc) << text; };
    rewrite("nameserver 127.0.0.9\noptions timeout:1 attempts:1\n");  // nothing answers there
    connect("connect.seam.test", listener.port());
    EXPECT_EQ(settle(), sckError) << "the resolver still asks the name server it started with";
    rewrite(original);
    connect("connect.seam.test", listener.port());
    EXPECT_EQ(settle(), sckConnected) << "the resolver did not take the file back";
#endif
}

// A lost query is asked again as the system's settings say: a busy name
// server drops queries in a burst, and each wait is a check held up.
TEST_F(SocketSeam, ResolverResendsAsResolvConfSays)
{
#ifdef _WIN32
    GTEST_SKIP() << "does not apply: names are resolved by Windows' own resolver, which follows its settings itself";
#else
    // A name server that takes every query and answers none.
    const posix::Fd silent(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(silent) << std::strerror(errno);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    ::inet_pton(AF_INET, "127.0.0.9", &at.sin_addr);
    ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << std::strerror(errno);
    std::ifstream in("/etc/resolv.conf");  // only ever the private network's copy
    const std::string original{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto rewrite = [](const std::string& text) { std::ofstream("/etc/resolv.conf", std::ios::trunc) << text; };
    struct Case {
        const char* file;
        Steady::duration least, most;  // c-ares doubles the wait at each try
    } cases[] = {
        {"nameserver 127.0.0.9\noptions timeout:1 attempts:1\n", 900ms, 2s},
        {"nameserver 127.0.0.9\noptions ndots:1\noptions attempts:2 timeout:1 # two lines\n", 2900ms, 4s},
    };
    for (const Case& c : cases) {
        rewrite(c.file);
        const auto start = Steady::now();
        connect("connect.seam.test", listener.port());
        EXPECT_EQ(settle(), sckError) << c.file;
        const auto took = Steady::now() - start;
        EXPECT_GE(took, c.least) << c.file;
        EXPECT_LE(took, c.most) << c.file;
    }
    rewrite(original);
#endif
}

#ifndef _WIN32
// Connects with no descriptor to spare and returns what was raised.
// NOTE: UBSan's vptr check needs a pipe the first time it meets a type, so
// this function is kept out of it, and the error type it will meet while
// descriptors are exhausted is shown to it beforehand.
__attribute__((no_sanitize("vptr"))) std::error_code connect_without_descriptors(EventLoop& loop,
                                                                                   SocketControl& socket,
                                                                                   const std::string& host, int port)
{
    {
        const std::system_error seen(EMFILE, std::generic_category(), "seen");
        (void)seen.code();
    }
    // So are the socket's own members, reached through its shared core.
    socket.RemoteHost(host);
    socket.RemotePort(port);
    (void)socket.State();
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &tight);
    std::exception_ptr raised;
    try {
        // Called here, not through connect(): that one is checked for vptr.
        socket.RemoteHost(host);
        socket.RemotePort(port);
        socket.Connect();
        // A name goes to the resolver, whose sockets fail a pass later.
        for (int i = 0; i < 100 && socket.State() == sckResolvingHost; ++i)
            loop.yield();
    } catch (...) {
        raised = std::current_exception();
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    try {
        if (raised)
            std::rethrow_exception(raised);
    } catch (const std::system_error& e) {
        return e.code();
    }
    return {};
}
#endif


TEST_F(SocketSeam, OnlyFailuresOfOurOwnSideRaise)
{
#ifdef _WIN32
    GTEST_SKIP() << "does not apply: Windows has no per-process limit on sockets that a test can lower";
#else
    // A literal, then a name: the resolver's own socket, not an unresolvable name.
    for (const char* host : {"127.0.0.41", "connect.seam.test"}) {
        EXPECT_EQ(connect_without_descriptors(*loop, *socket, host, listener.port()), std::errc::too_many_files_open)
            << host;
        EXPECT_EQ(socket->State(), sckError) << host;
    }
    connect("connect.seam.test", listener.port());  // descriptors back, it connects again
    EXPECT_EQ(settle(), sckConnected);
#endif
}

}  // namespace

}  // namespace seam
