// The socket control against real listeners on loopback, inside the private
// network namespace (tests/netns/run with tests/netns/socket.zones).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/posix/fd.h"
#include "platform/posix/socket.h"
#include "platform/socket.h"

namespace {

using namespace std::chrono_literals;
using namespace verimex::platform;
using verimex::platform::posix::Fd;

// A TCP listener on a loopback address; port 0 picks a free one.
class Listener {
public:
    explicit Listener(const char* address, std::uint16_t port = 0)
    {
        sockaddr_storage storage{};
        socklen_t length = 0;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            length = sizeof *v4;
        } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            length = sizeof *v6;
        }
        fd_ = Fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&storage), length) < 0 || ::listen(fd_.get(), 8) < 0)
            throw std::system_error(errno, std::generic_category(), address);
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&storage), &length);
        port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    }
    int port() const { return port_; }
    bool has_caller() const
    {
        pollfd p{fd_.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    // The connection that has come in (the kernel completes it without us).
    Fd accept() const
    {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            throw std::runtime_error("nobody called");
        return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    Fd fd_;
    std::uint16_t port_ = 0;
};

void send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::vector<int> open_sockets()
{
    std::vector<int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) {
        char target[64] = {};
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(path.c_str(), target, sizeof target - 1) > 0 && std::string_view(target).starts_with("socket:"))
            found.push_back(std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return found;
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("VERIMEX_NETNS"))
            GTEST_SKIP() << "needs the private network of tests/netns/run";
        // Whatever started us, a SIGPIPE must be able to kill this test.
        std::signal(SIGPIPE, SIG_DFL);
    }

    template <class Done>
    bool pump_until(Done done)
    {
        const auto give_up = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > give_up)
                return false;
            loop->yield();
        }
        return true;
    }
    void connect(const std::string& host, int port)
    {
        socket->RemoteHost(host);
        socket->RemotePort(port);
        socket->Connect();
    }
    // Waits out states 1 to 6, as the probe does.
    int settle()
    {
        pump_until([&] { return socket->State() <= sckClosed || socket->State() >= sckConnected; });
        return socket->State();
    }
    // Yields and collects until want bytes have come.
    std::string receive(std::size_t want)
    {
        std::string got, chunk;
        pump_until([&] {
            socket->GetData(chunk);
            got += chunk;
            return got.size() >= want;
        });
        return got;
    }

    std::unique_ptr<EventLoop> loop = make_event_loop(system_clock());
    std::unique_ptr<SocketControl> socket = loop->make_socket();
};

TEST_F(SocketTest, ConnectsByNameAfterResolving)
{
    Listener listener("127.0.0.41");
    connect("connect.socket.test", listener.port());
    EXPECT_EQ(socket->State(), sckResolvingHost);
    EXPECT_EQ(settle(), sckConnected);
    socket->Close();
    EXPECT_EQ(socket->State(), sckClosed);
}

TEST_F(SocketTest, LiteralAddressesNeedNoLookup)
{
    for (const char* address : {"127.0.0.41", "::1"}) {
        Listener listener(address);
        connect(address, listener.port());
        EXPECT_NE(socket->State(), sckResolvingHost) << address;
        EXPECT_EQ(settle(), sckConnected) << address;
    }
}

TEST_F(SocketTest, TriesEachAddressUntilOneAnswers)
{
    // Each name has an IPv4 and an IPv6 address; only one of them listens.
    {
        Listener listener("::1");
        connect("six.socket.test", listener.port());
        EXPECT_EQ(settle(), sckConnected);
        EXPECT_NO_THROW(listener.accept());
    }
    {
        Listener listener("127.0.0.43");
        connect("four.socket.test", listener.port());
        EXPECT_EQ(settle(), sckConnected);
        EXPECT_NO_THROW(listener.accept());
    }
}

TEST_F(SocketTest, FailuresEndInError)
{
    const int closed_port = Listener("127.0.0.44").port();  // closed again at once
    connect("127.0.0.44", closed_port);
    EXPECT_EQ(settle(), sckError) << "refused";

    connect("nosuch.socket.test", 25);
    EXPECT_EQ(socket->State(), sckResolvingHost);
    EXPECT_EQ(settle(), sckError) << "unresolvable";

    connect("", 25);
    EXPECT_EQ(socket->State(), sckError) << "empty host, without a yield";
}

