// verify() from end to end over the real network layer, in the private
// network (netns/engine.zones): DNS from dnsmasq, TCP to mail servers this
// test plays on loopback. What the dialog does with each kind of domain and
// server, and that the limits and stop requests hold on real sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/golden.h"
#include "support/smtp_peer.h"
#include "verimex/verify.h"

namespace verimex {
namespace {

using namespace std::chrono_literals;
using test::PeerConnection;
using test::SmtpPeer;

// A mail server that knows one mailbox: RCPT for it is accepted, any other
// refused as Postfix refuses it; VRFY answered with vrfy_reply. Each reply
// after `delay`.
test::Behaviour mail_server(std::string known, std::string vrfy_reply = "252 2.0.0 Cannot VRFY\r\n",
                            std::chrono::milliseconds delay = 0ms)
{
    return [=](PeerConnection& c) {
        if (!c.pause(delay) || !c.send("220 mx.engine.test ESMTP\r\n"))
            return;
        while (std::optional<std::string> line = c.read_line()) {
            const std::string verb = test::verb_of(*line);
            std::string reply = "502 5.5.2 Error: command not recognized\r\n";
            if (verb == "ehlo")
                reply = "250-mx.engine.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
            else if (verb == "mail" || verb == "rset")
                reply = "250 2.0.0 Ok\r\n";
            else if (verb == "rcpt")
                reply = line->find("<" + known + ">") != std::string::npos
                            ? "250 2.1.5 Ok\r\n"
                            : "550 5.1.1 <x>: Recipient address rejected: User unknown in local recipient table\r\n";
            else if (verb == "vrfy")
                reply = vrfy_reply;
            else if (verb == "quit")
                reply = "221 2.0.0 Bye\r\n";
            if (!c.pause(delay) || !c.send(reply) || verb == "quit")
                return;
        }
    };
}

options rcpt_options()
{
    options o;
    o.method = method::rcpt;
    o.helo = "prober.engine.test";
    o.timeout = 5;
    return o;
}

class EngineNetwork : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run"; }
};

TEST_F(EngineNetwork, DomainsAndServers)
{
    SmtpPeer ok("127.0.0.121", mail_server("alice@ok.engine.test"));
    SmtpPeer second("127.0.0.123", mail_server("alice@twomx.engine.test"));
    SmtpPeer implicit("127.0.0.124", mail_server("alice@amx.engine.test"));
    struct case_ {
        std::string address;
        verdict v;
        reason r;
        std::optional<std::string> mx;
        std::string returnvar;
    };
    const std::string unknown_reply =
        "550 5.1.1 <x>: Recipient address rejected: User unknown in local recipient table\r\n";
    const std::vector<case_> cases = {
        {"alice@ok.engine.test", verdict::deliverable, reason::accepted, "mx.ok.engine.test", "000"},
        {"nosuchuser7@ok.engine.test", verdict::undeliverable, reason::no_such_mailbox, "mx.ok.engine.test",
         unknown_reply},
        {"alice@twomx.engine.test", verdict::deliverable, reason::accepted, "mx2.twomx.engine.test", "000"},
        {"alice@amx.engine.test", verdict::deliverable, reason::accepted, "amx.engine.test", "000"},
        {"alice@nullmx.engine.test", verdict::undeliverable, reason::no_mail_server, std::nullopt,
         golden::no_mail_server()},
        {"alice@nxdomain.engine.test", verdict::undeliverable, reason::no_mail_server, std::nullopt,
         golden::no_mail_server()},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.address);
        const report r = verify(c.address, rcpt_options());
        EXPECT_EQ(name(r.verdict), name(c.v)) << r.transcript;
        EXPECT_EQ(name(r.reason), name(c.r));
        EXPECT_EQ(r.mx, c.mx);
        EXPECT_EQ(r.returnvar, c.returnvar);
        EXPECT_EQ(r.error, "");
    }
    // The first mail exchanger refused the connection, as the transcript says.
    const report r = verify("alice@twomx.engine.test", rcpt_options());
    EXPECT_TRUE(r.transcript.starts_with("telnet: mx1.twomx.engine.test\r\n"
                                         "ERROR: could not connect to mx1.twomx.engine.test\r\n"
                                         "telnet: mx2.twomx.engine.test\r\n220 mx.engine.test ESMTP\r\n"))
        << r.transcript;
    EXPECT_EQ(r.catch_all, false);
}

TEST_F(EngineNetwork, AutoAsksVrfyThenRcptInOneSession)
{
    SmtpPeer server("127.0.0.127", mail_server("alice@vrfyoff.engine.test", "502 5.5.1 VRFY command is disabled\r\n"));
    options o = rcpt_options();
    o.method = method::automatic;
    const report r = verify("alice@vrfyoff.engine.test", o);
    EXPECT_EQ(name(r.verdict), "deliverable") << r.transcript;
    EXPECT_EQ(r.method, method::rcpt);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NE(r.transcript.find("vrfy alice@vrfyoff.engine.test\r\n502 5.5.1 VRFY command is disabled\r\n"
                                "MAIL FROM:<>\r\n"),
              std::string::npos)
        << r.transcript;
}

TEST_F(EngineNetwork, PrivateMailExchangerIsRefusedWhenAsked)
{
    SmtpPeer ok("127.0.0.121", mail_server("alice@ok.engine.test"));
    // Every method: vrfy is the component's check, kept off the address by
    // the socket's filter rather than by the dialog.
    for (const method m : {method::rcpt, method::automatic, method::vrfy}) {
        options o = rcpt_options();
        o.method = m;
        o.refuse_private_mx = true;
        const report r = verify("alice@ok.engine.test", o);
        EXPECT_EQ(name(r.verdict), "unknown") << name(m);
        EXPECT_EQ(name(r.reason), "refused_address") << name(m);
        EXPECT_EQ(r.returnvar, golden::could_not_connect()) << name(m);
        EXPECT_EQ(r.transcript, "telnet: mx.ok.engine.test\r\nERROR: could not connect to mx.ok.engine.test\r\n")
            << name(m);
    }
    EXPECT_EQ(ok.connections(), 0);
    // The filter lasts as long as its check: the next one, not asked to
    // refuse, connects.
    options vrfy = rcpt_options();
    vrfy.method = method::vrfy;
    EXPECT_NE(verify("alice@ok.engine.test", vrfy).reason, reason::refused_address);
    EXPECT_EQ(ok.connections(), 1);
}

TEST_F(EngineNetwork, TarpitEndsAtTheTotalLimit)
{
    // Each reply after 700 ms: within the 1 s limit of a wait, but the
    // answer to RCPT would come after the whole check's 2 s.
    SmtpPeer tarpit("127.0.0.125", mail_server("alice@tarpit.engine.test", "", 700ms));
    options o = rcpt_options();
    o.timeout = 1;
    o.total_timeout = 2;
    const auto start = std::chrono::steady_clock::now();
    const report r = verify("alice@tarpit.engine.test", o);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(name(r.reason), "timeout") << r.transcript;
    EXPECT_EQ(r.returnvar, golden::timed_out(2));
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 3s);
}

TEST_F(EngineNetwork, StopRequestEndsACheckInFlight)
{
    SmtpPeer silent("127.0.0.126", test::silent());
    cancellation stop;
    options o = rcpt_options();
    o.timeout = 30;
    o.cancel = &stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stop.request();
    });
    const auto start = std::chrono::steady_clock::now();
    const report r = verify("alice@silent.engine.test", o);
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.verdict, verdict::unknown);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 1500ms);
}

}  // namespace
}  // namespace verimex
