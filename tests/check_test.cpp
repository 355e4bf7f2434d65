// check end to end in the private network: the bundled lookup tool asks the
// test dnsmasq (zones in netns/check.zones), and scripted mail servers in
// this process answer on the addresses those zones name. Where a test needs
// to see the lookup command line, a fake lookup tool stands in.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/golden.h"
#include "probe/readreply.h"
#include "support/fake_lookup.h"
#include "support/smtp_peer.h"
#include "verimex/quoverimex.h"

#if defined(__SANITIZE_ADDRESS__)
#define VERIMEX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VERIMEX_TEST_ASAN 1
#endif
#endif
#ifndef VERIMEX_TEST_ASAN
#define VERIMEX_TEST_ASAN 0
#endif

namespace verimex {
namespace {

using namespace std::chrono_literals;
using test::FakeLookupTool;
using test::SmtpPeer;
using test::smtp_server;

constexpr const char* from = "prober.check.test";

// Waits (boundedly) for something a peer thread does after check returned.
template <class Predicate>
bool eventually(Predicate done)
{
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(5ms))
        if (done())
            return true;
    return done();
}

// A server that greets with banner and answers helo with helo_reply and
// vrfy with vrfy_reply, each in one piece.
test::Behaviour server(const std::string& banner, const std::string& helo_reply, const std::string& vrfy_reply)
{
    return smtp_server({{banner}}, {{"helo", {{helo_reply}}}, {"vrfy", {{vrfy_reply}}}});
}

// The transcript of one dialog that got as far as the verify reply.
std::string dialog(const std::string& host, const std::string& banner, const std::string& helo_reply,
                   const std::string& email, const std::string& vrfy_reply)
{
    return golden::telnet_line(host) + banner + golden::helo_line(from) + helo_reply + golden::vrfy_line(email) +
           vrfy_reply + golden::quit_line();
}

class Check : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
        self.from(from);
        self.timeout(5);
    }

    void check(const std::string& email)
    {
        self.email(email);
        self.check();
    }

    quoverimex self;
};

// ---- one mail exchanger ----------------------------------------------------

TEST_F(Check, VerifiedAddressGivesTheWholeDialogInOrder)
{
    SmtpPeer peer("127.0.0.21", server("220 mx.verified ESMTP\r\n", "250 mx.verified\r\n", "250 2.0.0 <user>\r\n"));
    self.smtp("left by the host\r\n");
    check("user@verified.check.test");
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), "left by the host\r\n" + dialog("mx.verified.check.test", "220 mx.verified ESMTP\r\n",
                                                           "250 mx.verified\r\n", "user@verified.check.test",
                                                           "250 2.0.0 <user>\r\n"));
    EXPECT_EQ(self.nslookup(), "verified.check.test\tmail exchanger = mx.verified.check.test\r\n");
    // The server saw exactly the three commands, with their line ends.
    EXPECT_TRUE(eventually([&] { return peer.lines().size() == 3; }));
    EXPECT_EQ(peer.lines(), (std::vector<std::string>{"helo prober.check.test\r\n",
                                                      "vrfy user@verified.check.test\r\n", "quit\r\n"}));
    EXPECT_EQ(peer.error(), "");
}

TEST_F(Check, MultiLineReplyWhoseFirstLineIs250IsVerified)
{
    SmtpPeer peer("127.0.0.22", server("220 mx\r\n", "250 mx\r\n", "250-first\r\n250 2.0.0 last\r\n"));
    check("user@multiline.check.test");
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), dialog("mx.multiline.check.test", "220 mx\r\n", "250 mx\r\n", "user@multiline.check.test",
                                  "250-first\r\n250 2.0.0 last\r\n"));
}

TEST_F(Check, ReplyOtherThan250IsTheResult)
{
    SmtpPeer cannot("127.0.0.23", server("220 mx\r\n", "250 mx\r\n", "252 2.0.0 Cannot VRFY user\r\n"));
    SmtpPeer unknown("127.0.0.24", server("220 mx\r\n", "250 mx\r\n", "550 5.1.1 <x>: User unknown\r\n"));
    check("user@cannot.check.test");
    EXPECT_EQ(self.returnvar(), "252 2.0.0 Cannot VRFY user\r\n");
    // Left as it is, the first lookup's output would be the second's server.
    self.nslookup("");
    check("x@unknown.check.test");
    EXPECT_EQ(self.returnvar(), "550 5.1.1 <x>: User unknown\r\n");
}

