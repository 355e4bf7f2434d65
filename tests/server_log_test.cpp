// verimex-server's log lines: each record one line, whatever bytes its
// values hold, in both formats.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "log.h"

namespace {

using verimex_server::LogFormat;
using verimex_server::log_line;

TEST(ServerLog, ValuesAreQuotedAndEscapedSoEachRecordStaysOneLine)
{
    struct Case {
        std::string value;
        std::string plain;  // the value as the plain line writes it
    };
    const Case cases[] = {
        {"/v1/jobs", "/v1/jobs"},
        {"", "\"\""},
        {"a b", "\"a b\""},
        {"k=v", "\"k=v\""},
        {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
        // A request path may hold any byte once percent-decoded: a line
        // end must not start a forged record.
        {"/x\r\nevent=access status=200", "\"/x\\r\\nevent=access status=200\""},
        {std::string("nul\0tab\t\x7f", 9), "\"nul\\x00tab\\t\\x7f\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // UTF-8 kept
        // Not UTF-8: U+FFFD, as in the JSON replies.
        {"bad \xe9 end", "\"bad \xef\xbf\xbd end\""},
    };
    for (const Case& c : cases) {
        const std::string plain = log_line(LogFormat::plain, "access", {{"path", c.value}, {"status", 200}});
        EXPECT_EQ(plain, "event=access path=" + c.plain + " status=200\n") << c.plain;

        const std::string json = log_line(LogFormat::json, "access", {{"path", c.value}, {"status", 200}});
        ASSERT_EQ(json.find('\n'), json.size() - 1) << json;
        const auto object = nlohmann::json::parse(json);
        EXPECT_EQ(object.at("event"), "access");
        EXPECT_EQ(object.at("status"), 200);
        // Valid UTF-8 comes back as it was; other bytes as U+FFFD.
        EXPECT_EQ(object.at("path"), c.value == "bad \xe9 end" ? "bad \xef\xbf\xbd end" : c.value);
    }
}

TEST(ServerLog, NumbersAndFlagsAreBareInPlainAndTypedInJson)
{
    const verimex_server::LogFields fields = {
        {"job", "june"}, {"added", std::uint64_t{3}}, {"final", true}, {"status", 404}};
    EXPECT_EQ(log_line(LogFormat::plain, "job_added", fields), "event=job_added job=june added=3 final=true status=404\n");
    EXPECT_EQ(log_line(LogFormat::json, "job_added", fields),
              "{\"event\":\"job_added\",\"job\":\"june\",\"added\":3,\"final\":true,\"status\":404}\n");
}

TEST(ServerLog, FormatNames)
{
    EXPECT_EQ(verimex_server::log_format("plain"), LogFormat::plain);
    EXPECT_EQ(verimex_server::log_format("json"), LogFormat::json);
    EXPECT_FALSE(verimex_server::log_format("JSON"));
    EXPECT_FALSE(verimex_server::log_format(""));
}

}  // namespace
