// verimex-check without a network: reading the command line, the shape of
// its output, the exit status of a run, and the program's answers to usage
// errors and --help (none of which reach a check).
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "checking.h"
#include "options.h"
#include "report.h"
#include "tool_run.h"

namespace {

using namespace verimex_check;

std::variant<Options, UsageError> parse(std::vector<std::string_view> args)
{
    return parse_args(args);
}

Options parsed(std::vector<std::string_view> args)
{
    auto result = parse(std::move(args));
    if (auto* bad = std::get_if<UsageError>(&result))
        ADD_FAILURE() << "unexpected usage error: " << bad->message;
    return std::holds_alternative<Options>(result) ? std::get<Options>(result) : Options{};
}

bool refused(std::vector<std::string_view> args)
{
    return std::holds_alternative<UsageError>(parse(std::move(args)));
}

CheckResult outcome(std::string returnvar, std::string platform_error = {})
{
    CheckResult r;
    r.address = "someone@example.test";
    r.returnvar = std::move(returnvar);
    r.platform_error = std::move(platform_error);
    return r;
}

TEST(ToolOptions, DefaultsLeaveEverythingToTheComponent)
{
    const Options o = parsed({"a@example.test"});
    EXPECT_EQ(o.from, "");
    EXPECT_EQ(o.timeout, 0);
    EXPECT_EQ(o.dns_server, "");
    EXPECT_FALSE(o.verbose);
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.addresses, (std::vector<std::string>{"a@example.test"}));
}

TEST(ToolOptions, ValuesSeparateAttachedAndGrouped)
{
    const Options o = parsed({"-f", "mail.example.net", "-t5", "-s", "192.0.2.53", "a@x.test"});
    EXPECT_EQ(o.from, "mail.example.net");
    EXPECT_EQ(o.timeout, 5);
    EXPECT_EQ(o.dns_server, "192.0.2.53");

    const Options grouped = parsed({"-vt", "7", "a@x.test"});
    EXPECT_TRUE(grouped.verbose);
    EXPECT_EQ(grouped.timeout, 7);
}

TEST(ToolOptions, AddressesKeepTheirOrderAroundOptions)
{
    const Options o = parsed({"b@x.test", "-v", "a@x.test", "--", "-f", "-"});
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.from, "");
    EXPECT_EQ(o.addresses, (std::vector<std::string>{"b@x.test", "a@x.test", "-f", "-"}));
}

TEST(ToolOptions, TimeoutMustBeWholeSecondsInRange)
{
    EXPECT_EQ(parsed({"-t", "0", "a"}).timeout, 0);
    EXPECT_EQ(parsed({"-t", "32767", "a"}).timeout, 32767);
    EXPECT_EQ(parsed({"-t", "0009", "a"}).timeout, 9);
    for (std::string_view bad : {"32768", "-1", "+5", "5s", " 5", "", "99999999999999999999"})
        EXPECT_TRUE(refused({"-t", bad, "a"})) << "-t '" << bad << "'";
}

TEST(ToolOptions, UsageErrors)
{
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused({"-v"}));
    EXPECT_TRUE(refused({"-x", "a"}));
    EXPECT_TRUE(refused({"--verbose", "a"}));
    EXPECT_TRUE(refused({"a", "-t"}));
    EXPECT_TRUE(refused({"a", "-s"}));
    EXPECT_TRUE(refused({"-f", "", "a"}));
}

TEST(ToolOptions, HelpNeedsNoAddress)
{
    EXPECT_TRUE(parsed({"--help"}).help);
    EXPECT_TRUE(parsed({"-h"}).help);
}

TEST(ToolReport, ResultLineDropsTheFinalLineEndAndShowsTheRest)
{
    EXPECT_EQ(result_line(outcome("000")), "someone@example.test: 000\n");
    EXPECT_EQ(result_line(outcome("550 5.1.1 <someone@example.test>: Recipient address rejected\r\n")),
              "someone@example.test: 550 5.1.1 <someone@example.test>: Recipient address rejected\n");
    EXPECT_EQ(result_line(outcome("550-first\r\n550 second\r\n")),
              "someone@example.test: 550-first\\r\\n550 second\n");
    EXPECT_EQ(result_line(outcome("")), "someone@example.test: \n");
}

TEST(ToolReport, ControlCharactersCannotReachTheTerminal)
{
    EXPECT_EQ(escaped("a\x1b[31mb\tc\\d\x7f"), "a\\x1b[31mb\\tc\\\\d\\x7f");
    EXPECT_EQ(escaped("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(ToolReport, TranscriptIsIndentedOneLinePerLineEnd)
{
    EXPECT_EQ(transcript_block(""), "");
    EXPECT_EQ(transcript_block("telnet: mx.x.test\r\n220 ready\r\nhelo me\r\n"),
              "    telnet: mx.x.test\n    220 ready\n    helo me\n");
    // A bare LF still ends a line, a stray CR is shown, a cut reply is kept.
    EXPECT_EQ(transcript_block("220 a\n250 b\rc\r\n421 cut"), "    220 a\n    250 b\\rc\n    421 cut\n");
}

TEST(ToolReport, ErrorLineNamesTheAddress)
{
    EXPECT_EQ(error_line(outcome("999", "connect: Bad file descriptor")),
              "verimex-check: someone@example.test: connect: Bad file descriptor\n");
}

TEST(ToolReport, ExitStatusOfARun)
{
    Tally none;
    EXPECT_EQ(none.status(), all_verified);

    Tally all;
    all.add(outcome("000"));
    all.add(outcome("000"));
    EXPECT_EQ(all.status(), all_verified);

    Tally some;
    some.add(outcome("000"));
    some.add(outcome("ERROR: could not connect to mail server"));
    EXPECT_EQ(some.status(), some_not_verified);

    // A platform failure outranks a plain rejection, even when its
    // returnvar happens to read "000".
    Tally failed;
    failed.add(outcome("550 no\r\n"));
    failed.add(outcome("000", "boom"));
    EXPECT_EQ(failed.status(), platform_failed);
}

TEST(ToolCommand, HelpPrintsUsageAndExitStatuses)
{
    const verimex::test::ToolRun run = verimex::test::run_verimex_check({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.starts_with("usage: verimex-check [-f FROM] [-t SECONDS] [-s DNS-SERVER] [-v] ADDRESS..."))
        << run.out;
    EXPECT_NE(run.out.find("Exit status:"), std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST(ToolCommand, UsageErrorsExitWithTwoBeforeAnyCheck)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-t", "40000", "a@x.test"}, {"-q", "a@x.test"}, {"a@x.test", "-f"}};
    for (const auto& args : cases) {
        const verimex::test::ToolRun run = verimex::test::run_verimex_check(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("verimex-check: ")) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
}

}  // namespace
