// verimex-check end to end inside the private network: the zones in
// netns/tool.zones name the mail exchangers, small SMTP peers in this
// process play the servers, and the program runs as a child.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "options.h"
#include "platform/posix/fd.h"
#include "tool_run.h"

namespace {

using verimex::platform::posix::Fd;
using verimex::test::run_verimex_check;
using verimex::test::ToolInput;
using verimex::test::ToolRun;

// A mail server on ADDR:25 that answers VRFY from a table. With
// send_banner false it accepts and then says nothing, as a stuck server.
class SmtpPeer {
public:
    SmtpPeer(const char* address, std::map<std::string, std::string> vrfy, bool send_banner = true)
        : vrfy_(std::move(vrfy)), send_banner_(send_banner)
    {
        listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_)
            throw std::system_error(errno, std::generic_category(), "socket");
        const int on = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(25);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listener_.get(), 8) != 0)
            throw std::system_error(errno, std::generic_category(), std::string("bind/listen ") + address);
        thread_ = std::thread([this] { serve(); });
    }
    SmtpPeer(const SmtpPeer&) = delete;
    SmtpPeer& operator=(const SmtpPeer&) = delete;
    ~SmtpPeer()
    {
        stop_ = true;
        thread_.join();
    }

    std::vector<std::string> helo_names() const
    {
        std::lock_guard lock(mutex_);
        return helo_names_;
    }

private:
    bool wait_readable(int fd) const
    {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (::poll(&p, 1, 50) > 0)
                return true;
        }
        return false;
    }

    static void send_text(int fd, const std::string& text)
    {
        (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }

    void serve()
    {
        while (wait_readable(listener_.get())) {
            Fd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn)
                continue;
            if (!send_banner_) {
                // Hold the connection until the client gives up.
                char sink[256];
                while (wait_readable(conn.get()) && ::recv(conn.get(), sink, sizeof sink, 0) > 0) {
                }
                continue;
            }
            talk(conn.get());
        }
    }

    void talk(int fd)
    {
        send_text(fd, "220 peer.tool.test ESMTP\r\n");
        std::string pending;
        char buf[512];
        while (wait_readable(fd)) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got <= 0)
                return;
            pending.append(buf, static_cast<std::size_t>(got));
            std::size_t end;
            while ((end = pending.find("\r\n")) != std::string::npos) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (line.starts_with("helo ")) {
                    std::lock_guard lock(mutex_);
                    helo_names_.push_back(line.substr(5));
                    send_text(fd, "250 peer.tool.test\r\n");
                } else if (line.starts_with("vrfy ")) {
                    const auto it = vrfy_.find(line.substr(5));
                    send_text(fd, it != vrfy_.end() ? it->second : "550 5.1.1 unknown\r\n");
                } else if (line == "quit") {
                    send_text(fd, "221 bye\r\n");
                    return;
                } else {
                    send_text(fd, "502 5.5.2 what\r\n");
                }
            }
        }
    }

    const std::map<std::string, std::string> vrfy_;
    const bool send_banner_;
    Fd listener_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> helo_names_;  // guarded by mutex_
    std::thread thread_;
};

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
    SmtpPeer peer("127.0.0.61", mailboxes);
    const ToolRun run = run_verimex_check({"-f", "tester.tool.test", "-t", "10", "alice@ok.tool.test"});
    EXPECT_EQ(run.out, "alice@ok.tool.test: 000\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(peer.helo_names(), (std::vector<std::string>{"tester.tool.test"}));
}

