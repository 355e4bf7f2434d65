// The engine's SMTP connection against scripted peers on loopback: replies
// framed whole and kept as read, their bounds, tarpits, peers that close,
// and connects that are refused, time out or are stopped.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/processes.h"
#include "support/smtp_peer.h"
#include "support/spawn.h"
#include "verify/net.h"

namespace verimex::engine {
namespace {

using namespace std::chrono_literals;
using test::Piece;
using test::Pieces;
using test::SmtpPeer;

const char* name_of(io_status s)
{
    switch (s) {
    case io_status::ok: return "ok";
    case io_status::timeout: return "timeout";
    case io_status::closed: return "closed";
    case io_status::failed: return "failed";
    case io_status::too_long: return "too_long";
    case io_status::cancelled: return "cancelled";
    }
    return "?";
}

std::string lines_of(const std::string& head, int count, std::size_t width = 0)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += head + std::string(width, 'x') + "\r\n";
    return text;
}

// Sends the pieces, then waits for the client to leave (or closes at once).
test::Behaviour play(Pieces pieces, bool close_after = false)
{
    return [pieces = std::move(pieces), close_after](test::PeerConnection& c) {
        if (!test::send_pieces(c, pieces) || close_after)
            return;
        c.wait_for_close();
    };
}

TEST(Stream, RepliesFramedAndBounded)
{
    struct expected {
        io_status status;
        std::string text;  // exactly; or, with prefix_only, what it starts with
        bool prefix_only = false;
    };
    struct row {
        const char* name;
        Pieces pieces;
        bool close_after;
        std::vector<expected> replies;
        std::chrono::milliseconds limit = 2000ms;
    };
    const std::string long_line = "250 " + std::string(max_reply_line, 'x') + "\r\n";
    const std::string many = lines_of("250-", static_cast<int>(max_reply_lines)) + "250 last\r\n";
    const std::string wide = lines_of("250-", 100, 1000) + "250 last\r\n";
    const std::string at_bound = lines_of("250-", static_cast<int>(max_reply_lines) - 1) + "250 last\r\n";
    Pieces tarpit;
    for (char ch : std::string("250 slowly\r\n"))
        tarpit.push_back({std::string(1, ch), 300ms});
    const row rows[] = {
        {"one line", {{"220 mx ESMTP\r\n"}}, false, {{io_status::ok, "220 mx ESMTP\r\n"}}},
        {"multi-line in pieces",
         {{"250-mx hello\r\n250-PIPE"}, {"LINING\r\n250-STARTTLS\r"}, {"\n250 8BITMIME\r\n", 50ms}},
         false,
         {{io_status::ok, "250-mx hello\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 8BITMIME\r\n"}}},
        {"bare code ends it, LF ends", {{"250-a\n250\n"}}, false, {{io_status::ok, "250-a\n250\n"}}},
        {"two replies in one segment", {{"250 first\r\n251 second\r\n"}}, false,
         {{io_status::ok, "250 first\r\n"}, {io_status::ok, "251 second\r\n"}}},
        {"a line that is not NNN- ends it", {{"hello there\r\n250 x\r\n"}}, false,
         {{io_status::ok, "hello there\r\n"}, {io_status::ok, "250 x\r\n"}}},
        {"as many lines as allowed", {{at_bound}}, false, {{io_status::ok, at_bound}}},
        {"too many lines", {{many}}, false,
         {{io_status::too_long, lines_of("250-", static_cast<int>(max_reply_lines)) + "250 last\r\n", true}}},
        {"too many bytes", {{wide}}, false, {{io_status::too_long, lines_of("250-", 60, 1000), true}}},
        {"a line over the bound", {{long_line}}, false,
         {{io_status::too_long, long_line.substr(0, max_reply_line)}}},
        {"endless line without LF", {{std::string(3 * max_reply_line, 'y')}}, false,
         {{io_status::too_long, std::string(max_reply_line, 'y')}}},
        {"closed mid-reply", {{"250-first\r\n250-sec"}}, true, {{io_status::closed, "250-first\r\n250-sec"}}},
        {"closed before a word", {}, true, {{io_status::closed, ""}}},
        {"silent", {}, false, {{io_status::timeout, ""}}, 300ms},
        // A byte every 300 ms: the deadline holds however often one comes.
        {"tarpit", tarpit, false, {{io_status::timeout, "250", true}}, 1000ms},
    };
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string address = "127.0.0." + std::to_string(30 + n++);
        SmtpPeer peer(address, play(r.pieces, r.close_after));
        connect_result result;
        auto stream = connect_smtp(address, 25, nullptr, nullptr, clock::now() + 2s, result);
        ASSERT_TRUE(stream) << result.detail;
        for (const expected& e : r.replies) {
            std::string text;
            const auto start = clock::now();
            const io_status s = stream->read_reply(text, start + r.limit);
            const auto took = clock::now() - start;
            EXPECT_STREQ(name_of(s), name_of(e.status));
            if (e.prefix_only) {
                EXPECT_EQ(text.substr(0, e.text.size()), e.text);
            } else {
                EXPECT_EQ(text, e.text);
            }
            // Bounded in memory as in time.
            EXPECT_LE(text.size(), max_reply_bytes + max_reply_line);
            if (s == io_status::timeout) {
                EXPECT_GE(took, r.limit);
                EXPECT_LT(took, r.limit + 400ms);
            }
        }
    }
}

