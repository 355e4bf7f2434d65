// verimex-check over long lists inside the private network: the zones in
// netns/bulk.zones name the mail exchangers, scripted peers in this process
// play the servers (verified, rejected, 252, refused, silent, odd bytes),
// and the program runs as a child reading the list from standard input.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/golden.h"
#include "support/sanitized.h"
#include "support/smtp_peer.h"
#include "support/spawn.h"
#include "support/test_files.h"

namespace {

namespace golden = verimex::golden;
using namespace verimex::test;

// The time limit of every run (-t), in seconds: what each check on the
// silent server costs a worker, and what every other server has to answer
// within. A sanitized verimex-check and these peers on a busy machine can
// take longer than a second over a dialog.
constexpr int limit = VERIMEX_TEST_SANITIZED ? 3 : 1;
const std::string limit_arg = std::to_string(limit);

// A reply with an escape sequence and two bytes that are not UTF-8.
constexpr std::string_view odd_reply = "550 caf\xc3\xa9 \xff\xfe \x1b[0m no\r\n";

std::string rejection(std::string_view address)
{
    return "550 5.1.1 <" + std::string(address) + ">: Recipient address rejected\r\n";
}

// Knows every name that starts with "good".
Behaviour mailbox_server()
{
    return [](PeerConnection& c) {
        if (!c.send("220 mx.ok.bulk.test ESMTP\r\n"))
            return;
        while (std::optional<std::string> line = c.read_line()) {
            const std::string verb = verb_of(*line);
            std::string name = line->substr(std::min(line->size(), verb.size() + 1));
            while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
                name.pop_back();
            std::string reply = "502 5.5.2 what\r\n";
            if (verb == "helo")
                reply = "250 mx.ok.bulk.test\r\n";
            else if (verb == "vrfy")
                reply = name.starts_with("good") ? "250 2.0.0 <" + name + ">\r\n" : rejection(name);
            else if (verb == "quit")
                reply = "221 2.0.0 Bye\r\n";
            if (!c.send(reply) || verb == "quit")
                return;
        }
    };
}

Behaviour fixed_vrfy_server(std::string vrfy_reply)
{
    return smtp_server({{"220 mx.bulk.test ESMTP\r\n"}},
                       {{"helo", {{"250 mx.bulk.test\r\n"}}}, {"vrfy", {{std::move(vrfy_reply)}}}});
}

struct Case {
    std::string address;
    std::string result_line;  // as verimex-check prints it
};

std::string line_of(const std::string& address, std::string_view returnvar)
{
    if (returnvar.ends_with("\r\n"))
        returnvar.remove_suffix(2);
    return address + ": " + std::string(returnvar);
}

// Two hundred addresses of every kind; four of them hit the silent server,
// which costs a worker the whole time limit each.
std::vector<Case> two_hundred()
{
    std::vector<Case> cases;
    for (int i = 0; i < 200; ++i) {
        const std::string n = std::to_string(i);
        std::string address;
        std::string line;
        if (i == 13 || i == 77 || i == 140 || i == 199) {
            address = "x" + n + "@silent.bulk.test";
            line = line_of(address, golden::timed_out(limit));
            cases.push_back({address, line});
            continue;
        }
        switch (i % 10) {
        case 0: case 1: case 2:
            address = "good" + n + "@ok.bulk.test";
            line = line_of(address, golden::verified());
            break;
        case 3: case 4:
            address = "bad" + n + "@ok.bulk.test";
            line = line_of(address, rejection(address));
            break;
        case 5:
            address = "any" + n + "@cautious.bulk.test";
            line = line_of(address, "252 2.5.2 Cannot VRFY user\r\n");
            break;
        case 6:
            address = "good" + n + "@backup.bulk.test";
            line = line_of(address, golden::verified());
            break;
        case 7:
            address = "x" + n + "@refused.bulk.test";
            line = line_of(address, golden::could_not_connect());
            break;
        case 8:
            address = "x" + n + "@nomx.bulk.test";
            line = line_of(address, golden::no_mail_server());
            break;
        default:
            address = "x" + n + "@odd.bulk.test";
            // Control characters escaped, the other bytes as they came.
            line = address + ": 550 caf\xc3\xa9 \xff\xfe \\x1b[0m no";
            break;
        }
        cases.push_back({address, line});
    }
    return cases;
}

// The list as someone would keep it: comments, blank lines, stray blanks
// and CR LF line ends here and there.
std::string as_input(const std::vector<Case>& cases)
{
    std::string text = "# addresses to check\n\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (i % 7 == 0)
            text += "  # block " + std::to_string(i) + "\n";
        text += (i % 3 == 0 ? "  " : "") + cases[i].address + (i % 4 == 0 ? " \t" : "") +
                (i % 5 == 0 ? "\r\n" : "\n");
        if (i % 11 == 0)
            text += " \t \n";
    }
    return text;
}

