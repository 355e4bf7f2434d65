// The dialog of methods rcpt and auto against scripted mail servers behind
// the network seam: what each kind of answer makes of the report, the
// order of the commands, STARTTLS, several mail exchangers, catch-all
// probing and its memory, and the time limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/golden.h"
#include "verify/catch_all_memory.h"
#include "verify/dialog.h"

namespace verimex::engine {
namespace {

using namespace std::chrono_literals;

// One scripted server: a banner, then an answer per command found by the
// command's first word (the longest matching key wins, so "RCPT TO:<x" can
// stand beside "RCPT"). An answer list is used in order, its last entry
// again and again.
struct server_script {
    std::string banner = "220 mx.test ESMTP\r\n";
    std::map<std::string, std::vector<std::string>> answers;
    bool tls_handshake_works = true;
    // Each reply comes this late (a tarpit).
    std::chrono::milliseconds delay{0};
    // After this many replies the server hangs up (0: never).
    int hang_up_after = 0;
    // A command (by its start) the server never answers.
    std::string stall_on;
};

constexpr const char* stall = "\x01never answered";

struct server_log {
    std::vector<std::string> commands;
    int connections = 0;
};

class scripted_stream final : public smtp_stream {
public:
    scripted_stream(const server_script& script, server_log& log) : script_(script), log_(log)
    {
        pending_.push_back(script.banner);
    }

    io_status send(std::string_view bytes, deadline) override
    {
        if (closed_)
            return io_status::closed;
        const std::string command(bytes);
        log_.commands.push_back(command);
        if (!script_.stall_on.empty() && command.starts_with(script_.stall_on)) {
            pending_.push_back(stall);
            return io_status::ok;
        }
        if (command == "QUIT\r\n") {
            pending_.push_back("221 bye\r\n");
            return io_status::ok;
        }
        std::string best;
        for (const auto& [key, replies] : script_.answers)
            if (command.starts_with(key) && key.size() > best.size())
                best = key;
        if (best.empty()) {
            pending_.push_back("500 5.5.2 what?\r\n");
            return io_status::ok;
        }
        int& used = uses_[best];
        const std::vector<std::string>& replies = script_.answers.at(best);
        pending_.push_back(replies[std::min<std::size_t>(used, replies.size() - 1)]);
        ++used;
        return io_status::ok;
    }

    io_status read_reply(std::string& text, deadline until) override
    {
        if (pending_.empty() || closed_)
            return io_status::closed;
        if (pending_.front() == stall) {
            std::this_thread::sleep_until(until);
            return io_status::timeout;
        }
        if (script_.delay > 0ms) {
            if (clock::now() + script_.delay > until) {
                std::this_thread::sleep_until(until);
                return io_status::timeout;
            }
            std::this_thread::sleep_for(script_.delay);
        }
        text = pending_.front();
        pending_.pop_front();
        ++replies_;
        if (script_.hang_up_after > 0 && replies_ >= script_.hang_up_after) {
            closed_ = true;
            return io_status::closed;
        }
        return io_status::ok;
    }

    io_status start_tls(deadline, std::string_view) override
    {
        if (!script_.tls_handshake_works)
            return io_status::failed;
        tls_ = true;
        return io_status::ok;
    }
    bool encrypted() const override { return tls_; }
    std::string tls_version() const override { return tls_ ? "TLSv1.3" : ""; }
    int error_code() const override { return 0; }
    std::string error_text() const override { return tls_ ? "" : "TLS handshake: wrong version number"; }

private:
    const server_script& script_;
    server_log& log_;
    std::deque<std::string> pending_;
    std::map<std::string, int> uses_;
    int replies_ = 0;
    bool closed_ = false;
    bool tls_ = false;
};

// The DNS and the servers of one test.
class scripted_network final : public network {
public:
    mx_answer mx;
    std::map<std::string, host_answer> hosts;
    std::map<std::string, server_script> servers;  // by address; none: refused
    std::map<std::string, server_log> logs;
    connect_result::status refusal = connect_result::status::refused;
    int proxy_code = 0;