TEST_F(ToolEndToEnd, ResultsInInputOrderAndOneMissExitsWithOne)
{
    SmtpPeer peer("127.0.0.61", mailboxes);
    const ToolRun run = run_verimex_check(
        {"-t", "10", "bob@ok.tool.test", "alice@ok.tool.test", "carol@ok.tool.test", "x@closed.tool.test"});
    EXPECT_EQ(run.out,
              "bob@ok.tool.test: 550 5.1.1 <bob@ok.tool.test>: Recipient address rejected\n"
              "alice@ok.tool.test: 000\n"
              "carol@ok.tool.test: 252 2.0.0 carol@ok.tool.test\n"
              "x@closed.tool.test: ERROR: could not connect to mail server\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(ToolEndToEnd, VerboseShowsTheTranscriptAndTheDefaultHeloName)
{
    SmtpPeer peer("127.0.0.61", mailboxes);
    const ToolRun run = run_verimex_check({"-v", "-t", "10", "bob@ok.tool.test"});
    const std::string me = verimex_check::default_from();
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
    EXPECT_EQ(peer.helo_names(), (std::vector<std::string>{me}));
}

TEST_F(ToolEndToEnd, SilentServerTimesOut)
{
    SmtpPeer peer("127.0.0.63", {}, false);
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = run_verimex_check({"-t", "1", "x@silent.tool.test"});
    EXPECT_EQ(run.out, "x@silent.tool.test: ERROR: timeout after 1 seconds.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(ToolEndToEnd, DnsServerOptionReachesTheLookup)
{
    SmtpPeer peer("127.0.0.61", mailboxes);
    // The test resolver answers on 127.0.0.1; nothing answers on .99, so
    // the same address finds no mail exchanger there and nothing is dialled.
    const ToolRun asked = run_verimex_check({"-s", "127.0.0.1", "-t", "10", "alice@ok.tool.test"});
    EXPECT_EQ(asked.out, "alice@ok.tool.test: 000\n");
    const ToolRun silent = run_verimex_check({"-v", "-s", "127.0.0.99", "-t", "10", "alice@ok.tool.test"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out.find("000"), std::string::npos) << silent.out;
    EXPECT_EQ(silent.out.find("telnet:"), std::string::npos) << silent.out;
    EXPECT_EQ(peer.helo_names().size(), 1u);
}

TEST_F(ToolEndToEnd, AddressesReachTheCheckUnchanged)
{
    // The program hands each address over as it came, so the check's own
    // refusal of a domain that would steer the lookup is what it prints;
    // a quoted local part with a blank is still checked.
    std::map<std::string, std::string> boxes = mailboxes;
    boxes["\"john doe\"@ok.tool.test"] = "250 2.0.0 John Doe\r\n";
    SmtpPeer peer("127.0.0.61", boxes);
    const ToolRun run = run_verimex_check({"-t", "10", "u@-port=53 ok.tool.test", "u@ok.tool.test\t127.0.0.1",
                                           "u@ok.tool.test 127.0.0.1", "u@\"ok.tool.test\"", "u@-ok.tool.test",
                                           "\"john doe\"@ok.tool.test"});
    EXPECT_EQ(run.out,
              "u@-port=53 ok.tool.test: ERROR: invalid email address\n"
              "u@ok.tool.test\\t127.0.0.1: ERROR: invalid email address\n"
              "u@ok.tool.test 127.0.0.1: ERROR: invalid email address\n"
              "u@\"ok.tool.test\": ERROR: invalid email address\n"
              "u@-ok.tool.test: ERROR: invalid email address\n"
              "\"john doe\"@ok.tool.test: 000\n");
    EXPECT_EQ(run.status, 1);
    // Only the last one was dialled.
    EXPECT_EQ(peer.helo_names().size(), 1u);

    // From standard input too: a line loses only its blanks at either end.
    ToolInput input;
    input.stdin_text = "u@ok.tool.test 127.0.0.1\n\"john doe\"@ok.tool.test\n";
    const ToolRun listed = run_verimex_check({"-t", "10"}, input);
    EXPECT_EQ(listed.out,
              "u@ok.tool.test 127.0.0.1: ERROR: invalid email address\n"
              "\"john doe\"@ok.tool.test: 000\n");
}

}  // namespace
