// The reply reader and the probe dialog against a scripted socket: no
// network, and time passes only when a test moves the fake clock.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "support/golden.h"
#include "probe/dialog.h"
#include "probe/readreply.h"
#include "support/scripted_socket.h"
#include "verimex/quoverimex.h"

namespace verimex {
namespace {

using namespace std::chrono_literals;
using test::ScriptedSocket;
using test::ScriptedWindow;
using Op = ScriptedSocket::Op;

// One timer period at timeout 1.
constexpr auto period = 100ms;

class ReplyTest : public ::testing::Test {
protected:
    ReplyTest()
    {
        self.timeout(1);
        self.returnvar("untouched");
        window.form().startwatch(1);
    }

    ScriptedSocket& socket() { return *window.socket; }

    ScriptedWindow window;
    quoverimex self;
};

// ---- reply reader ------------------------------------------------------

using ReadReply = ReplyTest;

TEST_F(ReadReply, OnePieceIsReturnedAsItCameAfterHundredFurtherReceives)
{
    socket().incoming = {"220 mx.example.test ESMTP\r\n"};
    EXPECT_EQ(readreply(self).text, "220 mx.example.test ESMTP\r\n");
    EXPECT_EQ(socket().receives, 1 + reply_extra_turns);
    EXPECT_EQ(self.returnvar(), "untouched");
}

TEST_F(ReadReply, PiecesBeforeTheLineFeedAreJoined)
{
    socket().incoming = {"220 mx", "", ".example.test", " ESMTP\r\n"};
    EXPECT_EQ(readreply(self).text, "220 mx.example.test ESMTP\r\n");
    EXPECT_EQ(socket().receives, 4 + reply_extra_turns);
}

TEST_F(ReadReply, TextOfTheHundredthFurtherReceiveBelongsToTheReply)
{
    socket().incoming = {"250-first\r\n"};
    socket().silence(reply_extra_turns - 1);
    socket().incoming.push_back("250 last\r\n");
    socket().incoming.push_back("next\r\n");
    EXPECT_EQ(readreply(self).text, "250-first\r\n250 last\r\n");
    EXPECT_EQ(readreply(self).text, "next\r\n");
}

TEST_F(ReadReply, TextAfterTheHundredFurtherReceivesStartsTheNextReply)
{
    socket().incoming = {"220 banner\r\n"};
    socket().silence(reply_extra_turns);
    socket().incoming.push_back("220 late\r\n");
    socket().incoming.push_back("250 hello\r\n");
    EXPECT_EQ(readreply(self).text, "220 banner\r\n");
    EXPECT_EQ(readreply(self).text, "220 late\r\n250 hello\r\n");
}

TEST_F(ReadReply, KeepsAtMostTheLimitAndStillSeesALineFeedBeyondIt)
{
    // The line feed arrives only after the limit is reached: it is not kept,
    // but the piece holding it still ends the wait.
    socket().incoming = {std::string(reply_limit + 4000, 'x'), "tail\r\n", "more"};
    // Should the reader look for the line feed in what it kept, it would
    // wait until the watchdog fires instead of for ever.
    window.advance_on(Op::GetData, period);
    const std::optional<std::string> reply = readreply(self).text;
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, std::string(reply_limit, 'x'));
    EXPECT_EQ(socket().receives, 2 + reply_extra_turns);
    // What came past the limit was still taken off the socket.
    EXPECT_TRUE(socket().incoming.empty());
}

TEST_F(ReadReply, TheFurtherReceivesDoNotAskTheWatchdog)
{
    socket().incoming = {"250-first\r\n"};
    socket().silence(48);
    socket().incoming.push_back("250 last\r\n");
    // The flag is up from the second receive on: only the wait for the first
    // line feed would notice.
    socket().before = [this](Op op) {
        if (op == Op::GetData && socket().receives == 1)
            window.form().timer = true;
    };
    EXPECT_EQ(readreply(self).text, "250-first\r\n250 last\r\n");
    EXPECT_EQ(self.returnvar(), "untouched");
}

TEST_F(ReadReply, SilentServerGivesNothingOnceTheWatchdogFires)
{
    // Closed (state 0) is not a peer that went: only the watchdog ends it.
    window.advance_on(Op::GetData, period);
    const Reply reply = readreply(self);
    EXPECT_FALSE(reply.text.has_value());
    EXPECT_FALSE(reply.hung_up);
    EXPECT_GT(window.form().tick_count(), 10);
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
}

TEST_F(ReadReply, TextWithoutLineFeedIsDroppedWhenTheWatchdogFires)
{
    socket().incoming = {"220 half a ban"};
    window.advance_on(Op::GetData, period);
    EXPECT_FALSE(readreply(self).text.has_value());
}

TEST_F(ReadReply, EveryLaterReadGivesNothingAtItsFirstQuestion)
{
    window.form().timer = true;
    socket().incoming = {"250 would be read\r\n"};
    const std::optional<std::string> reply = readreply(self).text;
    // Nothing, not an empty text.
    EXPECT_FALSE(reply.has_value());
    EXPECT_NE(reply, std::optional<std::string>(""));
    EXPECT_EQ(socket().receives, 0);
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    // A peer that went does not outrank the watchdog either.
    socket().Connect();
    socket().connect_states = {platform::sckClosing};
    EXPECT_FALSE(readreply(self).text.has_value());
    EXPECT_EQ(socket().receives, 0);
}

TEST_F(ReadReply, ReceiveFailureIsRaised)
{
    socket().before = [](Op op) {
        if (op == Op::GetData)
            throw std::system_error(ECONNRESET, std::generic_category(), "receive");
    };
    EXPECT_THROW(readreply(self), std::system_error);
}

// The peer closes or resets: what it sent is the reply, and neither the line
// feed nor the further turns are waited for. `states`: what the socket
// reports (the last for ever) as the read starts and before each receive.
struct HangUp {
    const char* name;
    std::vector<int> states;
    std::vector<std::string> pieces;
    std::string text;
    bool hung_up;
    int receives;
};

class ReadReplyHangUp : public ReplyTest, public ::testing::WithParamInterface<HangUp> {};

TEST_P(ReadReplyHangUp, EndsAtOnceWithWhatCame)
{
    socket().Connect();
    socket().connect_states.assign(GetParam().states.begin(), GetParam().states.end());
    socket().incoming.assign(GetParam().pieces.begin(), GetParam().pieces.end());
    window.advance_on(Op::GetData, period);  // a wait would meet the watchdog
    const Reply reply = readreply(self);
    ASSERT_TRUE(reply.text.has_value());
    EXPECT_EQ(*reply.text, GetParam().text);
    EXPECT_EQ(reply.hung_up, GetParam().hung_up);
    EXPECT_EQ(socket().receives, GetParam().receives);
    EXPECT_EQ(self.returnvar(), "untouched");
}

constexpr int open = platform::sckConnected;
constexpr int closing = platform::sckClosing;
constexpr int reset = platform::sckError;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Peer, ReadReplyHangUp, ::testing::Values(
    HangUp{"ClosedBeforeSayingAnything", {closing}, {}, "", true, 1},
    // Read in the same turn as the close: the line is whole, and the
    // further turns are not taken.
    HangUp{"LineAndCloseTogether", {closing}, {"554 5.7.1 listed\r\n"}, "554 5.7.1 listed\r\n", false, 1},
    HangUp{"LineThenResetInTheFurtherTurns", {open, open, open, open, reset}, {"421-busy\r\n", "", "421 4.7.0 later\r\n", ""}, "421-busy\r\n421 4.7.0 later\r\n", false, 4},
    // The state is read before the receive: the last piece the peer
    // sent before it went still comes with the turn that sees it gone.
    HangUp{"PartialLineTakenWithTheReset", {open, open, reset}, {"220 mx", " ESM"}, "220 mx ESM", true, 2}),
    [](const ::testing::TestParamInfo<HangUp>& p) { return std::string(p.param.name); });