    mx_answer lookup_mx(std::string_view, deadline) override { return mx; }
    host_answer lookup_host(std::string_view host, deadline) override
    {
        const auto it = hosts.find(std::string(host));
        if (it == hosts.end())
            return {host_answer::status::none, {}, "", 0};
        return it->second;
    }
    std::unique_ptr<smtp_stream> connect(const std::string& address, std::uint16_t, deadline,
                                         connect_result& result) override
    {
        server_log& log = logs[address];
        ++log.connections;
        const auto it = servers.find(address);
        if (it == servers.end()) {
            result.result = refusal;
            result.error_code = refusal == connect_result::status::refused ? ECONNREFUSED : proxy_code;
            return nullptr;
        }
        result.result = connect_result::status::ok;
        return std::make_unique<scripted_stream>(it->second, log);
    }

    // One mail exchanger mx.NAME at address.
    void one_mx(const std::string& address, server_script script)
    {
        mx = {mx_answer::status::ok, {{"mx.test", 10}}, "", 0};
        hosts["mx.test"] = {host_answer::status::ok, {address}, "", 0};
        servers[address] = std::move(script);
    }
};

constexpr const char* banner = "220 mx.test ESMTP\r\n";
constexpr const char* ehlo_plain = "250-mx.test\r\n250 PIPELINING\r\n";
constexpr const char* ehlo_tls = "250-mx.test\r\n250-PIPELINING\r\n250 STARTTLS\r\n";
constexpr const char* ok = "250 2.1.0 Ok\r\n";
constexpr const char* rcpt_ok = "250 2.1.5 Ok\r\n";
constexpr const char* unknown_user = "550 5.1.1 <nosuchuser7@example.test>: Recipient address rejected: User unknown\r\n";
constexpr const char* random_refused = "550 5.1.1 <random>: Recipient address rejected: User unknown\r\n";

server_script postfix_like(std::string rcpt_reply, std::string random_reply = random_refused)
{
    server_script s;
    s.answers["EHLO"] = {ehlo_plain};
    s.answers["MAIL FROM"] = {ok};
    s.answers["RCPT TO"] = {std::move(rcpt_reply), std::move(random_reply)};
    s.answers["RSET"] = {"250 2.0.0 Ok\r\n"};
    s.answers["VRFY"] = {"252 2.0.0 user\r\n"};
    s.answers["vrfy"] = {"252 2.0.0 user\r\n"};
    return s;
}

class Dialog : public ::testing::Test {
protected:
    void SetUp() override { catch_all_memory::process().clear(); }

    report run(const std::string& address = "alice@example.test")
    {
        const std::optional<mailbox> m = parse_mailbox(address);
        EXPECT_TRUE(m) << address;
        report r;
        r.address = address;
        if (!settings.total_seconds)
            settings.total_seconds = 4 * unsigned(settings.timeout);
        settings.total = clock::now() + std::chrono::seconds(settings.total_seconds);
        run_dialog(*m, settings, net, r);
        return r;
    }

    const std::vector<std::string>& commands(const std::string& address = "127.0.0.10")
    {
        return net.logs[address].commands;
    }

