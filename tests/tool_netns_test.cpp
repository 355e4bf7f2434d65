// verimex-check end to end inside the private network: the zones in
// netns/tool.zones name the mail exchangers, small SMTP peers in this
// process play the servers, and the program runs as a child.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "support/golden.h"
#include "support/smtp_peer.h"
#include "support/spawn.h"

namespace {

namespace golden = verimex::golden;
using namespace verimex::test;

// A mail server that answers VRFY from a table of mailboxes.
Behaviour mailbox_server(std::map<std::string, std::string> vrfy)
{
    return [vrfy = std::move(vrfy)](PeerConnection& c) {
        if (!c.send("220 peer.tool.test ESMTP\r\n"))
            return;
        while (std::optional<std::string> line = c.read_line()) {
            const std::string text = line->substr(0, line->find_first_of("\r\n"));
            if (text.starts_with("helo ")) {
                c.send("250 peer.tool.test\r\n");
            } else if (text.starts_with("vrfy ")) {
                const auto it = vrfy.find(text.substr(5));
                c.send(it != vrfy.end() ? it->second : "550 5.1.1 unknown\r\n");
            } else if (text == "quit") {
                c.send("221 bye\r\n");
                return;
            } else {
                c.send("502 5.5.2 what\r\n");
            }
        }
    };
}

const std::map<std::string, std::string> mailboxes = {
    {"alice@ok.tool.test", "250 2.0.0 Alice <alice@ok.tool.test>\r\n"},
    {"carol@ok.tool.test", "252 2.0.0 carol@ok.tool.test\r\n"},
    {"bob@ok.tool.test", "550 5.1.1 <bob@ok.tool.test>: Recipient address rejected\r\n"},
};

class ToolEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::getenv("VERIMEX_NETNS") == nullptr)
            GTEST_SKIP() << "runs only inside tests/netns/run";
    }
};

TEST_F(ToolEndToEnd, VerifiedAddressExitsWithZero)
{
    SmtpPeer peer("127.0.0.61", mailbox_server(mailboxes));
    const ToolRun run = run_verimex_check({"--method", "vrfy", "-f", "tester.tool.test", "-t", "10", "alice@ok.tool.test"});
    EXPECT_EQ(run.out, "alice@ok.tool.test: 000\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(peer.connections(), 1);
    EXPECT_EQ(peer.lines().front(), "helo tester.tool.test\r\n");  // answered, so recorded by now
}

TEST_F(ToolEndToEnd, ResultsInInputOrderAndOneMissExitsWithOne)
{
    SmtpPeer peer("127.0.0.61", mailbox_server(mailboxes));
    const ToolRun run = run_verimex_check(
        {"--method", "vrfy", "-t", "10", "bob@ok.tool.test", "alice@ok.tool.test", "carol@ok.tool.test", "x@closed.tool.test"});
    EXPECT_EQ(run.out,
              "bob@ok.tool.test: 550 5.1.1 <bob@ok.tool.test>: Recipient address rejected\n"
              "alice@ok.tool.test: 000\n"
              "carol@ok.tool.test: 252 2.0.0 carol@ok.tool.test\n"
              "x@closed.tool.test: " + golden::could_not_connect() + "\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(ToolEndToEnd, VerboseShowsTheTranscriptAndTheDefaultHeloName)
{
    SmtpPeer peer("127.0.0.61", mailbox_server(mailboxes));
    const ToolRun run = run_verimex_check({"--method", "vrfy", "-v", "-t", "10", "bob@ok.tool.test"});
    const std::string me = verimex::hosting::default_from();
    EXPECT_EQ(run.out,
              "bob@ok.tool.test: 550 5.1.1 <bob@ok.tool.test>: Recipient address rejected\n"
              "    telnet: mx.ok.tool.test\n"
              "    220 peer.tool.test ESMTP\n"
              "    helo " + me + "\n"
              "    250 peer.tool.test\n"
              "    vrfy bob@ok.tool.test\n"
              "    550 5.1.1 <bob@ok.tool.test>: Recipient address rejected\n"
              "    quit\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(peer.lines().front(), "helo " + me + "\r\n");
}

TEST_F(ToolEndToEnd, SilentServerTimesOut)
{
    SmtpPeer peer("127.0.0.63", silent());
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = run_verimex_check({"--method", "vrfy", "-t", "1", "x@silent.tool.test"});
    EXPECT_EQ(run.out, "x@silent.tool.test: " + golden::timed_out(1) + "\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(ToolEndToEnd, ComponentsInBandFailuresAreResultLinesWithVrfy)
{
    // A HELO name the component refuses is its in-band answer, not a
    // failure of the platform: with method vrfy it is the address's result
    // line, exit status 1, as it always was.
    const ToolRun bad_from = run_verimex_check({"--method", "vrfy", "-f", "bad\r\nname", "alice@ok.tool.test"});
    EXPECT_EQ(bad_from.out, "alice@ok.tool.test: " + golden::text("invalid_from") + "\n");
    EXPECT_EQ(bad_from.err, "");
    EXPECT_EQ(bad_from.status, 1);

}

TEST_F(ToolEndToEnd, DnsServerOptionReachesTheLookup)
{
    SmtpPeer peer("127.0.0.61", mailbox_server(mailboxes));
    // The test resolver answers on 127.0.0.1; nothing answers on .99, so
    // the same address finds no mail exchanger there and nothing is dialled.
    const ToolRun asked = run_verimex_check({"--method", "vrfy", "-s", "127.0.0.1", "-t", "10", "alice@ok.tool.test"});
    EXPECT_EQ(asked.out, "alice@ok.tool.test: 000\n");
    const ToolRun silent = run_verimex_check({"--method", "vrfy", "-v", "-s", "127.0.0.99", "-t", "10", "alice@ok.tool.test"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out.find("000"), std::string::npos) << silent.out;
    EXPECT_EQ(silent.out.find("telnet:"), std::string::npos) << silent.out;
    EXPECT_EQ(peer.connections(), 1);
}

}  // namespace