// clang-format on

// ---- probe dialog ------------------------------------------------------

constexpr const char* host = "mx.example.test";
constexpr const char* banner = "220 mx.example.test ESMTP\r\n";
constexpr const char* helo_reply = "250 mx.example.test\r\n";

class Probe : public ReplyTest {
protected:
    Probe()
    {
        self.email("user@example.test");
        self.from("prober.test");
        self.smtp("earlier\r\n");
        socket().connect_states = {platform::sckResolvingHost, platform::sckConnecting, platform::sckConnected};
        socket().incoming = {banner};
    }

    // A server that greets, answers helo and answers vrfy with vrfy_reply.
    void serve(const std::string& vrfy_reply)
    {
        socket().answer_by_verb({{"helo", helo_reply}, {"vrfy", vrfy_reply}, {"quit", "221 bye\r\n"}});
    }

    std::string dialog(const std::string& vrfy_reply)
    {
        return golden::telnet_line(host) + banner + golden::helo_line("prober.test") + helo_reply +
               golden::vrfy_line("user@example.test") + vrfy_reply + golden::quit_line();
    }

    std::vector<std::string> full_calls()
    {
        return {"RemoteHost mx.example.test", "RemotePort 25", "Connect",
                "SendData " + golden::helo_line("prober.test"),
                "SendData " + golden::vrfy_line("user@example.test"),
                "SendData " + golden::quit_line(), "Close"};
    }
};