    scripted_network net;
    dialog_settings settings = [] {
        dialog_settings s;
        s.how = method::rcpt;
        s.helo = "probe.test";
        s.timeout = 5;
        return s;
    }();
};

// ---- what each answer to RCPT makes of the report ---------------------------

struct rcpt_case {
    const char* name;
    std::string rcpt_reply;
    std::string random_reply;
    verdict v;
    reason r;
    std::optional<int> code;
    std::optional<std::string> enhanced;
    std::optional<bool> catch_all;
};

TEST_F(Dialog, EachRcptAnswerGivesItsVerdict)
{
    const std::vector<rcpt_case> cases = {
        {"accepted, random refused", rcpt_ok, random_refused, verdict::deliverable, reason::accepted, 250, "2.1.5",
         false},
        {"catch-all", rcpt_ok, rcpt_ok, verdict::risky, reason::accept_all, 250, "2.1.5", true},
        {"random deferred", rcpt_ok, "450 4.3.2 try later\r\n", verdict::deliverable, reason::accepted, 250, "2.1.5",
         std::nullopt},
        {"unknown user", unknown_user, "", verdict::undeliverable, reason::no_such_mailbox, 550, "5.1.1",
         std::nullopt},
        {"OpenSMTPD's words", "550 Invalid recipient\r\n", "", verdict::undeliverable, reason::no_such_mailbox, 550,
         std::nullopt, std::nullopt},
        {"Exim's words", "550 Unrouteable address\r\n", "", verdict::undeliverable, reason::no_such_mailbox, 550,
         std::nullopt, std::nullopt},
        {"disabled", "550 5.2.1 mailbox disabled\r\n", "", verdict::undeliverable, reason::mailbox_disabled, 550,
         "5.2.1", std::nullopt},
        {"full", "452 4.2.2 Mailbox full\r\n", "", verdict::risky, reason::mailbox_full, 452, "4.2.2", std::nullopt},
        {"greylisted", "450 4.2.0 <a@example.test>: Recipient address rejected: Greylisted, see postgrey\r\n", "",
         verdict::unknown, reason::greylisted, 450, "4.2.0", std::nullopt},
        {"blocklisted", "554 5.7.1 Service unavailable; Client host [127.0.0.1] blocked using zen.spamhaus.org\r\n",
         "", verdict::unknown, reason::blocked, 554, "5.7.1", std::nullopt},
        {"tls first", "530 5.7.0 Must issue a STARTTLS command first\r\n", "", verdict::unknown,
         reason::tls_required, 530, "5.7.0", std::nullopt},
        {"other", "451 4.3.0 Temporary lookup failure\r\n", "", verdict::unknown, reason::server_error, 451, "4.3.0",
         std::nullopt},
    };
    for (const rcpt_case& c : cases) {
        SCOPED_TRACE(c.name);
        catch_all_memory::process().clear();
        net.logs.clear();
        net.one_mx("127.0.0.10", postfix_like(c.rcpt_reply, c.random_reply));
        const report r = run();
        EXPECT_EQ(r.verdict, c.v);
        EXPECT_EQ(r.reason, c.r);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.enhanced, c.enhanced);
        EXPECT_EQ(r.catch_all, c.catch_all);
        EXPECT_EQ(r.method, method::rcpt);
        EXPECT_EQ(r.mx, "mx.test");
        // "000" exactly when deliverable, else the deciding reply as read.
        EXPECT_EQ(r.returnvar, c.v == verdict::deliverable ? std::string("000") : c.rcpt_reply);
        // Never DATA; the transaction is always abandoned.
        for (const std::string& command : commands())
            EXPECT_FALSE(command.starts_with("DATA")) << command;
        EXPECT_EQ(commands().back(), "QUIT\r\n");
    }
}

TEST_F(Dialog, TranscriptHoldsEveryLineInOrder)
{
    net.one_mx("127.0.0.10", postfix_like(rcpt_ok));
    settings.mail_from = "probe@probe.test";
    const report r = run();
    ASSERT_EQ(commands().size(), 6u);
    const std::string random_rcpt = commands()[3];
    EXPECT_TRUE(random_rcpt.starts_with("RCPT TO:<") && random_rcpt.ends_with("@example.test>\r\n"));
    EXPECT_EQ(r.transcript, golden::telnet_line("mx.test") + banner + "EHLO probe.test\r\n" + ehlo_plain +
                                "MAIL FROM:<probe@probe.test>\r\n" + ok + "RCPT TO:<alice@example.test>\r\n" +
                                rcpt_ok + random_rcpt + random_refused + "RSET\r\n250 2.0.0 Ok\r\nQUIT\r\n");
}

TEST_F(Dialog, NullSenderByDefaultAndNoProbeWhenCatchAllIsOff)
{
    net.one_mx("127.0.0.10", postfix_like(rcpt_ok));
    settings.catch_all = false;
    const report r = run();
    EXPECT_EQ(r.verdict, verdict::deliverable);
    EXPECT_EQ(r.catch_all, std::nullopt);
    EXPECT_EQ(commands(), (std::vector<std::string>{"EHLO probe.test\r\n", "MAIL FROM:<>\r\n",
                                                   "RCPT TO:<alice@example.test>\r\n", "RSET\r\n", "QUIT\r\n"}));
}

TEST_F(Dialog, Utf8AddressAsksForAnSmtpUtf8TransactionWhereOffered)
{
    server_script s = postfix_like(rcpt_ok);
    s.answers["EHLO"] = {"250-mx.test\r\n250 SMTPUTF8\r\n"};
    net.one_mx("127.0.0.10", s);
    settings.catch_all = false;
    EXPECT_EQ(run("j\xc3\xb6rg@example.test").verdict, verdict::deliverable);
    EXPECT_EQ(commands()[1], "MAIL FROM:<> SMTPUTF8\r\n");
    EXPECT_EQ(commands()[2], "RCPT TO:<j\xc3\xb6rg@example.test>\r\n");
    // An ASCII address needs none; an IDN domain goes out as A-labels.
    net.logs.clear();
    run("jorg@b\xc3\xbc" "cher.example");
    EXPECT_EQ(commands()[1], "MAIL FROM:<>\r\n");
    EXPECT_EQ(commands()[2], "RCPT TO:<jorg@xn--bcher-kva.example>\r\n");
}

TEST_F(Dialog, CatchAllResultIsRememberedPerDomain)
{
    net.one_mx("127.0.0.10", postfix_like(rcpt_ok, rcpt_ok));
    EXPECT_EQ(run("alice@example.test").reason, reason::accept_all);
    net.logs.clear();
    const report second = run("bob@EXAMPLE.test");
    EXPECT_EQ(second.reason, reason::accept_all);
    EXPECT_EQ(second.catch_all, true);
    // One RCPT only: the domain's answer was known.
    int rcpts = 0;
    for (const std::string& c : commands())
        rcpts += c.starts_with("RCPT") ? 1 : 0;
    EXPECT_EQ(rcpts, 1);
}

TEST_F(Dialog, ConcurrentChecksOfOneDomainProbeOnce)
{
    catch_all_memory& memory = catch_all_memory::process();
    const auto first = memory.ask("one.test", clock::now() + 1s, nullptr);
    ASSERT_TRUE(first.probe);
    std::thread teller([&] {
        std::this_thread::sleep_for(100ms);
        memory.tell("one.test", true);
    });
    // The second caller waits for the first one's result instead of probing.
    const auto second = memory.ask("one.test", clock::now() + 5s, nullptr);
    teller.join();
    EXPECT_FALSE(second.probe);
    EXPECT_EQ(second.known, true);
    // A deferred probe is not remembered: the next caller probes again.
    memory.clear();
    ASSERT_TRUE(memory.ask("two.test", clock::now() + 1s, nullptr).probe);
    memory.tell("two.test", std::nullopt);
    EXPECT_TRUE(memory.ask("two.test", clock::now() + 1s, nullptr).probe);
}

// ---- method auto --------------------------------------------------------------

TEST_F(Dialog, AutoAsksVrfyFirstAndRcptWhenVrfyDecidesNothing)
{
    struct auto_case {
        const char* vrfy_reply;
        bool rcpt_follows;
        verdict v;
        method by;
    };
    const std::vector<auto_case> cases = {
        {"250 2.0.0 alice@example.test\r\n", false, verdict::deliverable, method::vrfy},
        {"550 5.1.1 <alice@example.test>: Recipient address rejected: User unknown\r\n", false,
         verdict::undeliverable, method::vrfy},
        {"252 2.0.0 alice@example.test\r\n", true, verdict::deliverable, method::rcpt},
        {"502 5.5.1 VRFY command is disabled\r\n", true, verdict::deliverable, method::rcpt},
        {"500 5.5.1 Invalid command: Command unrecognized\r\n", true, verdict::deliverable, method::rcpt},
        {"550 Administrative prohibition\r\n", true, verdict::deliverable, method::rcpt},
        {"252 Administrative prohibition\r\n", true, verdict::deliverable, method::rcpt},
    };
    settings.how = method::automatic;
    for (const auto_case& c : cases) {
        SCOPED_TRACE(c.vrfy_reply);
        net.logs.clear();
        server_script s = postfix_like(rcpt_ok);
        s.answers["vrfy"] = {c.vrfy_reply};
        net.one_mx("127.0.0.10", s);
        const report r = run();
        EXPECT_EQ(r.verdict, c.v);
        EXPECT_EQ(r.method, c.by);
        ASSERT_GE(commands().size(), 2u);
        // The component's own command, after EHLO in the same session.
        EXPECT_EQ(commands()[1], "vrfy alice@example.test\r\n");
        EXPECT_EQ(commands().size() > 2 && commands()[2].starts_with("MAIL FROM"), c.rcpt_follows);
        EXPECT_EQ(net.logs["127.0.0.10"].connections, 1);
        if (!c.rcpt_follows) {
            // The component's returnvar for the same answer.
            EXPECT_EQ(r.returnvar, r.verdict == verdict::deliverable ? std::string("000") : c.vrfy_reply);
        }
    }
}

// ---- the greeting and STARTTLS ------------------------------------------------

TEST_F(Dialog, HeloWhenEhloIsRefused)
{
    server_script s = postfix_like(rcpt_ok);
    s.answers["EHLO"] = {"502 5.5.2 Error: command not recognized\r\n"};
    s.answers["HELO"] = {"250 mx.test\r\n"};
    net.one_mx("127.0.0.10", s);
    const report r = run();
    EXPECT_EQ(r.verdict, verdict::deliverable);
    EXPECT_EQ(commands()[0], "EHLO probe.test\r\n");
    EXPECT_EQ(commands()[1], "HELO probe.test\r\n");
}

TEST_F(Dialog, StartTlsPaths)
{
    struct tls_case {
        const char* name;
        tls_mode mode;
        bool offered;
        bool handshake_works;
        const char* starttls_reply;
        verdict v;
        reason r;
        bool encrypted;
        int connections;
    };
    const std::vector<tls_case> cases = {
        {"try, offered", tls_mode::opportunistic, true, true, "220 2.0.0 Ready\r\n", verdict::deliverable,
         reason::accepted, true, 1},
        {"try, handshake fails: again in plain text", tls_mode::opportunistic, true, false, "220 2.0.0 Ready\r\n",
         verdict::deliverable, reason::accepted, false, 2},
        {"try, STARTTLS refused: on in plain text", tls_mode::opportunistic, true, true, "454 4.7.0 TLS not available\r\n",
         verdict::deliverable, reason::accepted, false, 1},
        {"try, not offered", tls_mode::opportunistic, false, true, "", verdict::deliverable, reason::accepted, false, 1},
        {"require, offered", tls_mode::require, true, true, "220 2.0.0 Ready\r\n", verdict::deliverable,
         reason::accepted, true, 1},
        {"require, not offered", tls_mode::require, false, true, "", verdict::unknown, reason::tls_required, false, 1},
        {"require, handshake fails", tls_mode::require, true, false, "220 2.0.0 Ready\r\n", verdict::unknown,
         reason::tls_required, false, 1},
        {"require, STARTTLS refused", tls_mode::require, true, true, "454 4.7.0 TLS not available\r\n",
         verdict::unknown, reason::tls_required, false, 1},
        {"off, offered", tls_mode::off, true, true, "220 2.0.0 Ready\r\n", verdict::deliverable, reason::accepted,
         false, 1},
    };
    for (const tls_case& c : cases) {
        SCOPED_TRACE(c.name);
        net.logs.clear();
        catch_all_memory::process().clear();
        server_script s = postfix_like(rcpt_ok);
        s.answers["EHLO"] = {c.offered ? ehlo_tls : ehlo_plain};
        s.answers["STARTTLS"] = {c.starttls_reply};
        s.tls_handshake_works = c.handshake_works;
        net.one_mx("127.0.0.10", s);
        settings.tls = c.mode;
        const report r = run();
        EXPECT_EQ(r.verdict, c.v);
        EXPECT_EQ(r.reason, c.r);
        EXPECT_EQ(r.tls, c.encrypted);
        EXPECT_EQ(r.tls_version, c.encrypted ? "TLSv1.3" : "");
        EXPECT_EQ(net.logs["127.0.0.10"].connections, c.connections);
        const bool sent_starttls =
            std::find(commands().begin(), commands().end(), "STARTTLS\r\n") != commands().end();
        EXPECT_EQ(sent_starttls, c.offered && c.mode != tls_mode::off);
        if (c.encrypted) {
            // EHLO again once encrypted.
            EXPECT_EQ(commands()[2], "EHLO probe.test\r\n");
        }
    }
}

// ---- several mail exchangers and the DNS ------------------------------------

TEST_F(Dialog, FirstMxRefusingConnectionsLeavesTheSecondToDecide)
{
    net.mx = {mx_answer::status::ok, {{"mx2.test", 20}, {"mx1.test", 10}}, "", 0};
    net.hosts["mx1.test"] = {host_answer::status::ok, {"127.0.0.11"}, "", 0};
    net.hosts["mx2.test"] = {host_answer::status::ok, {"127.0.0.12", "127.0.0.13"}, "", 0};
    net.servers["127.0.0.13"] = postfix_like(rcpt_ok);
    const report r = run();
    EXPECT_EQ(r.verdict, verdict::deliverable);
    EXPECT_EQ(r.mx, "mx2.test");
    // Preference order, every address of a host in turn.
    EXPECT_TRUE(r.transcript.starts_with(golden::telnet_line("mx1.test") +
                                         golden::connect_error_line("mx1.test") +
                                         golden::telnet_line("mx2.test") +
                                         golden::connect_error_line("mx2.test") +
                                         golden::telnet_line("mx2.test") + banner))
        << r.transcript;
}

TEST_F(Dialog, OutcomesWithoutAServerAnswer)
{
    struct case_ {
        const char* name;
        std::function<void(scripted_network&, dialog_settings&)> setup;
        verdict v;
        reason r;
        std::string returnvar;
    };
    const std::vector<case_> cases = {
        {"null MX", [](scripted_network& n, dialog_settings&) { n.mx.result = mx_answer::status::null_mx; },
         verdict::undeliverable, reason::no_mail_server, golden::no_mail_server()},
        {"NXDOMAIN", [](scripted_network& n, dialog_settings&) { n.mx.result = mx_answer::status::nxdomain; },
         verdict::undeliverable, reason::no_mail_server, golden::no_mail_server()},
        {"SERVFAIL",
         [](scripted_network& n, dialog_settings&) {
             n.mx.result = mx_answer::status::dns_error;
             n.mx.detail = "Server failure";
         },
         verdict::unknown, reason::dns_error, "ERROR: DNS lookup failed: Server failure"},
        {"refused", [](scripted_network& n, dialog_settings&) { n.servers.clear(); }, verdict::unknown,
         reason::could_not_connect, golden::could_not_connect()},
        {"proxy refuses",
         [](scripted_network& n, dialog_settings&) {
             n.servers.clear();
             n.refusal = connect_result::status::proxy_error;
             n.proxy_code = 2;
         },
         verdict::unknown, reason::proxy_error, "ERROR: proxy failed (code 2)"},
        {"banner refusal",
         [](scripted_network& n, dialog_settings&) {
             n.servers["127.0.0.10"].banner = "554 5.7.1 mx.test: Client host rejected: blocked using zen\r\n";
         },
         verdict::unknown, reason::blocked, "554 5.7.1 mx.test: Client host rejected: blocked using zen\r\n"},
        {"out of descriptors",
         [](scripted_network& n, dialog_settings&) {
             n.servers.clear();
             n.refusal = connect_result::status::failed;
             n.proxy_code = EMFILE;
         },
         verdict::unknown, reason::could_not_connect, golden::could_not_connect()},
        {"hangs up after the banner",
         [](scripted_network& n, dialog_settings&) { n.servers["127.0.0.10"].hang_up_after = 1; },
         verdict::unknown, reason::could_not_connect, golden::could_not_connect()},
        // Last: what follows the loop looks at it.
        {"private address refused",
         [](scripted_network&, dialog_settings& s) { s.refuse_private_mx = true; }, verdict::unknown,
         reason::refused_address, golden::could_not_connect()},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        net = scripted_network{};
        settings.refuse_private_mx = false;
        net.one_mx("127.0.0.10", postfix_like(rcpt_ok));
        c.setup(net, settings);
        const report r = run();
        EXPECT_EQ(r.verdict, c.v);
        EXPECT_EQ(r.reason, c.r);
        EXPECT_EQ(r.returnvar, c.returnvar);
        // Short of descriptors: no result at all, and nothing else tried.
        EXPECT_EQ(r.unusable, net.refusal == connect_result::status::failed);
    }
    // A refused address is never connected to, and the transcript says so
    // as for a refused connection.
    EXPECT_EQ(net.logs["127.0.0.10"].connections, 0);
    EXPECT_EQ(run().transcript, golden::telnet_line("mx.test") + golden::connect_error_line("mx.test"));
}

// ---- bounds --------------------------------------------------------------------

TEST_F(Dialog, TarpitIsCutOffAtTheTotalLimit)
{
    // Every reply takes 600 ms, within the 1 s limit of each wait, but the
    // answer to RCPT would come only after the whole check's 2 s.
    server_script s = postfix_like(rcpt_ok);
    s.delay = 600ms;
    net.one_mx("127.0.0.10", s);
    settings.timeout = 1;
    settings.total_seconds = 2;
    const auto start = clock::now();
    const report r = run();
    const auto took = clock::now() - start;
    EXPECT_EQ(r.verdict, verdict::unknown);
    EXPECT_EQ(r.reason, reason::timeout);
    EXPECT_EQ(r.returnvar, golden::timed_out(2));
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 3s);
}