TEST_F(SocketTest, PeerCloseKeepsWhatCameBefore)
{
    Listener listener("127.0.0.41");
    connect("127.0.0.41", listener.port());
    ASSERT_EQ(settle(), sckConnected);
    {
        Fd peer = listener.accept();
        send_all(peer.get(), "221 bye\r\n");
    }
    ASSERT_TRUE(pump_until([&] { return socket->State() == sckClosing; }));
    std::string data;
    socket->GetData(data);
    EXPECT_EQ(data, "221 bye\r\n");
    socket->GetData(data);
    EXPECT_EQ(data, "");
    EXPECT_NO_THROW(socket->SendData("quit\r\n"));
    EXPECT_EQ(socket->State(), sckClosing);
}

TEST_F(SocketTest, ReplySplitOverSeveralSendsComesInOrder)
{
    Listener listener("127.0.0.41");
    connect("127.0.0.41", listener.port());
    ASSERT_EQ(settle(), sckConnected);
    Fd peer = listener.accept();
    std::string got;
    for (std::string_view piece : {"25", "0-first\r\n", "250 se", "cond\r\n"}) {
        send_all(peer.get(), piece);
        got += receive(piece.size());
    }
    EXPECT_EQ(got, "250-first\r\n250 second\r\n");

    socket->SendData("vrfy someone\r\n");
    char buffer[64] = {};
    EXPECT_EQ(::recv(peer.get(), buffer, sizeof buffer, 0), 14);
    EXPECT_STREQ(buffer, "vrfy someone\r\n");
}

TEST_F(SocketTest, SendingAfterThePeerWentRaisesNoSignal)
{
    Listener listener("127.0.0.41");
    connect("127.0.0.41", listener.port());
    ASSERT_EQ(settle(), sckConnected);
    {
        Fd peer = listener.accept();
        send_all(peer.get(), "221 bye\r\n");
    }
    // No yield yet, so the control still thinks it is connected: the first
    // send draws a reset, the next ones meet a dead connection.
    std::this_thread::sleep_for(20ms);
    socket->SendData("helo a\r\n");
    std::this_thread::sleep_for(20ms);
    EXPECT_NO_THROW(socket->SendData("vrfy b\r\n"));
    EXPECT_NO_THROW(socket->SendData("quit\r\n"));
    EXPECT_EQ(receive(9), "221 bye\r\n");
    ASSERT_TRUE(pump_until([&] { return socket->State() != sckConnected; }));
    EXPECT_TRUE(socket->State() == sckClosing || socket->State() == sckError) << socket->State();
}

TEST_F(SocketTest, DescriptorsAreCloseOnExec)
{
    auto inherited = [] {
        std::vector<int> open = open_sockets();
        std::erase_if(open, [](int fd) { return ::fcntl(fd, F_GETFD) & FD_CLOEXEC; });
        return open;
    };
    Listener listener("127.0.0.41");
    const std::size_t before = open_sockets().size();
    connect("connect.socket.test", listener.port());
    EXPECT_GT(open_sockets().size(), before) << "the lookup has no socket open";
    EXPECT_EQ(inherited(), std::vector<int>{}) << "while resolving";
    settle();
    EXPECT_EQ(inherited(), std::vector<int>{}) << "once connected";
}

TEST_F(SocketTest, ConnectStartsOverFromAnEarlierConnection)
{
    Listener first("127.0.0.41"), second("127.0.0.45");
    connect("127.0.0.41", first.port());
    ASSERT_EQ(settle(), sckConnected);
    Fd peer = first.accept();
    send_all(peer.get(), "stale\r\n");
    for (int i = 0; i < 10; ++i)
        loop->yield();

    // While open, then while still resolving: each Connect drops the last.
    connect("connect.socket.test", first.port());
    connect("127.0.0.45", second.port());
    EXPECT_EQ(settle(), sckConnected);
    for (int i = 0; i < 100; ++i)
        loop->yield();
    EXPECT_FALSE(first.has_caller()) << "the abandoned lookup went on to connect";
    std::string data;
    socket->GetData(data);
    EXPECT_EQ(data, "");
    char c;
    EXPECT_EQ(::recv(peer.get(), &c, 1, 0), 0) << "the first connection was not closed";
}

TEST_F(SocketTest, FloodIsReadInBoundedStepsAndNothingIsLost)
{
    Listener listener("127.0.0.41");
    connect("127.0.0.41", listener.port());
    ASSERT_EQ(settle(), sckConnected);
    std::string sent(4 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i % 251);
    std::thread peer([fd = listener.accept(), &sent] { send_all(fd.get(), sent); });

    std::this_thread::sleep_for(50ms);
    loop->yield();
    std::string data;
    socket->GetData(data);
    EXPECT_LE(data.size(), posix::read_per_pass);
    std::string got = data;
    for (int i = 0; i < 100; ++i)
        loop->yield();
    socket->GetData(data);
    EXPECT_LE(data.size(), posix::receive_buffer_cap + posix::read_per_pass);
    got += data;
    got += receive(sent.size() - got.size());
    peer.join();
    EXPECT_TRUE(got == sent) << "received " << got.size() << " bytes";
}