TEST_F(Probe, VerifiedAddressLeavesTheWholeDialogInOrder)
{
    serve("250 2.0.0 user@example.test\r\n");
    EXPECT_EQ(probe(self, host), ProbeOutcome::verified);
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), "earlier\r\n" + dialog("250 2.0.0 user@example.test\r\n"));
    EXPECT_EQ(socket().calls, full_calls());
}

TEST_F(Probe, VerifiedIsWrittenAfterTheCloseAndBeforeTheQuitLine)
{
    serve("250 ok\r\n");
    std::vector<std::string> seen;
    socket().before = [&](Op op) {
        if (op == Op::SendData || op == Op::Close)
            seen.push_back(self.returnvar() + "|" + self.smtp().substr(self.smtp().size() - 8));
    };
    ASSERT_EQ(probe(self, host), ProbeOutcome::verified);
    ASSERT_EQ(seen.size(), 4u);  // helo, vrfy, quit, close
    EXPECT_EQ(seen[2], "untouched|250 ok\r\n");
    EXPECT_EQ(seen[3], "untouched|250 ok\r\n");
    EXPECT_EQ(self.returnvar(), golden::verified());
}

TEST_F(Probe, RejectionIsWrittenBeforeTheQuitCommand)
{
    serve("550 no\r\n");
    std::vector<std::string> seen;
    socket().before = [&](Op op) {
        if (op == Op::SendData || op == Op::Close)
            seen.push_back(self.returnvar() + "|" + self.smtp().substr(self.smtp().size() - 8));
    };
    ASSERT_EQ(probe(self, host), ProbeOutcome::rejected);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2], "550 no\r\n|550 no\r\n");
    EXPECT_EQ(seen[3], "550 no\r\n|550 no\r\n");
    EXPECT_EQ(self.smtp(), "earlier\r\n" + dialog("550 no\r\n"));
}

struct Verdict {
    const char* reply;
    ProbeOutcome outcome;
};

class ProbeVerdict : public Probe, public ::testing::WithParamInterface<Verdict> {};