TEST_F(Check, BannerSentInTwoPiecesIsOneReply)
{
    SmtpPeer peer("127.0.0.29", smtp_server({{"220 mx.split"}, {" ESMTP ready\r\n", 300ms}},
                                            {{"helo", {{"250 mx\r\n"}}}, {"vrfy", {{"250 ok\r\n"}}}}));
    check("user@split.check.test");
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), dialog("mx.split.check.test", "220 mx.split ESMTP ready\r\n", "250 mx\r\n",
                                  "user@split.check.test", "250 ok\r\n"));
}

TEST_F(Check, TextArrivingAfterAReplyIsOverStartsTheNextOne)
{
    // The second banner line comes long after the first, together with the
    // answer to helo: the reader has finished the banner by then, so the
    // late line opens the reply to helo.
    SmtpPeer peer("127.0.0.31", [](test::PeerConnection& c) {
        if (!c.send("220-mx.late first\r\n") || !c.read_line() || !c.pause(300ms) ||
            !c.send("220 mx.late second\r\n250 mx.late\r\n"))
            return;
        smtp_server({}, {{"vrfy", {{"250 ok\r\n"}}}})(c);
    });
    check("user@late.check.test");
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), dialog("mx.late.check.test", "220-mx.late first\r\n",
                                  "220 mx.late second\r\n250 mx.late\r\n", "user@late.check.test", "250 ok\r\n"));
}

// ---- several mail exchangers -----------------------------------------------

TEST_F(Check, RefusedFirstHostThenVerifiedSecond)
{
    // Nothing listens on the first host's address.
    SmtpPeer second("127.0.0.26", server("220 mx2\r\n", "250 mx2\r\n", "250 ok\r\n"));
    check("user@refused.check.test");
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), golden::telnet_line("mx1.refused.check.test") +
                               golden::connect_error_line("mx1.refused.check.test") +
                               dialog("mx2.refused.check.test", "220 mx2\r\n", "250 mx2\r\n",
                                      "user@refused.check.test", "250 ok\r\n"));
}

TEST_F(Check, TwoRejectionsLeaveTheSecondReply)
{
    SmtpPeer first("127.0.0.27", server("220 mx1\r\n", "250 mx1\r\n", "550 5.1.1 not here\r\n"));
    SmtpPeer second("127.0.0.28", server("220 mx2\r\n", "250 mx2\r\n", "553 5.1.3 not there either\r\n"));
    check("user@rejected.check.test");
    EXPECT_EQ(self.returnvar(), "553 5.1.3 not there either\r\n");
    EXPECT_EQ(self.smtp(), dialog("mx1.rejected.check.test", "220 mx1\r\n", "250 mx1\r\n", "user@rejected.check.test",
                                  "550 5.1.1 not here\r\n") +
                               dialog("mx2.rejected.check.test", "220 mx2\r\n", "250 mx2\r\n",
                                      "user@rejected.check.test", "553 5.1.3 not there either\r\n"));
}

// ---- servers that misbehave ------------------------------------------------

TEST_F(Check, SilentServerTimesOutAndIsStillToldQuit)
{
    SmtpPeer peer("127.0.0.32", test::silent());
    self.timeout(1);
    const auto start = std::chrono::steady_clock::now();
    check("user@silent.check.test");
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.timeout(), 1);
    // The replies that never came add no text.
    EXPECT_EQ(self.smtp(), golden::telnet_line("mx.silent.check.test") + golden::helo_line(from) +
                               golden::vrfy_line("user@silent.check.test") + golden::quit_line());
    // The flag rises on the eleventh tick of 100 ms; "did not hang" above.
    EXPECT_GE(took, 1100ms);
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(eventually([&] { return peer.lines().size() == 3; }));
    EXPECT_EQ(peer.lines().back(), "quit\r\n");
}