// The result lines of -v output: the ones not indented as transcript.
std::vector<std::string> result_lines(std::string_view text)
{
    std::vector<std::string> lines = lines_of(text);
    std::erase_if(lines, [](const std::string& l) { return l.starts_with("    "); });
    return lines;
}

std::vector<std::string> expected_lines(const std::vector<Case>& cases, std::size_t count)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count && i < cases.size(); ++i)
        lines.push_back(cases[i].result_line);
    return lines;
}

ToolInput fed(std::string text)
{
    ToolInput input;
    input.stdin_text = std::move(text);
    // Two hundred checks with one worker, sanitized, on a busy machine can
    // take most of a minute; the limit is only there to stop a hung run.
    input.limit = std::chrono::seconds(150);
    return input;
}

class BulkRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::getenv("VERIMEX_NETNS") == nullptr)
            GTEST_SKIP() << "runs only inside tests/netns/run";
        ok_ = std::make_unique<SmtpPeer>("127.0.0.150", mailbox_server());
        cautious_ = std::make_unique<SmtpPeer>("127.0.0.151", fixed_vrfy_server("252 2.5.2 Cannot VRFY user\r\n"));
        silent_ = std::make_unique<SmtpPeer>("127.0.0.154", silent());
        odd_ = std::make_unique<SmtpPeer>("127.0.0.155", fixed_vrfy_server(std::string(odd_reply)));
    }
    void TearDown() override
    {
        for (SmtpPeer* peer : {ok_.get(), cautious_.get(), silent_.get(), odd_.get()}) {
            if (peer != nullptr) {
                EXPECT_EQ(peer->error(), "") << peer->address();
            }
        }
    }

    std::unique_ptr<SmtpPeer> ok_, cautious_, silent_, odd_;
};

TEST_F(BulkRun, FourWorkersPrintEveryResultInInputOrderAsOneDoes)
{
    const std::vector<Case> cases = two_hundred();
    const std::vector<std::string> args = {"--method", "vrfy", "-v", "-t", limit_arg, "-f", "bulk.test"};

    std::vector<std::string> four_args = args;
    four_args.insert(four_args.end(), {"-j", "4"});
    const ToolRun four = run_verimex_check(four_args, fed(as_input(cases)));
    EXPECT_EQ(four.status, 1);
    EXPECT_EQ(four.err, "");
    EXPECT_EQ(result_lines(four.out), expected_lines(cases, cases.size()));
    // The transcripts came along, each under its own result line.
    const std::string bad = "bad3@ok.bulk.test";
    EXPECT_NE(four.out.find(line_of(bad, rejection(bad)) + "\n    telnet: mx.ok.bulk.test\n"), std::string::npos);

    std::vector<std::string> one_args = args;
    one_args.insert(one_args.end(), {"-j", "1"});
    const ToolRun one = run_verimex_check(one_args, fed(as_input(cases)));
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.err, "");
    EXPECT_EQ(one.out, four.out);
}

TEST_F(BulkRun, FewDescriptorsMeanFewerChecksAtOnceAndTheSameResults)
{
    // The soft limit of 60 is raised to the hard one, but 120 descriptors
    // cannot serve 200 checks at once: the run says how many it can, and
    // every result is still there, in order.
    const std::vector<Case> cases = two_hundred();
    const ToolRun run = run_program(
        "/usr/bin/prlimit",
        {"--nofile=60:120", verimex_check_path(), "--method", "vrfy", "-j", "200", "-t", limit_arg, "-f", "bulk.test"},
        fed(as_input(cases)));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("verimex-check: -j 200: only 120 file descriptors may be open, enough for ", 0), 0u)
        << run.err;
    EXPECT_NE(run.err.find(" checks at a time; checking "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(result_lines(run.out), expected_lines(cases, cases.size()));
}

TEST_F(BulkRun, JsonGivesOneValidObjectPerAddress)
{
    const std::vector<Case> cases = two_hundred();
    const ToolRun run =
        run_verimex_check({"--method", "vrfy", "--json", "-j", "4", "-t", limit_arg, "-f", "bulk.test"}, fed(as_input(cases)));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), cases.size()) << run.out;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string& a = cases[i].address;
        const std::string& line = lines[i];
        EXPECT_TRUE(line.starts_with("{\"address\":\"" + a + "\",\"returnvar\":\"")) << line;
        EXPECT_TRUE(line.ends_with("\",\"error\":null}")) << line;
        const bool verified = cases[i].result_line == line_of(a, golden::verified());
        EXPECT_NE(line.find(verified ? "\",\"verified\":true," : "\",\"verified\":false,"), std::string::npos)
            << line;
        if (a.starts_with("bad")) {
            EXPECT_EQ(line, "{\"address\":\"" + a + "\",\"returnvar\":\"550 5.1.1 <" + a +
                                ">: Recipient address rejected\\r\\n\",\"verified\":false,\"transcript\":\""
                                "telnet: mx.ok.bulk.test\\r\\n220 mx.ok.bulk.test ESMTP\\r\\nhelo bulk.test\\r\\n"
                                "250 mx.ok.bulk.test\\r\\nvrfy " + a + "\\r\\n550 5.1.1 <" + a +
                                ">: Recipient address rejected\\r\\nquit\\r\\n\",\"error\":null}");
        }
        if (a.ends_with("@odd.bulk.test")) {
            // The escape character spelled out, each stray byte one U+FFFD.
            EXPECT_NE(line.find("\"returnvar\":\"550 caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd \\u001b[0m no\\r\\n\""),
                      std::string::npos)
                << line;
            EXPECT_EQ(line.find('\x1b'), std::string::npos);
            EXPECT_EQ(line.find('\xff'), std::string::npos);
        }
    }
}