TEST(Stream, SendsCommandsAsGiven)
{
    SmtpPeer peer("127.0.0.50", test::smtp_server({{"220 mx\r\n"}}, {{"ehlo", {{"250 mx\r\n"}}}}));
    connect_result result;
    auto stream = connect_smtp("127.0.0.50", 25, nullptr, nullptr, clock::now() + 2s, result);
    ASSERT_TRUE(stream);
    EXPECT_EQ(result.result, connect_result::status::ok);
    std::string text;
    ASSERT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::ok);
    ASSERT_EQ(stream->send("EHLO probe.test\r\n", clock::now() + 2s), io_status::ok);
    ASSERT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::ok);
    EXPECT_EQ(text, "250 mx\r\n");
    ASSERT_EQ(stream->send("QUIT\r\n", clock::now() + 2s), io_status::ok);
    ASSERT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::ok);
    EXPECT_EQ(stream->read_reply(text, clock::now() + 2s), io_status::closed);
    EXPECT_FALSE(stream->encrypted());
    EXPECT_EQ(stream->tls_version(), "");
    stream.reset();
    peer.stop();
    EXPECT_EQ(peer.lines(), (std::vector<std::string>{"EHLO probe.test\r\n", "QUIT\r\n"}));
}

TEST(Stream, ConnectsThatFail)
{
    const std::size_t descriptors = test::open_descriptors();
    connect_result result;
    // Nothing listens there.
    EXPECT_FALSE(connect_smtp("127.0.0.51", 25, nullptr, nullptr, clock::now() + 2s, result));
    EXPECT_EQ(result.result, connect_result::status::refused);
    EXPECT_EQ(result.error_code, ECONNREFUSED);
    EXPECT_NE(result.detail.find("127.0.0.51:25"), std::string::npos) << result.detail;

    // A route that says no (this namespace's own): told apart from a refusal.
    ASSERT_EQ(test::run_program("/usr/sbin/ip", {"route", "add", "unreachable", "127.0.0.80/32", "table", "local"}).status,
              0);
    EXPECT_FALSE(connect_smtp("127.0.0.80", 25, nullptr, nullptr, clock::now() + 2s, result));
    EXPECT_EQ(result.result, connect_result::status::unreachable);
    EXPECT_EQ(result.error_code, EHOSTUNREACH);

    EXPECT_FALSE(connect_smtp("mx.example", 25, nullptr, nullptr, clock::now() + 2s, result));
    EXPECT_EQ(result.result, connect_result::status::failed);
    EXPECT_EQ(result.error_code, EINVAL);

    // A listener that never accepts, its backlog full: further SYNs are
    // dropped and the connect waits until its deadline.
    platform::posix::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(25);
    at.sin_addr.s_addr = htonl(0x7F000034);  // 127.0.0.52
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener.get(), 0), 0);
    std::vector<std::unique_ptr<smtp_stream>> filling;
    for (int i = 0; i < 4; ++i) {
        connect_result ignored;
        if (auto s = connect_smtp("127.0.0.52", 25, nullptr, nullptr, clock::now() + 200ms, ignored))
            filling.push_back(std::move(s));
    }
    auto start = clock::now();
    EXPECT_FALSE(connect_smtp("127.0.0.52", 25, nullptr, nullptr, start + 500ms, result));
    EXPECT_EQ(result.result, connect_result::status::timeout);
    EXPECT_GE(clock::now() - start, 500ms);
    EXPECT_LT(clock::now() - start, 900ms);

    {
        // A stop request ends the wait at once.
        cancellation stop;
        std::thread stopper([&stop] {
            std::this_thread::sleep_for(200ms);
            stop.request();
        });
        start = clock::now();
        EXPECT_FALSE(connect_smtp("127.0.0.52", 25, nullptr, &stop, start + 10s, result));
        stopper.join();
        EXPECT_EQ(result.result, connect_result::status::cancelled);
        EXPECT_LT(clock::now() - start, 600ms);
    }

    filling.clear();
    listener.reset();
    EXPECT_EQ(test::open_descriptors(), descriptors);
}

TEST(Stream, StopRequestEndsAReadAndASend)
{
    SmtpPeer peer("127.0.0.53", test::silent());
    cancellation stop;
    connect_result result;
    auto stream = connect_smtp("127.0.0.53", 25, nullptr, &stop, clock::now() + 2s, result);
    ASSERT_TRUE(stream);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(200ms);
        stop.request();
    });
    std::string text;
    const auto start = clock::now();
    EXPECT_EQ(stream->read_reply(text, start + 10s), io_status::cancelled);
    stopper.join();
    EXPECT_LT(clock::now() - start, 600ms);
    EXPECT_EQ(stream->send("QUIT\r\n", clock::now() + 2s), io_status::cancelled);
}

TEST(Stream, SendToAPeerThatDoesNotRead)
{
    // Its window fills, and the send waits no longer than its deadline.
    SmtpPeer peer("127.0.0.54", [](test::PeerConnection& c) { c.pause(10s); });
    connect_result result;
    auto stream = connect_smtp("127.0.0.54", 25, nullptr, nullptr, clock::now() + 2s, result);
    ASSERT_TRUE(stream);
    const std::string flood(16 << 20, 'x');
    const auto start = clock::now();
    EXPECT_EQ(stream->send(flood, start + 500ms), io_status::timeout);
    EXPECT_GE(clock::now() - start, 500ms);
    EXPECT_LT(clock::now() - start, 900ms);
}

}  // namespace
}  // namespace verimex::engine