TEST_F(Dialog, ServerSlowToTakeItsLeaveCostsAFewSecondsNotALimit)
{
    server_script s = postfix_like(rcpt_ok);
    s.stall_on = "RSET";
    net.one_mx("127.0.0.10", s);
    settings.timeout = 60;
    const auto start = clock::now();
    const report r = run();
    EXPECT_EQ(r.verdict, verdict::deliverable);
    EXPECT_LT(clock::now() - start, 10s);
}

TEST_F(Dialog, SilentServerTimesOutAfterOneLimitAndTheNextMxIsAsked)
{
    net.mx = {mx_answer::status::ok, {{"slow.test", 10}, {"mx.test", 20}}, "", 0};
    net.hosts["slow.test"] = {host_answer::status::ok, {"127.0.0.11"}, "", 0};
    net.hosts["mx.test"] = {host_answer::status::ok, {"127.0.0.10"}, "", 0};
    server_script slow = postfix_like(rcpt_ok);
    slow.delay = 5s;
    net.servers["127.0.0.11"] = slow;
    net.servers["127.0.0.10"] = postfix_like(rcpt_ok);
    settings.timeout = 1;
    const report r = run();
    EXPECT_EQ(r.verdict, verdict::deliverable);
    EXPECT_EQ(r.mx, "mx.test");
}

}  // namespace
}  // namespace verimex::engine
