// The Windows halves of the platform, tested directly (linked into this
// program, not through the DLL): the socket control's states against
// listeners on loopback, the loop's timer, and the lookup runner with this
// program itself as the child (see child_main in wine_test.cpp).
#include "wine_test.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "component/texts.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace wine_test {

namespace {

using namespace std::chrono_literals;
using namespace verimex::platform;

// A listener on a loopback address (IPv4 or IPv6), port chosen by the
// system unless one is given.
class Listener {
public:
    explicit Listener(const char* address = "127.0.0.1", int port = 0)
    {
        sockaddr_storage a{};
        int length = 0;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        if (::inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<u_short>(port));
            length = sizeof(sockaddr_in);
        } else if (::inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<u_short>(port));
            length = sizeof(sockaddr_in6);
        } else {
            throw std::runtime_error("listener: not an address");
        }
        s_ = ::socket(a.ss_family, SOCK_STREAM, IPPROTO_TCP);
        if (s_ == INVALID_SOCKET || ::bind(s_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            ::listen(s_, 4) != 0 || ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            throw std::runtime_error("listener");
        port_ = ntohs(a.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener()
    {
        if (peer_ != INVALID_SOCKET)
            ::closesocket(peer_);
        ::closesocket(s_);
    }
    int port() const { return port_; }
    // Takes the client the test has started connecting, letting the loop
    // run meanwhile (the client's name lookup completes in a yield).
    SOCKET accept(EventLoop& loop)
    {
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < give_up) {
            loop.yield();
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(s_, &ready);
            timeval wait{0, 10000};
            if (::select(0, &ready, nullptr, nullptr, &wait) == 1) {
                peer_ = ::accept(s_, nullptr, nullptr);
                return peer_;
            }
        }
        return INVALID_SOCKET;
    }
    void close_peer()
    {
        ::closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    int port_ = 0;
};

class Platform : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data{};
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
        loop_ = make_event_loop(system_clock());
        socket_ = loop_->make_socket();
    }
    void TearDown() override
    {
        socket_.reset();
        loop_.reset();
        ::WSACleanup();
    }

    // Yields until the state leaves `from` (or ten seconds pass: a hang).
    int settle(int from_low, int from_high)
    {
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        while (socket_->State() >= from_low && socket_->State() <= from_high &&
               std::chrono::steady_clock::now() < give_up)
            loop_->yield();
        return socket_->State();
    }
    int connect_to(const char* host, int port)
    {
        socket_->RemoteHost(host);
        socket_->RemotePort(port);
        socket_->Connect();
        return settle(sckOpen, sckConnecting);
    }
    std::string receive_until(int state)
    {
        std::string all;
        std::string piece;
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        do {
            loop_->yield();
            socket_->GetData(piece);
            all += piece;
        } while (socket_->State() != state && std::chrono::steady_clock::now() < give_up);
        socket_->GetData(piece);
        return all + piece;
    }

    std::unique_ptr<EventLoop> loop_;
    std::unique_ptr<SocketControl> socket_;
};

TEST_F(Platform, AttemptsThatCannotConnectEndInError)
{
    int closed_port = 0;
    {
        Listener gone;
        closed_port = gone.port();
    }
    EXPECT_EQ(connect_to("127.0.0.1", closed_port), sckError) << "refused";
    EXPECT_EQ(connect_to("nohost.ghost.wine.test", 25), sckError) << "unresolvable";
    socket_->RemoteHost("");
    socket_->Connect();
    EXPECT_EQ(socket_->State(), sckError) << "no host at all";
    socket_->Close();
    EXPECT_EQ(socket_->State(), sckClosed);
}

// four.wine.test and six.wine.test have one IPv4 and one IPv6 address
// each; the listener takes only one of them, so whichever the resolver
// lists first, the socket gets through only by trying the other as well.
TEST_F(Platform, EveryAddressOfANameIsTriedInTurn)
{
    {
        Listener ipv4("127.0.0.43");
        socket_->RemoteHost("four.wine.test");
        socket_->RemotePort(ipv4.port());
        socket_->Connect();
        EXPECT_NE(ipv4.accept(*loop_), INVALID_SOCKET) << "four.wine.test";
        EXPECT_EQ(settle(sckOpen, sckConnecting), sckConnected);
    }
    socket_->Close();
    {
        Listener ipv6("::1");
        // Nothing listens on the IPv4 address at this port.
        socket_->RemoteHost("six.wine.test");
        socket_->RemotePort(ipv6.port());
        socket_->Connect();
        EXPECT_NE(ipv6.accept(*loop_), INVALID_SOCKET) << "six.wine.test";
        EXPECT_EQ(settle(sckOpen, sckConnecting), sckConnected);
    }
}

TEST_F(Platform, PeerCloseLeavesWhatItSentReadable)
{
    // By name, so the connection starts with a lookup: mx.ok.wine.test is
    // 127.0.0.31 in the test zones.
    Listener listener("127.0.0.31");
    socket_->RemoteHost("mx.ok.wine.test");
    socket_->RemotePort(listener.port());
    socket_->Connect();
    const SOCKET peer = listener.accept(*loop_);
    ASSERT_NE(peer, INVALID_SOCKET);
    EXPECT_EQ(settle(sckOpen, sckConnecting), sckConnected);

    socket_->SendData("helo me\r\n");
    char buffer[64] = {};
    int got = 0;
    for (int i = 0; i < 100 && got < 9; ++i) {
        loop_->yield();
        const int n = ::recv(peer, buffer + got, sizeof buffer - 1 - got, 0);
        if (n > 0)
            got += n;
    }
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)), "helo me\r\n");

    ::send(peer, "221 bye\r\n", 9, 0);
    listener.close_peer();
    EXPECT_EQ(receive_until(sckClosing), "221 bye\r\n");
    EXPECT_EQ(socket_->State(), sckClosing);
    // Talking to a peer that has gone raises nothing.
    EXPECT_NO_THROW(socket_->SendData("quit\r\n"));
    std::string rest = "x";
    socket_->GetData(rest);
    EXPECT_EQ(rest, "");
}

