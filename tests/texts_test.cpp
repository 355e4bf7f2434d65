// The component's texts (component/texts.cpp) against the table of literals
// that the tests of every language read (tests/golden/texts.tsv): each row
// as the component writes it, with blanks at their edges (no host at all, a
// Windows error code with the top bit set, the largest timeout), and the
// table holding no row the component does not write.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "component/texts.h"
#include "support/golden.h"

namespace verimex {
namespace {

struct Row {
    std::string row;  // the table's name for it
    std::string component;
    std::string expected;
};

TEST(Texts, TheComponentWritesEveryRowOfTheTable)
{
    const std::int32_t access_denied = static_cast<std::int32_t>(0x80070005u);
    const std::vector<Row> rows = {
        {"verified", std::string(texts::verified), golden::verified()},
        {"no_mail_server", std::string(texts::no_mail_server), golden::no_mail_server()},
        {"could_not_connect", std::string(texts::could_not_connect), golden::could_not_connect()},
        {"invalid_email", std::string(texts::invalid_email), golden::invalid_email()},
        {"invalid_from", std::string(texts::invalid_from), golden::invalid_from()},
        {"timed_out", texts::timed_out(0), golden::timed_out(0)},
        {"timed_out", texts::timed_out(32767), golden::timed_out(32767)},
        {"pipe_failed", texts::pipe_failed(24), golden::pipe_failed(24)},
        {"start_failed", texts::start_failed(2), golden::start_failed(2)},
        {"start_failed", texts::start_failed(access_denied), golden::start_failed(access_denied)},
        {"read_failed", texts::read_failed(5), golden::read_failed(5)},
        {"telnet_line", texts::telnet_line("mx.example.test"), golden::telnet_line("mx.example.test")},
        {"telnet_line", texts::telnet_line(""), golden::telnet_line("")},
        {"connect_error_line", texts::connect_error_line("127.0.0.1"), golden::connect_error_line("127.0.0.1")},
        {"helo_line", texts::helo_line("prober.test"), golden::helo_line("prober.test")},
        {"vrfy_line", texts::vrfy_line("a@b.test"), golden::vrfy_line("a@b.test")},
        {"quit_line", texts::quit_line(), golden::quit_line()},
        {"lookup_command", texts::lookup_command("b.test", "127.0.0.1"), golden::lookup_command("b.test", "127.0.0.1")},
        {"lookup_command", texts::lookup_command("b.test", ""), golden::lookup_command("b.test", "")},
    };
    std::set<std::string> covered;
    for (const Row& r : rows) {
        EXPECT_EQ(r.component, r.expected) << r.row;
        covered.insert(r.row);
    }
    EXPECT_EQ(covered.size(), golden::detail::load().size()) << "a row of the table is not compared here";
}

TEST(Texts, TheTableRefusesAnUnknownNameAndAWrongCountOfBlanks)
{
    EXPECT_THROW(golden::text("no_such_text"), std::runtime_error);
    EXPECT_THROW(golden::text("timed_out"), std::runtime_error);
    EXPECT_THROW(golden::text("verified", {"1"}), std::runtime_error);
    EXPECT_THROW(golden::text("lookup_command", {"b.test"}), std::runtime_error);
}

}  // namespace
}  // namespace verimex
