// check against mail servers that hang up instead of answering, played by
// tests/support/smtp_peer.py: the same servers and cases as the Windows DLL's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/hang_up_cases.h"
#include "verimex/quoverimex.h"

namespace verimex {
namespace {

using namespace std::chrono_literals;
using test::HangUpCase;

constexpr const char* from = "prober.hangup.test";

class HangUp : public ::testing::TestWithParam<HangUpCase> {};

TEST_P(HangUp, EndsAtOnceWithTheServersWords)
{
    ASSERT_TRUE(std::getenv("VERIMEX_NETNS")) << "run me through tests/netns/run";
    quoverimex self;
    self.email(GetParam().email);
    self.from(from);
    self.timeout(10);
    const auto start = std::chrono::steady_clock::now();
    self.check();
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(self.returnvar(), GetParam().returnvar);
    EXPECT_EQ(self.smtp(), GetParam().smtp);
    // The limit is 11 s; a hang-up takes milliseconds, even on a busy machine.
    EXPECT_LT(took, 5s);
}

INSTANTIATE_TEST_SUITE_P(Servers, HangUp, ::testing::ValuesIn(test::hang_up_cases(from)),
                         [](const ::testing::TestParamInfo<HangUpCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace verimex
