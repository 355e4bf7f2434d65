// The engine against a real Postfix as Debian ships it (VRFY on), in the
// private network (netns/check.zones: pf.test's mail exchanger on
// 127.0.0.40): method vrfy gives what the component gives, rcpt and auto go
// through the real resolver and stream.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/fake_lookup.h"
#include "verimex/quoverimex.h"
#include "verimex/verify.h"

namespace verimex {
namespace {

constexpr const char* instance_script = VERIMEX_TESTS_DIR "/support/postfix-instance";
constexpr const char* helo = "prober.check.test";

int run_script(const std::string& args)
{
    const std::string command = std::string(instance_script) + " " + args;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class EnginePostfix : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = std::make_unique<test::TempDir>();
        started = run_script("start " + dir->path().string() + " 127.0.0.40 pf.test") == 0;
    }
    static void TearDownTestSuite()
    {
        if (started) {
            EXPECT_EQ(run_script("stop " + dir->path().string()), 0);
        }
        dir.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
        ASSERT_TRUE(started) << "Postfix did not start (is the postfix package installed?)";
    }

    static report check(const std::string& address, method how)
    {
        options opts;
        opts.method = how;
        opts.helo = helo;
        opts.timeout = 10;
        return verify(address, opts);
    }

    static inline std::unique_ptr<test::TempDir> dir;
    static inline bool started = false;
};

TEST_F(EnginePostfix, VrfyIsTheComponentsCheck)
{
    for (const char* address : {"root@pf.test", "nosuchuser7@pf.test"}) {
        SCOPED_TRACE(address);
        quoverimex q;
        q.email(address);
        q.from(helo);
        q.timeout(10);
        q.check();
        const report r = check(address, method::vrfy);
        EXPECT_EQ(r.returnvar, q.returnvar());
        EXPECT_EQ(r.transcript, q.smtp());
        EXPECT_EQ(r.mx, "mx.pf.test");
        EXPECT_EQ(name(r.reason), address[0] == 'r' ? "cannot_verify" : "no_such_mailbox");
    }
}

TEST_F(EnginePostfix, RcptConfirmsAKnownUserThatVrfyLeavesUndecided)
{
    const report r = check("root@pf.test", method::rcpt);
    EXPECT_EQ(name(r.verdict), "deliverable") << r.transcript;
    EXPECT_EQ(name(r.reason), "accepted");
    EXPECT_EQ(r.returnvar, "000");
    EXPECT_EQ(r.method, method::rcpt);
    EXPECT_EQ(r.mx, "mx.pf.test");
    EXPECT_EQ(r.code, 250);
    EXPECT_EQ(r.enhanced, "2.1.5");
    EXPECT_EQ(r.catch_all, false);
    EXPECT_TRUE(r.transcript.starts_with("telnet: mx.pf.test\r\n220 mx.pf.test ESMTP\r\nEHLO prober.check.test\r\n"))
        << r.transcript;
    EXPECT_NE(r.transcript.find("MAIL FROM:<>\r\n250 2.1.0 Ok\r\nRCPT TO:<root@pf.test>\r\n250 2.1.5 Ok\r\n"),
              std::string::npos)
        << r.transcript;
    EXPECT_TRUE(r.transcript.ends_with("RSET\r\n250 2.0.0 Ok\r\nQUIT\r\n")) << r.transcript;
}

TEST_F(EnginePostfix, UnknownUserIsUndeliverableByEitherMethod)
{
    const report rcpt = check("nosuchuser7@pf.test", method::rcpt);
    EXPECT_EQ(name(rcpt.verdict), "undeliverable") << rcpt.transcript;
    EXPECT_EQ(name(rcpt.reason), "no_such_mailbox");
    EXPECT_EQ(rcpt.enhanced, "5.1.1");
    EXPECT_TRUE(rcpt.returnvar.starts_with("550 5.1.1 <nosuchuser7@pf.test>: ")) << rcpt.returnvar;
    EXPECT_EQ(rcpt.catch_all, std::nullopt);

    // auto: VRFY decides, and returnvar is the component's.
    const report automatic = check("nosuchuser7@pf.test", method::automatic);
    EXPECT_EQ(name(automatic.reason), "no_such_mailbox") << automatic.transcript;
    EXPECT_EQ(automatic.method, method::vrfy);
    quoverimex q;
    q.email("nosuchuser7@pf.test");
    q.from(helo);
    q.timeout(10);
    q.check();
    EXPECT_EQ(automatic.returnvar, q.returnvar());
}

TEST_F(EnginePostfix, AutoGoesOnWithRcptAfterVrfy252)
{
    const report r = check("root@pf.test", method::automatic);
    EXPECT_EQ(name(r.verdict), "deliverable") << r.transcript;
    EXPECT_EQ(r.method, method::rcpt);
    EXPECT_NE(r.transcript.find("vrfy root@pf.test\r\n252 2.0.0 root@pf.test\r\nMAIL FROM:<>\r\n"), std::string::npos)
        << r.transcript;
}

}  // namespace
}  // namespace verimex