TEST_F(Platform, ConnectStartsOverFromAnyState)
{
    Listener first;
    Listener second;
    socket_->RemoteHost("127.0.0.1");
    socket_->RemotePort(first.port());
    socket_->Connect();
    const SOCKET old_peer = first.accept(*loop_);
    ASSERT_EQ(settle(sckOpen, sckConnecting), sckConnected);

    socket_->RemotePort(second.port());
    socket_->Connect();
    EXPECT_NE(second.accept(*loop_), INVALID_SOCKET);
    EXPECT_EQ(settle(sckOpen, sckConnecting), sckConnected);
    // The first connection was closed by the new start.
    char c = 0;
    EXPECT_EQ(::recv(old_peer, &c, 1, 0), 0);
}

TEST_F(Platform, TimerTicksOnlyWhileArmed)
{
    std::int64_t ticks = 0;
    std::unique_ptr<Timer> timer = loop_->make_timer([&](std::int64_t elapsed) { ticks += elapsed; });
    EXPECT_EQ(timer->Interval(), 0ms);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_THROW(timer->Interval(-1ms), std::invalid_argument);

    auto pump_for = [&](std::chrono::milliseconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until)
            loop_->yield();
    };
    pump_for(300ms);
    EXPECT_EQ(ticks, 0) << "period 0 never ticks";

    const auto start = std::chrono::steady_clock::now();
    timer->Interval(50ms);
    pump_for(500ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(ticks, 1);
    EXPECT_LE(ticks, elapsed / 50ms) << "never more ticks than periods";

    timer->Enabled(false);
    const std::int64_t stopped_at = ticks;
    pump_for(300ms);
    EXPECT_EQ(ticks, stopped_at);
}

// ---- the component's waits ---------------------------------------------------

