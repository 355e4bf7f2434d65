// The MX host scanner and the reshaping of system nslookup output, on
// hand-written text and on outputs captured from BIND's and busybox's
// nslookup (tests/data, made by tests/data/capture.sh). No network.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "lookup/nextmx.h"
#include "lookup/reshape.h"
#include "lookup/runlookup.h"
#include "lookup_fixtures.h"

namespace verimex {
namespace {

using test::hosts_in;
using test::test_data;
using test::Hosts;

// ---------------------------------------------------------------------------
// nextmx

TEST(Scanner, TakesEachRecordInOrderAndIgnoresTheRest)
{
    const std::string text =
        "Server:  ns.example.org\r\nAddress:  192.0.2.1\r\n\r\n"
        "example.org\tMX preference = 10, mail exchanger = mx1.example.org\r\n"
        "example.org\tMX preference = 20, mail exchanger = mx2.example.org\r\n"
        "mx1.example.org\tinternet address = 192.0.2.25\r\n";
    std::size_t scanpos = 1;
    EXPECT_EQ(nextmx(text, scanpos), "mx1.example.org");
    EXPECT_EQ(text.substr(scanpos - 1, 15), "mx1.example.org") << "scanpos points at the name returned";
    EXPECT_EQ(nextmx(text, scanpos), "mx2.example.org");
    EXPECT_EQ(text.substr(scanpos - 1, 15), "mx2.example.org");
    EXPECT_EQ(nextmx(text, scanpos), std::nullopt);
    EXPECT_EQ(nextmx(text, scanpos), std::nullopt) << "stays at the end";
}

TEST(Scanner, OutputWithoutRecordsHasNoHost)
{
    EXPECT_EQ(hosts_in(""), Hosts{});
    EXPECT_EQ(hosts_in("*** Can't find example.org: No answer\r\n"), Hosts{});
    EXPECT_EQ(hosts_in("MAIL EXCHANGER = upper.example\r\n"), Hosts{}) << "the search is case-sensitive";
}

TEST(Scanner, ReturnsNamesAsTheyStand)
{
    EXPECT_EQ(hosts_in("mail exchanger = \r\nmail exchanger = b\r\n"), (Hosts{"", "b"}))
        << "CR LF right after the equals sign gives an empty name";
    EXPECT_EQ(hosts_in("mail exchanger = root.dot. \r\n"), Hosts{"root.dot. "});
    EXPECT_EQ(hosts_in("mail exchanger = a\r\nmail exchanger = a\r\n"), (Hosts{"a", "a"}));
}

TEST(Scanner, LineEndingInLfAloneKeepsTheWholeName)
{
    EXPECT_EQ(hosts_in("x\tmail exchanger = mx1.example.org\nx\tmail exchanger = mx2.example.org\r\n"),
              (Hosts{"mx1.example.org", "mx2.example.org"}));
    EXPECT_EQ(hosts_in("mail exchanger = \n"), Hosts{""});
}

TEST(Scanner, RecordCutBeforeItsLineEndEndsTheScan)
{
    EXPECT_EQ(hosts_in("mail exchanger = mx1.example.org\r\nmail exchanger = mx2.exa"), Hosts{"mx1.example.org"});
    EXPECT_EQ(hosts_in("mail exchanger = mx1.example.org\r"), Hosts{});
    EXPECT_EQ(hosts_in("mail exchanger = "), Hosts{});
    EXPECT_EQ(hosts_in("a mail exchanger"), Hosts{});
}

TEST(Scanner, MarkerWithoutEqualsSignEndsTheScan)
{
    // Without the guard this would restart at position 17 and hand out the
    // first record again for ever.
    EXPECT_EQ(hosts_in("mail exchanger = one\r\nmail exchanger: two\r\n"), Hosts{"one"});
    EXPECT_EQ(hosts_in("mail exchanger\r\n"), Hosts{});
    // A complete record further on is still found, as for any text between
    // records.
    EXPECT_EQ(hosts_in("mail exchanger: x\r\nmail exchanger = y\r\n"), Hosts{"y"});
}

TEST(Scanner, ScanposOutsideTheTextFindsNothing)
{
    const std::string text = "mail exchanger = a\r\n";
    std::size_t scanpos = text.size() + 5;
    EXPECT_EQ(nextmx(text, scanpos), std::nullopt);
}

// Random text built from the pieces that trip a scanner up: whatever comes
// out, the scan ends, scanpos only moves forward, and every host is a
// distinct "mail exchanger = " record of the text, taken once.
TEST(Scanner, MalformedTextEndsAndYieldsEachRecordOnce)
{
    const std::vector<std::string> pieces = {
        "mail exchanger = ", "mail exchanger", " = ", "mail ", "exchanger = ", "=", " ", "\r", "\n", "\r\n",
        "mx.example.org", "10 ", ".", "\t", "x"};
    std::mt19937 random(20240611);
    std::size_t total = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int count = std::uniform_int_distribution<int>(0, 40)(random);
        for (int i = 0; i < count; ++i)
            text += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];

