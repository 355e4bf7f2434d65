// Reading replies (code, enhanced code, words) and what each says about the
// address, as the servers of today word them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verify/classify.h"

namespace verimex::engine {
namespace {

TEST(ParseReply, CodesAndEnhancedCodes)
{
    struct case_ {
        std::string reply;
        int code;
        std::optional<std::string> enhanced;
        std::string text;
    };
    const std::vector<case_> cases = {
        {"250 2.1.5 Ok\r\n", 250, "2.1.5", "2.1.5 ok"},
        {"550 5.1.1 <x@y>: User unknown\r\n", 550, "5.1.1", "5.1.1 <x@y>: user unknown"},
        {"250-mx.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n", 250, std::nullopt, "mx.test pipelining 8bitmime"},
        {"550-5.7.1 first\r\n550 5.7.1 second\r\n", 550, "5.7.1", "5.7.1 first 5.7.1 second"},
        // The class of the enhanced code must be the reply's.
        {"550 2.1.5 confused\r\n", 550, std::nullopt, "2.1.5 confused"},
        {"452 4.2.2 Mailbox full", 452, "4.2.2", "4.2.2 mailbox full"},
        {"554 5.7.1\r\n", 554, "5.7.1", "5.7.1"},
        {"220\r\n", 220, std::nullopt, ""},
        {"550 5.1.10 null MX\r\n", 550, "5.1.10", "5.1.10 null mx"},
        {"550 5.1 not enhanced\r\n", 550, std::nullopt, "5.1 not enhanced"},
        {"550 5.1.1000 too long\r\n", 550, std::nullopt, "5.1.1000 too long"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.reply);
        const std::optional<parsed_reply> r = parse_reply(c.reply);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->code, c.code);
        EXPECT_EQ(r->enhanced, c.enhanced);
        EXPECT_EQ(r->text, c.text);
    }
    for (std::string bad : {"", "hello\r\n", "25 short\r\n", "2500 four digits\r\n", "\r\n"})
        EXPECT_FALSE(parse_reply(bad)) << bad;
}

struct verdict_case {
    stage at;
    std::string reply;
    verdict v;
    reason r;
};

TEST(Classify, Table)
{
    const std::vector<verdict_case> cases = {
        {stage::rcpt, "250 2.1.5 Ok\r\n", verdict::deliverable, reason::accepted},
        {stage::rcpt, "251 2.1.5 User not local; will forward\r\n", verdict::deliverable, reason::accepted},
        {stage::rcpt, "250 2.1.5 Destination address valid: Recipient ok\r\n", verdict::deliverable, reason::accepted},
        {stage::rcpt, "250 Accepted\r\n", verdict::deliverable, reason::accepted},
        {stage::rcpt, "550 5.1.1 <x>: Recipient address rejected: User unknown in local recipient table\r\n",
         verdict::undeliverable, reason::no_such_mailbox},
        {stage::rcpt, "551 5.1.6 User has moved\r\n", verdict::undeliverable, reason::no_such_mailbox},
        {stage::rcpt, "553 5.1.3 Bad recipient address syntax\r\n", verdict::undeliverable, reason::no_such_mailbox},
        {stage::rcpt, "550 Invalid recipient\r\n", verdict::undeliverable, reason::no_such_mailbox},
        {stage::rcpt, "550 Unrouteable address\r\n", verdict::undeliverable, reason::no_such_mailbox},
        {stage::rcpt, "550 No such user here\r\n", verdict::undeliverable, reason::no_such_mailbox},
        {stage::rcpt, "550 5.2.1 The email account that you tried to reach is disabled\r\n", verdict::undeliverable,
         reason::mailbox_disabled},
        {stage::rcpt, "550 Mailbox disabled for this recipient\r\n", verdict::undeliverable,
         reason::mailbox_disabled},
        {stage::rcpt, "452 4.2.2 The email account that you tried to reach is over quota\r\n", verdict::risky,
         reason::mailbox_full},
        {stage::rcpt, "552 5.2.2 Mailbox full\r\n", verdict::risky, reason::mailbox_full},
        {stage::rcpt, "452 Insufficient system storage\r\n", verdict::risky, reason::mailbox_full},
        {stage::rcpt, "550 Mailbox quota exceeded\r\n", verdict::risky, reason::mailbox_full},
        {stage::rcpt, "450 4.2.0 <x>: Recipient address rejected: Greylisted, see http://postgrey\r\n",
         verdict::unknown, reason::greylisted},
        {stage::rcpt, "451 4.7.1 Please try again later\r\n", verdict::unknown, reason::greylisted},
        {stage::rcpt, "450 4.7.1 Client host rejected: cannot find your hostname\r\n", verdict::unknown,
         reason::greylisted},
        {stage::rcpt, "451 Temporary local problem\r\n", verdict::unknown, reason::server_error},
        {stage::rcpt, "554 5.7.1 Service unavailable; Client host [192.0.2.1] blocked using zen.spamhaus.org\r\n",
         verdict::unknown, reason::blocked},
        {stage::rcpt, "550 5.7.1 Client host rejected: Access denied\r\n", verdict::unknown, reason::blocked},
        {stage::rcpt, "550 Your IP is listed on a DNSBL\r\n", verdict::unknown, reason::blocked},
        {stage::rcpt, "554 Transaction failed\r\n", verdict::unknown, reason::blocked},
        {stage::banner, "554 mx.test ESMTP not accepting messages\r\n", verdict::unknown, reason::blocked},
        {stage::banner, "421 4.3.2 Service shutting down\r\n", verdict::unknown, reason::server_error},
        {stage::mail, "554 5.7.1 <probe@x>: Sender address rejected: Access denied\r\n", verdict::unknown,
         reason::blocked},
        {stage::rcpt, "530 5.7.0 Must issue a STARTTLS command first\r\n", verdict::unknown, reason::tls_required},
        {stage::mail, "530 Must issue a STARTTLS command first\r\n", verdict::unknown, reason::tls_required},
        {stage::rcpt, "530 5.7.0 Authentication required\r\n", verdict::unknown, reason::server_error},
        {stage::rcpt, "503 5.5.1 Error: need MAIL command\r\n", verdict::unknown, reason::server_error},
        {stage::rcpt, "550 5.5.0 Something odd\r\n", verdict::unknown, reason::server_error},
        {stage::vrfy, "250 2.0.0 alice@example.test\r\n", verdict::deliverable, reason::accepted},
        {stage::vrfy, "252 2.0.0 alice\r\n", verdict::unknown, reason::cannot_verify},
        {stage::vrfy, "550 5.1.1 <x>: Recipient address rejected: User unknown\r\n", verdict::undeliverable,
         reason::no_such_mailbox},
        {stage::vrfy, "502 5.5.1 VRFY command is disabled\r\n", verdict::unknown, reason::server_error},
        {stage::vrfy, "500 5.5.1 Invalid command: Command unrecognized\r\n", verdict::unknown, reason::server_error},
        {stage::ehlo, "250 mx.test\r\n", verdict::unknown, reason::server_error},
    };
    for (const verdict_case& c : cases) {
        SCOPED_TRACE(c.reply);
        const std::optional<parsed_reply> r = parse_reply(c.reply);
        ASSERT_TRUE(r);
        const judgement j = classify(c.at, *r);
        EXPECT_EQ(name(j.verdict), name(c.v));
        EXPECT_EQ(name(j.reason), name(c.r));
    }
}

TEST(Classify, WhetherVrfyDecides)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"250 2.0.0 alice\r\n", true},
        {"251 2.1.5 forwarded\r\n", true},
        {"550 5.1.1 <x>: Recipient address rejected: User unknown\r\n", true},
        {"550 User unknown\r\n", true},
        {"252 2.0.0 alice\r\n", false},
        {"252 Administrative prohibition\r\n", false},
        {"502 5.5.1 VRFY command is disabled\r\n", false},
        {"500 5.5.1 Invalid command: Command unrecognized\r\n", false},
        {"504 5.5.2 not implemented\r\n", false},
        {"550 Administrative prohibition\r\n", false},
        {"550 VRFY not allowed\r\n", false},
        {"554 5.7.1 VRFY refused\r\n", false},
        {"530 5.7.0 Must issue a STARTTLS command first\r\n", false},
        {"421 4.7.0 too many errors\r\n", false},
    };
    for (const auto& [reply, decides] : cases)
        EXPECT_EQ(vrfy_decides(*parse_reply(reply)), decides) << reply;
}

}  // namespace
}  // namespace verimex::engine
