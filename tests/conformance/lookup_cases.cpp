// The lookup runner (platform/process.h) and the texts runlookup makes of
// its failures, with this program as the child (seam.h's child modes) and
// faults injected at the process seam for the failures a real system will
// not produce on demand.
#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/texts.h"
#include "lookup/runlookup.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/process.h"
#include "seam.h"
#include "verimex/quoverimex.h"

namespace seam {

namespace {

using verimex::quoverimex;
using verimex::platform::EventLoop;
using verimex::platform::make_event_loop;
using verimex::platform::system_clock;
using verimex::platform::fail_next_tool_call;
using verimex::platform::run_tool;
using verimex::platform::ToolOutput;

// The platform's error numbers the cases use.
#ifdef _WIN32
constexpr std::int32_t file_not_found = ERROR_FILE_NOT_FOUND;
constexpr std::int32_t too_many_open = ERROR_TOO_MANY_OPEN_FILES;
constexpr std::int32_t io_error = ERROR_INVALID_HANDLE;
#else
constexpr std::int32_t file_not_found = ENOENT;
constexpr std::int32_t too_many_open = EMFILE;
constexpr std::int32_t io_error = EIO;
#endif

using Failure = ToolOutput::Failure;

TEST(LookupSeam, ReadsOnceAtMostTheLimitOrFailsToStart)
{
    using Texts = std::pair<std::string, std::string>;
    for (const auto& [text, expected] : {Texts{std::string(1500, 'x'), std::string(1000, 'x')}, Texts{}}) {
        const ToolOutput out = run_tool(self_command("--child-print " + text), 1000);
        EXPECT_EQ(out.failure, Failure::none) << expected.size();
        EXPECT_EQ(out.bytes, expected);
    }
    const ToolOutput out = run_tool("verimex-no-such-tool -q=mx example.test ", 1000);
    EXPECT_EQ(out.failure, Failure::start);
    EXPECT_EQ(out.error, file_not_found);
}

// The lookup's command line with this program in the tool's place: the
// words the tool would receive.
std::vector<std::string> words_of_lookup(const std::string& domain, const std::string& server)
{
    const std::string line = verimex::texts::lookup_command(domain, server);
    const ToolOutput out = run_tool(self_command("--child-args") + line.substr(line.find(' ')), 1000);
    EXPECT_EQ(out.failure, Failure::none);
    std::vector<std::string> words;
    for (std::size_t start = 0, end; (end = out.bytes.find('\n', start)) != std::string::npos; start = end + 1)
        words.push_back(out.bytes.substr(start, end - start));
    return words;
}

// The narrow encoding both ways. The tool's output is decoded from it:
// "café" in Windows' ANSI code page 1252 has the e-acute as the one byte
// E9; the POSIX narrow encoding is the locale's, UTF-8. And no character of
// a domain check lets through changes how the tool splits its command line
// or makes the domain an option: on Windows backslashes are special only
// before a double quote (which check refuses), the domain is always followed
// by a blank, and look-alikes the code page has no place for become '?',
// never the ASCII character they resemble. The POSIX runner splits at blanks
// and tabs only and passes UTF-8 as it is.
TEST(LookupSeam, OutputIsDecodedAndTheDomainStaysOneWordAndNoOption)
{
#ifdef _WIN32
    if (::GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page here is " << ::GetACP() << ", not 1252";
    const char* narrow = "caf%E9";
#else
    const char* narrow = "caf%C3%A9";
#endif
    const ToolOutput out = run_tool(self_command(std::string("--child-print ") + narrow), 1000);
    EXPECT_EQ(out.failure, Failure::none);
    EXPECT_EQ(out.bytes, "caf\xc3\xa9");

    struct Row {
        const char* name;
        std::string domain;
        std::string windows_word;  // as the tool receives it
    };
    const Row rows[] = {
        {"plain", "ok.seam.test", "ok.seam.test"},
        {"backslash", "ok\\seam.test", "ok\\seam.test"},
        {"trailing backslash", "ok.seam.test\\", "ok.seam.test\\"},
        {"three trailing backslashes", "ok.seam.test\\\\\\", "ok.seam.test\\\\\\"},
        // A fullwidth quote (U+FF02), a modifier double prime (U+02BA), a
        // fullwidth backslash before a fullwidth quote, a leading fullwidth
        // hyphen-minus (U+FF0D): best fit would make them '"', '\"', '-'.
        {"fullwidth quote", "ok\xef\xbc\x82seam.test", "ok?seam.test"},
        {"double prime", "ok\xca\xbaseam.test", "ok?seam.test"},
        {"fullwidth backslash and quote", "ok\xef\xbc\xbc\xef\xbc\x82seam.test", "ok??seam.test"},
        {"fullwidth hyphen first", "\xef\xbc\x8dport=53", "?port=53"},
        // Characters the code page holds arrive as themselves.
        {"Latin-1", "caf\xc3\xa9.test", "caf\xc3\xa9.test"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
#ifdef _WIN32
        const std::string& word = r.windows_word;
#else
        const std::string& word = r.domain;
#endif
        EXPECT_EQ(words_of_lookup(r.domain, "127.0.0.1"), (std::vector<std::string>{"-q=mx", word, "127.0.0.1"}));
        EXPECT_EQ(words_of_lookup(r.domain, ""), (std::vector<std::string>{"-q=mx", word}));
    }
}

// The tool holds no end of its own pipe but its output: once we have read
// and closed ours, its next write fails and it ends. Had it inherited the
// read end, it would wait for ever on a full pipe.
TEST(LookupSeam, ToolEndsOnceWeStopReading)
{
    const auto marker = std::filesystem::temp_directory_path() /
        ("verimex-seam-flood-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    const ToolOutput out = run_tool(self_command("--child-flood 4194304 " + marker.string()), 1000);
    EXPECT_EQ(out.failure, Failure::none);
    EXPECT_GE(out.bytes.size(), 1u);
    EXPECT_LE(out.bytes.size(), 1000u);
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(marker)) << "the tool still writes into a pipe nobody reads";
    std::filesystem::remove(marker);
}

// Each failing step, real or injected, gives its own text with the error
// number, leaves nslookup alone, and leaves nothing open behind.
TEST(LookupSeam, EachFailingStepGivesItsTextAndLeavesNothingOpen)
{
    struct Case {
        ToolOutput::Failure step;
        std::int32_t error;
        std::string text;
    };
    const Case cases[] = {
        {Failure::pipe, too_many_open,
         "ERROR: NSLOOKUP failed. CreatePipe failed. Error: " + std::to_string(too_many_open)},
        {Failure::start, file_not_found,
         "ERROR: NSLOOKUP failed. CreateProcess failed. Error: " + std::to_string(file_not_found)},
        {Failure::read, io_error,
         "ERROR: NSLOOKUP failed. Error: " + std::to_string(io_error)},
        // A code with the top bit set (an HRESULT-style number) reads
        // negative.
        {Failure::read, static_cast<std::int32_t>(0x80070005u),
         "ERROR: NSLOOKUP failed. Error: -2147024891"},
    };
    const std::string command = self_command("--child-print " + std::string(20, 'x'));
    // A child not reaped yet may hold a descriptor of ours (POSIX keeps a
    // process descriptor until it reaps the child, at a pass of the loop):
    // what counts is what is left once the children are gone.
    const std::unique_ptr<EventLoop> loop = make_event_loop(system_clock());
    const auto settled = [&](std::size_t expected) {
        const auto give_up = std::chrono::steady_clock::now() + 5s;
        while (open_handles() != expected && std::chrono::steady_clock::now() < give_up) {
            loop->yield();
            std::this_thread::sleep_for(5ms);
        }
        return open_handles();
    };
    // Once for real first, so that what a first run opens for good (the
    // system's own, on a first process start) is not counted as a leak.
    const std::size_t before = open_handles();
    (void)run_tool(command, 1000);
    const std::size_t handles = settled(before);
    for (const Case& c : cases) {
        quoverimex object;
        object.nslookup("mx.kept.example");
        object.returnvar("999 - could not find a mail server for the adress");
        fail_next_tool_call(c.step, c.error);
        verimex::runlookup(object, command);
        EXPECT_EQ(object.returnvar(), c.text);
        EXPECT_EQ(object.nslookup(), "mx.kept.example") << c.text;
        EXPECT_EQ(settled(handles), handles) << "left open after: " << c.text;
    }
    // The fault was used up: the next run is a real one.
    const ToolOutput out = run_tool(command, 1000);
    EXPECT_EQ(out.failure, Failure::none);
    EXPECT_EQ(out.bytes, std::string(20, 'x'));
}

TEST(LookupSeam, FaultArmedOnOneThreadLeavesOthersAlone)
{
    fail_next_tool_call(Failure::pipe, too_many_open);
    ToolOutput elsewhere;
    std::thread([&] { elsewhere = run_tool(self_command("--child-print xxx"), 1000); }).join();
    EXPECT_EQ(elsewhere.failure, Failure::none);
    EXPECT_EQ(elsewhere.bytes, "xxx");
    EXPECT_EQ(run_tool(self_command("--child-print xxx"), 1000).failure, Failure::pipe);
}

}  // namespace

}  // namespace seam