        std::size_t scanpos = 1;
        std::vector<std::size_t> starts;
        for (std::size_t calls = 0;; ++calls) {
            ASSERT_LE(calls, text.size() + 1) << "no end for: " << ::testing::PrintToString(text);
            const std::size_t before = scanpos;
            const std::optional<std::string> host = nextmx(text, scanpos);
            if (!host)
                break;
            ASSERT_GT(scanpos, before);
            ASSERT_GE(scanpos, 18u);
            EXPECT_EQ(text.compare(scanpos - 18, 17, "mail exchanger = "), 0);
            const std::size_t lf = text.find('\n', scanpos - 1);
            ASSERT_NE(lf, std::string::npos) << "a host without its line end";
            std::string line = text.substr(scanpos - 1, lf - (scanpos - 1));
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            EXPECT_EQ(*host, line);
            starts.push_back(scanpos);
        }
        for (std::size_t i = 1; i < starts.size(); ++i)
            EXPECT_LT(starts[i - 1], starts[i]);
        total += starts.size();
    }
    EXPECT_GT(total, 1000u) << "the pieces should make plenty of records";
}

// ---------------------------------------------------------------------------
// reshape

TEST(Reshape, LeavesTextInShapeAlone)
{
    const std::string helper = "two.test\tmail exchanger = mx2.two.test\r\ntwo.test\tmail exchanger = mx1.two.test\r\n";
    EXPECT_EQ(reshape(helper), helper);
    const std::string windows =
        "Server:  dns.example\r\nAddress:  192.0.2.53\r\n\r\n"
        "example.org\tMX preference = 10, mail exchanger = mx.example.org\r\n";
    EXPECT_EQ(reshape(windows), windows);
    EXPECT_EQ(reshape(""), "");
}

TEST(Reshape, TurnsLfIntoCrLf)
{
    EXPECT_EQ(reshape("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(reshape("\n\n"), "\r\n\r\n");
    EXPECT_EQ(reshape("cut here"), "cut here") << "a cut last line gets no line end";
}

TEST(Reshape, DropsPreferenceAndRootDot)
{
    EXPECT_EQ(reshape("x\tmail exchanger = 10 mx.example.org.\n"), "x\tmail exchanger = mx.example.org\r\n");
    EXPECT_EQ(reshape("x\tmail exchanger = 0 mx.example.org\n"), "x\tmail exchanger = mx.example.org\r\n");
    EXPECT_EQ(reshape("mail exchanger = 0 .\n"), "mail exchanger = .\r\n") << "a null MX keeps its dot";
    EXPECT_EQ(reshape("mail exchanger = 123.example.org\n"), "mail exchanger = 123.example.org\r\n")
        << "a name that starts with digits is no preference";
    EXPECT_EQ(reshape("mail exchanger = 10 mx.exa"), "mail exchanger = mx.exa");
}

struct Captured {
    const char* tool;
};

class CapturedOutput : public ::testing::TestWithParam<Captured> {
protected:
    std::string raw(const char* what) const
    {
        return test_data(std::string(GetParam().tool) + "-nslookup-" + what + ".txt");
    }
};

TEST_P(CapturedOutput, RecordsComeOutInAnswerOrderWithoutPreferenceOrDot)
{
    const std::string shaped = reshape(raw("mx"));
    EXPECT_EQ(hosts_in(shaped), (Hosts{"mid.lookup.test", "alpha.lookup.test", "zeta.lookup.test"}));
    for (std::size_t lf = shaped.find('\n'); lf != std::string::npos; lf = shaped.find('\n', lf + 1))
        ASSERT_EQ(shaped[lf - 1], '\r') << "every line ends in CR LF; not at " << lf;
    EXPECT_EQ(reshape(shaped), shaped) << "shaped text stays as it is";
}

TEST_P(CapturedOutput, NoMxAndNxdomainGiveNoHost)
{
    EXPECT_EQ(hosts_in(reshape(raw("nomx"))), Hosts{});
    EXPECT_EQ(hosts_in(reshape(raw("nxdomain"))), Hosts{});
}

// The runner reshapes only what its one read returned, so a long output is
// cut first; every record complete before the cut is found, in order, and
// the one cut through is not.
TEST_P(CapturedOutput, OutputCutAtTheReadLimitKeepsTheCompleteRecords)
{
    const std::string full = raw("many");
    const std::string cut = full.substr(0, std::min(full.size(), lookup_read_limit));

    Hosts expected;
    for (const std::string& host : hosts_in(reshape(full))) {
        const std::size_t at = cut.find(host);
        if (at != std::string::npos && cut.find('\n', at) != std::string::npos)
            expected.push_back(host);
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(hosts_in(reshape(cut)), expected);
    for (const std::string& host : expected)
        EXPECT_EQ(host.find_first_of(" .\r", host.size() - 1), std::string::npos) << host;
}

INSTANTIATE_TEST_SUITE_P(Tools, CapturedOutput, ::testing::Values(Captured{"bind"}, Captured{"busybox"}),
                         [](const ::testing::TestParamInfo<Captured>& p) { return std::string(p.param.tool); });

}  // namespace
}  // namespace verimex
