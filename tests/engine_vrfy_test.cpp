// Method vrfy of the engine is the component's check: the same returnvar
// and transcript for the same scripted servers in the private network
// (netns/check.zones), with the verdict read from the reply that decided
// (a real Postfix: engine_postfix_test). A stop request ends it early.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_lookup.h"
#include "support/smtp_peer.h"
#include "verimex/quoverimex.h"
#include "verimex/verify.h"

namespace verimex {
namespace {

using namespace std::chrono_literals;
using test::SmtpPeer;
using test::smtp_server;

constexpr const char* helo = "prober.check.test";

test::Behaviour vrfy_server(const std::string& vrfy_reply)
{
    return smtp_server({{"220 mx ESMTP\r\n"}}, {{"helo", {{"250 mx\r\n"}}}, {"vrfy", {{vrfy_reply}}}});
}

struct component_result {
    std::string returnvar, smtp;
};

component_result component_check(const std::string& address, std::int16_t timeout)
{
    quoverimex q;
    q.email(address);
    q.from(helo);
    q.timeout(timeout);
    q.check();
    return {q.returnvar(), q.smtp()};
}

struct vrfy_case {
    std::string address;
    std::int16_t timeout;
    verdict v;
    reason r;
    std::optional<int> code;
    std::optional<std::string> mx;
};

TEST(EngineVrfy, SameResultsAsTheComponent)
{
    ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
    SmtpPeer verified("127.0.0.21", vrfy_server("250 2.0.0 <user@verified.check.test>\r\n"));
    SmtpPeer cannot("127.0.0.23", vrfy_server("252 2.0.0 Cannot VRFY user\r\n"));
    SmtpPeer unknown("127.0.0.24", vrfy_server("550 5.1.1 <x@unknown.check.test>: User unknown\r\n"));
    SmtpPeer second("127.0.0.26", vrfy_server("250 ok\r\n"));
    SmtpPeer silent("127.0.0.32", test::silent());

    const std::vector<vrfy_case> cases = {
        {"user@verified.check.test", 5, verdict::deliverable, reason::accepted, 250, "mx.verified.check.test"},
        {"user@cannot.check.test", 5, verdict::unknown, reason::cannot_verify, 252, "mx.cannot.check.test"},
        {"x@unknown.check.test", 5, verdict::undeliverable, reason::no_such_mailbox, 550, "mx.unknown.check.test"},
        // The first mail exchanger refuses connections, the second decides.
        {"user@refused.check.test", 5, verdict::deliverable, reason::accepted, 250, "mx2.refused.check.test"},
        {"user@nomx.check.test", 5, verdict::undeliverable, reason::no_mail_server, std::nullopt, std::nullopt},
        {"user@exa mple.test", 5, verdict::undeliverable, reason::invalid_syntax, std::nullopt, std::nullopt},
        {"user@silent.check.test", 1, verdict::unknown, reason::timeout, std::nullopt, std::nullopt},
    };
    for (const vrfy_case& c : cases) {
        SCOPED_TRACE(c.address);
        const component_result expected = component_check(c.address, c.timeout);
        options opts;
        opts.method = method::vrfy;
        opts.helo = helo;
        opts.timeout = c.timeout;
        const report r = verify(c.address, opts);
        EXPECT_EQ(r.returnvar, expected.returnvar);
        EXPECT_EQ(r.transcript, expected.smtp);
        EXPECT_EQ(r.verdict, c.v);
        EXPECT_EQ(r.reason, c.r);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.mx, c.mx);
        EXPECT_EQ(r.verified, c.v == verdict::deliverable);
        EXPECT_EQ(r.method, c.code ? std::optional(method::vrfy) : std::nullopt);
        EXPECT_EQ(r.error, "");
        EXPECT_FALSE(r.cancelled);
    }
}

TEST(EngineVrfy, StopRequestEndsTheWaitPromptly)
{
    ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
    SmtpPeer silent("127.0.0.32", test::silent());
    cancellation stop;
    options opts;
    opts.method = method::vrfy;
    opts.helo = helo;
    opts.timeout = 30;
    opts.cancel = &stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stop.request();
    });
    const auto start = std::chrono::steady_clock::now();
    const report r = verify("user@silent.check.test", opts);
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.verdict, verdict::unknown);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2s);
    // Asked again once stopped: nothing is started at all.
    const report again = verify("user@silent.check.test", opts);
    EXPECT_TRUE(again.cancelled);
    EXPECT_EQ(again.transcript, "");
}

}  // namespace
}  // namespace verimex