TEST_P(ProbeVerdict, OnlyTheFirstThreeCharactersOfTheVerifyReplyCount)
{
    const std::string reply = GetParam().reply;
    serve(reply);
    EXPECT_EQ(probe(self, host), GetParam().outcome);
    EXPECT_EQ(self.smtp(), "earlier\r\n" + dialog(reply));
    if (GetParam().outcome == ProbeOutcome::verified)
        EXPECT_EQ(self.returnvar(), golden::verified());
    else
        EXPECT_EQ(self.returnvar(), reply);  // stored whole, line end included
    EXPECT_EQ(socket().calls, full_calls());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ProbeVerdict,
    ::testing::Values(Verdict{"250 2.1.5 user@example.test\r\n", ProbeOutcome::verified},
                      Verdict{"250-first line\r\n250 last line\r\n", ProbeOutcome::verified},
                      Verdict{"250\n", ProbeOutcome::verified},
                      Verdict{"252 2.0.0 Cannot VRFY user\r\n", ProbeOutcome::rejected},
                      Verdict{"550 5.1.1 <user@example.test>: unknown\r\n", ProbeOutcome::rejected},
                      Verdict{"251 forwarded\r\n", ProbeOutcome::rejected},
                      Verdict{"hello there\r\n", ProbeOutcome::rejected},
                      Verdict{"25\r\n", ProbeOutcome::rejected},
                      Verdict{" 250 leading blank\r\n", ProbeOutcome::rejected},
                      Verdict{"+25 sign\r\n", ProbeOutcome::rejected}));

TEST_F(Probe, RefusedConnectionLeavesTwoLinesAndCloses)
{
    socket().connect_states = {platform::sckConnecting, platform::sckError};
    EXPECT_EQ(probe(self, host), ProbeOutcome::connect_failed);
    EXPECT_EQ(self.returnvar(), golden::could_not_connect());
    EXPECT_EQ(self.smtp(), "earlier\r\n" + golden::telnet_line(host) + golden::connect_error_line(host));
    EXPECT_EQ(socket().calls,
              (std::vector<std::string>{"RemoteHost mx.example.test", "RemotePort 25", "Connect", "Close"}));
    EXPECT_EQ(socket().receives, 0);
}

TEST_F(Probe, TimeoutWhileConnectingLeavesTheSocketConnecting)
{
    socket().connect_states = {platform::sckConnecting};
    window.advance_on(Op::State, period);
    EXPECT_EQ(probe(self, host), ProbeOutcome::timed_out);
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(), "earlier\r\n" + golden::telnet_line(host));
    EXPECT_EQ(socket().calls,
              (std::vector<std::string>{"RemoteHost mx.example.test", "RemotePort 25", "Connect"}));
}

TEST_F(Probe, ClosedCountsAsConnected)
{
    // State 0 after the wait: the dialog goes on, and with nothing ever
    // arriving its reads end by the watchdog.
    socket().connect_states = {platform::sckConnecting, platform::sckClosed};
    socket().incoming = {"554 go away\r\n"};
    window.advance_on(Op::GetData, period);
    EXPECT_EQ(probe(self, host), ProbeOutcome::timed_out);
    EXPECT_EQ(self.smtp(), "earlier\r\n" + golden::telnet_line(host) + "554 go away\r\n" +
                               golden::helo_line("prober.test") + golden::vrfy_line("user@example.test") +
                               golden::quit_line());
}

TEST_F(Probe, VerifyReplyThatIsNothingTimesOutButStillSaysGoodbye)
{
    socket().answer_by_verb({{"helo", helo_reply}});
    // From the verify command on, the server is silent and time runs.
    bool vrfy_sent = false;
    socket().on_send = [inner = socket().on_send, &vrfy_sent](std::string_view sent) {
        inner(sent);
        vrfy_sent = vrfy_sent || sent.starts_with("vrfy");
    };
    socket().before = [this, &vrfy_sent](Op op) {
        if (op == Op::GetData && vrfy_sent)
            window.clock.advance(period);
    };
    EXPECT_EQ(probe(self, host), ProbeOutcome::timed_out);
    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(), "earlier\r\n" + golden::telnet_line(host) + banner + golden::helo_line("prober.test") +
                               helo_reply + golden::vrfy_line("user@example.test") + golden::quit_line());
    EXPECT_EQ(socket().calls, full_calls());
}

TEST_F(Probe, SendFailureIsRaised)
{
    socket().before = [](Op op) {
        if (op == Op::SendData)
            throw std::system_error(EPIPE, std::generic_category(), "send");
    };
    EXPECT_THROW(probe(self, host), std::system_error);
    EXPECT_EQ(self.smtp(), "earlier\r\n" + golden::telnet_line(host) + banner);
}

}  // namespace
}  // namespace verimex