TEST_F(Check, WaitingThreadWakesOnlyForNewsAndTicks)
{
    SmtpPeer peer("127.0.0.32", test::silent());
    self.timeout(2);
    rusage usage{};  // ru_nvcsw: how often this thread went to sleep
    ::getrusage(RUSAGE_THREAD, &usage);
    const long before = usage.ru_nvcsw;
    check("user@silent.check.test");
    ::getrusage(RUSAGE_THREAD, &usage);
    const long sleeps = usage.ru_nvcsw - before;
    EXPECT_EQ(self.returnvar(), golden::timed_out(2));

    // Eleven ticks of 200 ms: about one wake-up per tick, plus a few for the
    // lookup and the connection; polling every few ms would be hundreds.
    RecordProperty("voluntary_context_switches", std::to_string(sleeps));
    EXPECT_LE(sleeps, 2 * 11 + 30);
}

TEST_F(Check, LongLineIsCutAtTheReplyLimit)
{
    // A megabyte of banner without a line feed, then the line end and an
    // ordinary dialog: the banner keeps its first 64 KiB only.
    SmtpPeer peer("127.0.0.33",
                  test::stream_without_lf(16 * 1024, 0ms, 1024 * 1024,
                                          smtp_server({{"\r\n"}}, {{"helo", {{"250 mx\r\n"}}},
                                                                   {"vrfy", {{"250 ok\r\n"}}}})));
    check("user@stream.check.test");
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(self.smtp(), dialog("mx.stream.check.test", std::string(reply_limit, 'x'), "250 mx\r\n",
                                  "user@stream.check.test", "250 ok\r\n"));
    EXPECT_GE(peer.bytes_sent(), 1024u * 1024u);
}

long peak_rss_kib()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(Check, ServerStreamingWithoutLineFeedsCannotExhaustMemory)
{
    // As fast as we take it, for the whole time limit.
    SmtpPeer peer("127.0.0.34", test::stream_without_lf(64 * 1024, 0ms, std::size_t{1} << 40));
    self.timeout(1);
    const long before = peak_rss_kib();
    check("user@flood.check.test");
    const long grown_kib = peak_rss_kib() - before;

    EXPECT_EQ(self.returnvar(), golden::timed_out(1));
    EXPECT_EQ(self.smtp(), golden::telnet_line("mx.flood.check.test") + golden::helo_line(from) +
                               golden::vrfy_line("user@flood.check.test") + golden::quit_line());
    // Far more went through than was kept.
    RecordProperty("bytes_streamed", std::to_string(peer.bytes_sent()));
    RecordProperty("peak_rss_growth_kib", std::to_string(grown_kib));
    EXPECT_GT(peer.bytes_sent(), 256 * reply_limit);
#if !VERIMEX_TEST_ASAN
    // NOTE: AddressSanitizer holds freed blocks back in a quarantine of its
    // own, so there the peak says nothing about what the reader kept.
    EXPECT_LT(static_cast<std::size_t>(grown_kib) * 1024, peer.bytes_sent() / 4);
#endif
}

// ---- unsafe input ------------------------------------------------------------

class UnsafeInput : public Check, public ::testing::WithParamInterface<char> {};

TEST_P(UnsafeInput, LineBreakOrNulInTheAddressIsRefusedBeforeAnyLookup)
{
    FakeLookupTool lookup("verified.check.test\tmail exchanger = mx.verified.check.test\r\n");
    SmtpPeer peer("127.0.0.21", server("220 mx\r\n", "250 mx\r\n", "250 ok\r\n"));
    self.smtp("before\r\n");
    self.timeout(0);
    check(std::string("user@verified.check.test") + GetParam() + "RSET");
    EXPECT_EQ(self.returnvar(), golden::invalid_email());
    EXPECT_EQ(self.smtp(), "before\r\n");
    EXPECT_EQ(self.nslookup(), "");
    EXPECT_TRUE(lookup.runs().empty());
    EXPECT_EQ(peer.connections(), 0);
    // The time limit was normalised and started all the same.
    EXPECT_EQ(self.timeout(), 120);
}

