// The probe dialog against a real mail server: Debian's Postfix, unmodified,
// started inside the private network on 127.0.0.40 (mx.pf.test, the mail
// exchanger of pf.test in netns/check.zones) with a configuration and queue
// of its own under a temporary folder. VRFY is enabled; a user of the system
// is answered with 252, an unknown one with 550.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "support/golden.h"
#include "support/fake_lookup.h"
#include "verimex/quoverimex.h"

namespace verimex {
namespace {

constexpr const char* instance_script = VERIMEX_TESTS_DIR "/support/postfix-instance";
constexpr const char* host = "mx.pf.test";
constexpr const char* from = "prober.check.test";

int run_script(const std::string& args)
{
    const std::string command = std::string(instance_script) + " " + args;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Postfix : public ::testing::Test {
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
        const ::testing::TestSuite* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
        if (suite && suite->Failed())
            std::cerr << "--- Postfix's log ---\n" << test::read_whole_file(dir->path() / "maillog");
        dir.reset();
    }

    void SetUp() override
    {
        ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
        ASSERT_TRUE(started) << "Postfix did not start (is the postfix package installed?)";
        self.from(from);
        self.timeout(10);
    }

    // The part of the transcript before the verify reply: our own banner and
    // host name in the instance's configuration make it exact.
    static std::string until_vrfy(const std::string& email)
    {
        return golden::telnet_line(host) + "220 mx.pf.test ESMTP\r\n" + golden::helo_line(from) +
               "250 mx.pf.test\r\n" + golden::vrfy_line(email);
    }

    static inline std::unique_ptr<test::TempDir> dir;
    static inline bool started = false;
    quoverimex self;
};

TEST_F(Postfix, KnownLocalUserIsAnswered252AndNotVerified)
{
    self.email("root@pf.test");
    self.check();
    EXPECT_EQ(self.returnvar(), "252 2.0.0 root@pf.test\r\n");
    EXPECT_EQ(self.smtp(), until_vrfy("root@pf.test") + "252 2.0.0 root@pf.test\r\n" + golden::quit_line());
}

TEST_F(Postfix, UnknownUserIsRejectedWith550)
{
    self.email("nosuchuser@pf.test");
    self.check();
    const std::string& reply = self.returnvar();
    EXPECT_TRUE(reply.starts_with("550 5.1.1 <nosuchuser@pf.test>: ")) << reply;
    EXPECT_TRUE(reply.ends_with("\r\n")) << reply;
    EXPECT_EQ(self.smtp(), until_vrfy("nosuchuser@pf.test") + reply + golden::quit_line());
}

}  // namespace
}  // namespace verimex