// Runs wait() on the test's socket until `done`, giving up after ten
// seconds; how many passes that took.
template <class Done>
int wait_until(EventLoop& loop, const SocketControl& socket, Done done)
{
    int passes = 0;
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < give_up) {
        loop.wait(socket);
        ++passes;
    }
    return passes;
}

TEST_F(Platform, WaitOnASilentPeerPassesOncePerTick)
{
    Listener listener;
    ASSERT_EQ(connect_to("127.0.0.1", listener.port()), sckConnected);
    ASSERT_NE(listener.accept(*loop_), INVALID_SOCKET);
    std::int64_t ticks = 0;
    std::unique_ptr<Timer> timer = loop_->make_timer([&](std::int64_t elapsed) { ticks += elapsed; });
    timer->Interval(100ms);
    const auto start = std::chrono::steady_clock::now();
    const int passes = wait_until(*loop_, *socket_, [&] { return ticks >= 5; });
    EXPECT_EQ(ticks, 5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
    // About one pass per tick; a yield loop would make hundreds.
    EXPECT_LE(passes, 2 * 5 + 3);
}

TEST_F(Platform, WaitWakesAtOnceForDataAndForAThreadMessage)
{
    Listener listener;
    ASSERT_EQ(connect_to("127.0.0.1", listener.port()), sckConnected);
    const SOCKET peer = listener.accept(*loop_);
    ASSERT_NE(peer, INVALID_SOCKET);
    // A tick far off: only news can end these waits in time.
    std::unique_ptr<Timer> timer = loop_->make_timer([](std::int64_t) {});
    timer->Interval(60s);

    const DWORD self = ::GetCurrentThreadId();
    std::thread poster([self] {
        ::Sleep(200);
        ::PostThreadMessageW(self, WM_APP, 0, 0);
    });
    auto start = std::chrono::steady_clock::now();
    // The message is taken by the loop's pass, as a DoEvents would.
    const int message_passes = wait_until(*loop_, *socket_, [&] {
        return std::chrono::steady_clock::now() - start >= 150ms;
    });
    poster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "a thread message did not wake the wait";
    EXPECT_LE(message_passes, 5);

    std::thread sender([peer] {
        ::Sleep(200);
        ::send(peer, "220 late\r\n", 10, 0);
    });
    start = std::chrono::steady_clock::now();
    std::string data;
    const int data_passes = wait_until(*loop_, *socket_, [&] {
        socket_->GetData(data);
        return !data.empty();
    });
    sender.join();
    EXPECT_EQ(data, "220 late\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_LE(data_passes, 5);
}

TEST_F(Platform, OverduePeriodsArriveInOneCall)
{
    std::vector<std::int64_t> calls;
    std::unique_ptr<Timer> timer = loop_->make_timer([&](std::int64_t elapsed) { calls.push_back(elapsed); });
    timer->Interval(20ms);
    ::Sleep(210);  // ten periods and a bit without a pass
    loop_->yield();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_GE(calls[0], 10);
    EXPECT_LE(calls[0], 12);
}

// ---- the lookup runner -------------------------------------------------------

std::string self_command(const std::string& arguments)
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on the
    // chain of + it would otherwise be.
    std::string command = "\"";
    command += path;
    command += "\" ";
    command += arguments;
    return command;
}

TEST(LookupRunner, ReadsOnceAndAtMostTheLimit)
{
    const ToolOutput out = run_tool(self_command("--child-print 1500 78"), 1000);
    EXPECT_EQ(out.failure, ToolOutput::Failure::none);
    EXPECT_EQ(out.bytes, std::string(1000, 'x'));
}

TEST(LookupRunner, ChildWithoutOutputGivesEmptyOutput)
{
    const ToolOutput out = run_tool(self_command("--child-print 0 78"), 1000);
    EXPECT_EQ(out.failure, ToolOutput::Failure::none);
    EXPECT_EQ(out.bytes, "");
}

TEST(LookupRunner, ProgramThatCannotStartIsAStartFailure)
{
    const ToolOutput out = run_tool("verimex-no-such-tool -q=mx example.test ", 1000);
    EXPECT_EQ(out.failure, ToolOutput::Failure::start);
    EXPECT_EQ(out.error, ERROR_FILE_NOT_FOUND);
}

// The lookup's command line with this program in the tool's place: how the
// tool would split it into words.
std::vector<std::string> words_of_lookup(const std::string& domain, const std::string& server)
{
    const std::string line = verimex::texts::lookup_command(domain, server);
    const ToolOutput out = run_tool(self_command("--child-args") + line.substr(line.find(' ')), 1000);
    EXPECT_EQ(out.failure, ToolOutput::Failure::none);
    std::vector<std::string> words;
    for (std::size_t start = 0, end; (end = out.bytes.find('\n', start)) != std::string::npos; start = end + 1)
        words.push_back(out.bytes.substr(start, end - start));
    return words;
}

// Domains the check lets through: no character of them changes how the
// tool splits its command line, or makes the domain an option. Backslashes
// are special to the tool only before a double quote, and the domain is
// always followed by a blank.
struct OneWord {
    const char* name;
    std::string domain;
    std::string word;  // as the tool receives it
    bool needs_1252;   // the expected word depends on the ANSI code page
};

class DomainWord : public ::testing::TestWithParam<OneWord> {};

TEST_P(DomainWord, StaysOneWordAndNoOption)
{
    if (GetParam().needs_1252 && ::GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page here is " << ::GetACP() << ", not 1252";
    EXPECT_EQ(words_of_lookup(GetParam().domain, "127.0.0.1"),
              (std::vector<std::string>{"-q=mx", GetParam().word, "127.0.0.1"}));
    EXPECT_EQ(words_of_lookup(GetParam().domain, ""), (std::vector<std::string>{"-q=mx", GetParam().word}));
}

INSTANTIATE_TEST_SUITE_P(
    Domains, DomainWord,
    ::testing::Values(
        OneWord{"Plain", "ok.wine.test", "ok.wine.test", false},
        OneWord{"Backslash", "ok\\wine.test", "ok\\wine.test", false},
        OneWord{"TrailingBackslash", "ok.wine.test\\", "ok.wine.test\\", false},
        OneWord{"ThreeTrailingBackslashes", "ok.wine.test\\\\\\", "ok.wine.test\\\\\\", false},
        // Look-alikes the ANSI code page has no place for become '?', never
        // the ASCII character they resemble: a fullwidth quote (U+FF02), a
        // modifier double prime (U+02BA), a fullwidth backslash before a
        // fullwidth quote, and a leading fullwidth hyphen-minus (U+FF0D).
        OneWord{"FullwidthQuote", "ok\xef\xbc\x82wine.test", "ok?wine.test", true},
        OneWord{"DoublePrime", "ok\xca\xbawine.test", "ok?wine.test", true},
        OneWord{"FullwidthBackslashAndQuote", "ok\xef\xbc\xbc\xef\xbc\x82wine.test", "ok??wine.test", true},
        OneWord{"FullwidthHyphenFirst", "\xef\xbc\x8dport=53", "?port=53", true},
        // Characters the code page holds arrive as themselves.
        OneWord{"Latin1", "caf\xc3\xa9.test", "caf\xc3\xa9.test", true}),
    [](const ::testing::TestParamInfo<OneWord>& p) { return std::string(p.param.name); });

TEST(LookupRunner, OutputIsDecodedFromTheAnsiCodePage)
{
    if (::GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page here is " << ::GetACP() << ", not 1252";
    // "café" in code page 1252: the e-acute is the one byte E9.
    const ToolOutput out = run_tool(self_command("--child-print-text caf%E9"), 1000);
    EXPECT_EQ(out.failure, ToolOutput::Failure::none);
    EXPECT_EQ(out.bytes, "caf\xc3\xa9");
}

}  // namespace

}  // namespace wine_test