// Eight quick addresses, then many on the silent server: the signal comes
// once the eight are printed, while the silent checks are under way.
std::vector<Case> quick_then_silent(int quick, int silent)
{
    std::vector<Case> cases;
    for (int i = 0; i < quick; ++i) {
        const std::string a = "good" + std::to_string(i) + "@ok.bulk.test";
        cases.push_back({a, line_of(a, golden::verified())});
    }
    for (int i = 0; i < silent; ++i) {
        const std::string a = "s" + std::to_string(i) + "@silent.bulk.test";
        cases.push_back({a, line_of(a, golden::timed_out(limit))});
    }
    return cases;
}

ToolRun interrupted_run(const std::vector<Case>& cases, std::size_t after_lines, int signal, const char* jobs)
{
    ToolInput input = fed(as_input(cases));
    input.signal = signal;
    input.signal_when = [after_lines](const ToolRun& run) {
        return static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n')) >= after_lines;
    };
    return run_verimex_check({"--method", "vrfy", "-j", jobs, "-t", limit_arg}, input);
}

TEST_F(BulkRun, InterruptPrintsTheResultsSoFarInOrderAndExitsWith130)
{
    const std::vector<Case> cases = quick_then_silent(8, 40);
    const ToolRun run = interrupted_run(cases, 8, SIGINT, "4");
    ASSERT_TRUE(run.signalled) << run.out << run.err;
    EXPECT_EQ(run.status, 130);
    const std::vector<std::string> lines = lines_of(run.out);
    // Stopped: ten rounds of four silent checks were still to come.
    EXPECT_GE(lines.size(), 8u);
    EXPECT_LT(lines.size(), cases.size());
    EXPECT_EQ(lines, expected_lines(cases, lines.size()));
    EXPECT_EQ(run.err, "verimex-check: interrupted; results for " + std::to_string(lines.size()) +
                           " of 48 addresses printed\n");
}

TEST_F(BulkRun, TerminateStopsTheSameWayWith143)
{
    const std::vector<Case> cases = quick_then_silent(2, 8);
    const ToolRun run = interrupted_run(cases, 2, SIGTERM, "2");
    ASSERT_TRUE(run.signalled) << run.out << run.err;
    EXPECT_EQ(run.status, 143);
    const std::vector<std::string> lines = lines_of(run.out);
    EXPECT_GE(lines.size(), 2u);
    EXPECT_LT(lines.size(), cases.size());
    EXPECT_EQ(lines, expected_lines(cases, lines.size()));
}

TEST_F(BulkRun, ProgressBarOnlyOnATerminal)
{
    const std::string list = "good1@ok.bulk.test\nx@silent.bulk.test\ngood2@ok.bulk.test\n";
    const std::string want = "good1@ok.bulk.test: 000\n"
                             "x@silent.bulk.test: " + golden::timed_out(limit) + "\n"
                             "good2@ok.bulk.test: 000\n";

    ToolInput terminal = fed(list);
    terminal.stderr_terminal = true;
    const ToolRun shown = run_verimex_check({"--method", "vrfy", "-t", limit_arg}, terminal);
    EXPECT_EQ(shown.status, 1);
    EXPECT_EQ(shown.out, want);
    // Drawn while the silent server held the run at one of three, and
    // wiped at the end.
    EXPECT_NE(shown.err.find("] 1/3  "), std::string::npos) << shown.err;
    EXPECT_TRUE(shown.err.starts_with("\r[")) << shown.err;
    EXPECT_TRUE(shown.err.ends_with(" \r")) << shown.err;
    EXPECT_EQ(shown.err.find("000"), std::string::npos) << shown.err;

    terminal.stdin_text = list;
    const ToolRun off = run_verimex_check({"--method", "vrfy", "--no-progress", "-t", limit_arg}, terminal);
    EXPECT_EQ(off.out, want);
    EXPECT_EQ(off.err, "");

    const ToolRun piped = run_verimex_check({"--method", "vrfy", "-t", limit_arg}, fed(list));
    EXPECT_EQ(piped.out, want);
    EXPECT_EQ(piped.err, "");
}

}  // namespace