TEST_P(UnsafeInput, LineBreakOrNulInTheFromNameIsRefusedBeforeAnyLookup)
{
    FakeLookupTool lookup("verified.check.test\tmail exchanger = mx.verified.check.test\r\n");
    SmtpPeer peer("127.0.0.21", server("220 mx\r\n", "250 mx\r\n", "250 ok\r\n"));
    self.from(std::string("prober") + GetParam() + "MAIL FROM:<x>");
    check("user@verified.check.test");
    EXPECT_EQ(self.returnvar(), golden::invalid_from());
    EXPECT_EQ(self.smtp(), "");
    EXPECT_TRUE(lookup.runs().empty());
    EXPECT_EQ(peer.connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Characters, UnsafeInput, ::testing::Values('\r', '\n', '\0'),
                         [](const auto& p) { return "char" + std::to_string(int{p.param}); });

// The domain is one word of the lookup's command line: nothing in it may
// add words (a DNS server of the caller's choosing) or make it an option.
// The local part is not judged; U+200B and U+00A1 split nothing.
struct DomainForm {
    const char* name;
    std::string email;
    std::string domain;  // the lookup's one domain word; "" for refused
};

class DomainWord : public Check, public ::testing::WithParamInterface<DomainForm> {};

TEST_P(DomainWord, IsRefusedBeforeAnyLookupOrLookedUpAsOneWord)
{
    const DomainForm& f = GetParam();
    FakeLookupTool lookup("verified.check.test\tmail exchanger = mx.verified.check.test\r\n");
    SmtpPeer peer("127.0.0.21", server("220 mx\r\n", "250 mx\r\n", "250 ok\r\n"));
    if (f.domain.empty()) {
        self.smtp("before\r\n");
        self.timeout(0);
        check(f.email);
        EXPECT_EQ(self.returnvar(), golden::invalid_email());
        EXPECT_EQ(self.smtp(), "before\r\n");
        EXPECT_EQ(self.nslookup(), "");
        EXPECT_TRUE(lookup.runs().empty());
        EXPECT_EQ(peer.connections(), 0);
        EXPECT_EQ(self.timeout(), 120);
        return;
    }
    check(f.email);
    EXPECT_EQ(self.returnvar(), golden::verified());
    EXPECT_EQ(lookup.runs(), (std::vector<std::vector<std::string>>{{"-q=mx", f.domain}}));
    // The vrfy line carries the address as given.
    EXPECT_EQ(self.smtp(), dialog("mx.verified.check.test", "220 mx\r\n", "250 mx\r\n", f.email, "250 ok\r\n"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Addresses, DomainWord, ::testing::Values(
    DomainForm{"Option", "u@-port=53 verified.check.test", ""},
    DomainForm{"LeadingDash", "u@-verified.check.test", ""},
    DomainForm{"LeadingDashWithoutAt", "-q=a", ""},
    DomainForm{"Blank", "u@verified.check.test 192.0.2.7", ""},
    DomainForm{"Tab", "u@verified.check.test\t192.0.2.7", ""},
    DomainForm{"BlankAfterTheSecondAt", "u@x@verified.check.test 192.0.2.7", ""},
    DomainForm{"TrailingBlank", "u@verified.check.test ", ""},
    DomainForm{"QuotedDomain", "u@\"verified.check.test\"", ""},
    DomainForm{"Delete", "u@verified.check.test\x7f", ""},
    DomainForm{"C1ControlU0080", "u@verified.check.test\xc2\x80", ""},
    DomainForm{"NoBreakSpace", "u@verified.check.test\xc2\xa0" "192.0.2.7", ""},
    DomainForm{"EnQuad", "u@verified.check.test\xe2\x80\x80", ""},
    DomainForm{"HairSpace", "u@verified.check.test\xe2\x80\x8a", ""},
    DomainForm{"IdeographicSpace", "u@verified.check.test\xe3\x80\x80" "192.0.2.7", ""},
    DomainForm{"QuotedLocalPartWithABlank", "\"john doe\"@verified.check.test", "verified.check.test"},
    DomainForm{"DashInsideTheDomain", "u@verified.check.test-", "verified.check.test-"},
    DomainForm{"ZeroWidthSpace", "u@verified.check.test\xe2\x80\x8b", "verified.check.test\xe2\x80\x8b"},
    DomainForm{"InvertedExclamation", "u@verified.check.test\xc2\xa1", "verified.check.test\xc2\xa1"}),
    [](const ::testing::TestParamInfo<DomainForm>& p) { return std::string(p.param.name); });
// clang-format on

// ---- the lookup and the properties -------------------------------------------

TEST_F(Check, NoMailExchangerLeavesTheDefaultAndNoTranscript)
{
    self.smtp("before\r\n");
    check("user@nomx.check.test");
    EXPECT_EQ(self.returnvar(), golden::no_mail_server());
    EXPECT_EQ(self.smtp(), "before\r\n");
}

struct Normalised {
    std::int16_t given;
    std::int16_t read_back;
};

class TimeoutProperty : public Check, public ::testing::WithParamInterface<Normalised> {};

TEST_P(TimeoutProperty, IsNormalisedInPlace)
{
    self.timeout(GetParam().given);
    check("user@nomx.check.test");
    EXPECT_EQ(self.timeout(), GetParam().read_back);
}

INSTANTIATE_TEST_SUITE_P(Values, TimeoutProperty,
                         ::testing::Values(Normalised{0, 120}, Normalised{1000, 600}, Normalised{45, 45},
                                           Normalised{600, 600}, Normalised{601, 600}, Normalised{1, 1}));

TEST_F(Check, NegativeTimeoutIsRefusedByTheTimer)
{
    self.timeout(-1);
    self.returnvar("untouched");
    EXPECT_THROW(check("user@verified.check.test"), std::invalid_argument);
    EXPECT_EQ(self.timeout(), -1);
    EXPECT_EQ(self.returnvar(), "untouched");
}

TEST_F(Check, TranscriptGrowsAcrossChecks)
{
    SmtpPeer peer("127.0.0.21", server("220 mx\r\n", "250 mx\r\n", "250 ok\r\n"));
    const std::string once =
        dialog("mx.verified.check.test", "220 mx\r\n", "250 mx\r\n", "user@verified.check.test", "250 ok\r\n");
    self.smtp("host note\r\n");
    check("user@verified.check.test");
    self.nslookup("");
    check("user@verified.check.test");
    EXPECT_EQ(self.smtp(), "host note\r\n" + once + once);
}

TEST_F(Check, DomainIsEverythingAfterTheFirstAt)
{
    FakeLookupTool lookup("");
    check("nobody");
    check("a@b@c.check.test");
    self.nslookup("127.0.0.1");
    check("user@d.check.test");
    using Args = std::vector<std::string>;
    EXPECT_EQ(lookup.runs(), (std::vector<Args>{{"-q=mx", "nobody"},
                                                {"-q=mx", "b@c.check.test"},
                                                {"-q=mx", "d.check.test", "127.0.0.1"}}));
}

TEST_F(Check, SecondCheckPassesTheEarlierOutputAsTheServer)
{
    const std::string output = "Server:\t\t127.0.0.1\r\nAddress:\t127.0.0.1#53\r\n\r\n*** nothing found\r\n";
    FakeLookupTool lookup(output);
    check("user@x.check.test");
    EXPECT_EQ(self.nslookup(), output);
    check("user@x.check.test");
    EXPECT_EQ(self.returnvar(), golden::no_mail_server());
    // The command line is split at blanks and tabs only: the line breaks
    // stay inside the words.
    using Args = std::vector<std::string>;
    EXPECT_EQ(lookup.runs(),
              (std::vector<Args>{{"-q=mx", "x.check.test"},
                                 {"-q=mx", "x.check.test", "Server:", "127.0.0.1\r\nAddress:",
                                  "127.0.0.1#53\r\n\r\n***", "nothing", "found\r\n"}}));
}

}  // namespace
}  // namespace verimex