// Connects with no descriptor to spare and returns what was raised.
// NOTE: UBSan's vptr check needs a pipe the first time it meets a type, so
// this function is kept out of it, and the error type it will meet while
// descriptors are exhausted is shown to it beforehand.
__attribute__((no_sanitize("vptr"))) std::error_code connect_without_descriptors(SocketControl& socket,
                                                                                   int port)
{
    {
        const std::system_error seen(EMFILE, std::generic_category(), "seen");
        (void)seen.code();
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &tight);
    std::exception_ptr raised;
    try {
        socket.RemoteHost("127.0.0.41");
        socket.RemotePort(port);
        socket.Connect();
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

TEST_F(SocketTest, OnlyLocalFailuresRaise)
{
    Listener listener("127.0.0.41");
    EXPECT_EQ(connect_without_descriptors(*socket, listener.port()), std::errc::too_many_files_open);
    EXPECT_EQ(socket->State(), sckError);
}

}  // namespace

// ---- the component's waits -------------------------------------------------

// Runs `loop.wait(socket)` until `done`, giving up after `limit`; how many
// passes that took.
struct Waited {
    int passes = 0;
    std::chrono::steady_clock::duration took{};
};

template <class Done>
Waited wait_until(EventLoop& loop, const SocketControl& socket, Done done, std::chrono::seconds limit = 5s)
{
    Waited w;
    const auto start = std::chrono::steady_clock::now();
    while (!done() && std::chrono::steady_clock::now() - start < limit) {
        loop.wait(socket);
        ++w.passes;
    }
    w.took = std::chrono::steady_clock::now() - start;
    return w;
}

TEST_F(SocketTest, WaitOnASilentPeerPassesOncePerTick)
{
    Listener listener("127.0.0.41");
    connect("127.0.0.41", listener.port());
    ASSERT_EQ(settle(), sckConnected);
    Fd peer = listener.accept();
    std::int64_t ticks = 0;
    std::unique_ptr<Timer> timer = loop->make_timer([&](std::int64_t elapsed) { ticks += elapsed; });
    timer->Interval(100ms);

    const Waited w = wait_until(*loop, *socket, [&] { return ticks >= 5; });
    EXPECT_EQ(ticks, 5);
    EXPECT_GE(w.took, 500ms);
    // One pass per tick, and one before the first sleep; a yield loop would
    // have made hundreds.
    EXPECT_LE(w.passes, 5 + 3);
}

TEST_F(SocketTest, WaitWakesAtOnceForTheResolverTheConnectionAndData)
{
    Listener listener("127.0.0.41");
    // A tick far off: only news can end these waits in time.
    std::unique_ptr<Timer> timer = loop->make_timer([](std::int64_t) {});
    timer->Interval(60s);

    connect("connect.socket.test", listener.port());
    const Waited connecting = wait_until(*loop, *socket, [&] {
        return socket->State() <= sckClosed || socket->State() >= sckConnected;
    });
    EXPECT_EQ(socket->State(), sckConnected);
    EXPECT_LT(connecting.took, 5s);
    EXPECT_LE(connecting.passes, 10);

    Fd peer = listener.accept();
    std::thread late([fd = peer.get()] {
        std::this_thread::sleep_for(200ms);
        send_all(fd, "220 late\r\n");
    });
    std::string data;
    const Waited reading = wait_until(*loop, *socket, [&] {
        socket->GetData(data);
        return !data.empty();
    });
    late.join();
    EXPECT_EQ(data, "220 late\r\n");
    EXPECT_GE(reading.took, 150ms);
    EXPECT_LT(reading.took, 5s);
    EXPECT_LE(reading.passes, 5);
}

TEST_F(SocketTest, WaitOnASocketOfAnotherLoopDoesNotSleep)
{
    // This loop would never hear of that socket's news, so it must not
    // sleep on it, however far off its next tick is.
    std::unique_ptr<EventLoop> other = make_event_loop(system_clock());
    std::unique_ptr<SocketControl> foreign = other->make_socket();
    std::unique_ptr<Timer> timer = loop->make_timer([](std::int64_t) {});
    timer->Interval(60s);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i)
        loop->wait(*foreign);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}
