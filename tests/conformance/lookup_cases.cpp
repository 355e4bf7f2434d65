// The lookup runner (platform/process.h) and the texts runlookup makes of its
// failures, with this program as the tool (seam.h's child modes); the failures
// a real system will not produce on demand are injected at the process seam.
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

#include "support/golden.h"
#include "lookup/runlookup.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/process.h"
#include "seam.h"
#include "verimex/quoverimex.h"

namespace seam {

namespace {

namespace golden = verimex::golden;

using namespace verimex::platform;
using Failure = ToolOutput::Failure;
using Steady = std::chrono::steady_clock;

#ifdef _WIN32
constexpr std::int32_t file_not_found = ERROR_FILE_NOT_FOUND, too_many_open = ERROR_TOO_MANY_OPEN_FILES,
                       io_error = ERROR_INVALID_HANDLE;
#else
constexpr std::int32_t file_not_found = ENOENT, too_many_open = EMFILE, io_error = EIO;
#endif

// Each failing step, injected, gives its own text with the error number,
// leaves nslookup alone and nothing open behind; a real run reads once, at
// most the limit.
TEST(LookupSeam, EachFailingStepGivesItsTextAndLeavesNothingOpen)
{
    const struct {
        Failure step;
        std::int32_t error;
        std::string text;
    } cases[] = {
        {Failure::pipe, too_many_open, "ERROR: NSLOOKUP failed. CreatePipe failed. Error: " + std::to_string(too_many_open)},
        {Failure::start, file_not_found,
         "ERROR: NSLOOKUP failed. CreateProcess failed. Error: " + std::to_string(file_not_found)},
        {Failure::read, io_error, "ERROR: NSLOOKUP failed. Error: " + std::to_string(io_error)},
        // A code with the top bit set (an HRESULT-style number) reads negative.
        {Failure::read, static_cast<std::int32_t>(0x80070005u), "ERROR: NSLOOKUP failed. Error: -2147024891"},
    };
    const std::string command = self_command("--child-print " + std::string(1500, 'x'));
    // POSIX holds a process descriptor until a pass of the loop reaps the
    // child: what counts is what is left once the children are gone.
    const std::unique_ptr<EventLoop> loop = make_event_loop(system_clock());
    const auto settled = [&](std::size_t expected) {
        for (const auto give_up = Steady::now() + 5s; open_handles() != expected && Steady::now() < give_up;) {
            loop->yield();
            std::this_thread::sleep_for(5ms);
        }
        return open_handles();
    };
    // Once for real first: what a first process start opens for good is no leak.
    const std::size_t before = open_handles();
    const ToolOutput first = run_tool(command, 1000);
    const std::size_t handles = settled(before);
    for (const auto& c : cases) {
        verimex::quoverimex object;
        object.nslookup("mx.kept.example");
        fail_next_tool_call(c.step, c.error);
        verimex::runlookup(object, command);
        EXPECT_EQ(object.returnvar(), c.text);
        EXPECT_EQ(object.nslookup(), "mx.kept.example") << c.text;
        EXPECT_EQ(settled(handles), handles) << "left open after: " << c.text;
    }
    for (const ToolOutput& out : {first, run_tool(command, 1000)}) {  // the fault was used up
        EXPECT_EQ(out.failure, Failure::none);
        EXPECT_EQ(out.bytes, std::string(1000, 'x'));
    }
    const ToolOutput none = run_tool(self_command("--child-print"), 1000);
    EXPECT_EQ(none.failure, Failure::none) << "a tool without output";
    EXPECT_EQ(none.bytes, "");
}

// The tool holds no end of its pipe but its output: once we have read and
// closed ours its next write fails and it ends, where with the read end
// inherited it would wait for ever on a full pipe.
TEST(LookupSeam, ToolEndsOnceWeStopReading)
{
    const auto marker = std::filesystem::temp_directory_path() /
        ("verimex-seam-flood-" + std::to_string(Steady::now().time_since_epoch().count()));
    const ToolOutput out = run_tool(self_command("--child-flood " + marker.string()), 1000);
    EXPECT_EQ(out.failure, Failure::none);
    EXPECT_GE(out.bytes.size(), 1u);
    EXPECT_LE(out.bytes.size(), 1000u);
    for (const auto give_up = Steady::now() + 10s; !std::filesystem::exists(marker) && Steady::now() < give_up;)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(marker)) << "the tool still writes into a pipe nobody reads";
    std::filesystem::remove(marker);
}

// The lookup's command line with this program in the tool's place: the
// words the tool would receive.
std::vector<std::string> words_of_lookup(const std::string& domain, const std::string& server)
{
    const std::string line = golden::lookup_command(domain, server);
    const ToolOutput out = run_tool(self_command("--child-args") + line.substr(line.find(' ')), 1000);
    EXPECT_EQ(out.failure, Failure::none);
    std::vector<std::string> words;
    for (std::size_t start = 0, end; (end = out.bytes.find('\n', start)) != std::string::npos; start = end + 1)
        words.push_back(out.bytes.substr(start, end - start));
    return words;
}

// The tool's output is decoded from the narrow encoding (Windows' code page
// 1252 has e-acute as E9; POSIX's is UTF-8). No character check lets through
// splits the domain or makes it an option: on Windows backslashes matter
// only before a double quote, the domain is followed by a blank, and
// look-alikes the code page lacks become '?', never what they resemble.
TEST(LookupSeam, OutputIsDecodedAndTheDomainStaysOneWordAndNoOption)
{
#ifdef _WIN32
    if (::GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page here is " << ::GetACP() << ", not 1252";
    const ToolOutput out = run_tool(self_command("--child-print caf%E9"), 1000);
#else
    const ToolOutput out = run_tool(self_command("--child-print caf%C3%A9"), 1000);
#endif
    EXPECT_EQ(out.bytes, "caf\xc3\xa9");
    const struct {
        const char* name;
        std::string domain;
        std::string windows_word;  // as the tool receives it
    } rows[] = {
        {"plain", "ok.seam.test", "ok.seam.test"},
        {"backslash", "ok\\seam.test", "ok\\seam.test"},
        {"trailing backslash", "ok.seam.test\\", "ok.seam.test\\"},
        {"three trailing backslashes", "ok.seam.test\\\\\\", "ok.seam.test\\\\\\"},
        // U+FF02, U+02BA, U+FF3C U+FF02, U+FF0D: best fit would make '"', '\"', '-'.
        {"fullwidth quote", "ok\xef\xbc\x82seam.test", "ok?seam.test"},
        {"double prime", "ok\xca\xbaseam.test", "ok?seam.test"},
        {"fullwidth backslash and quote", "ok\xef\xbc\xbc\xef\xbc\x82seam.test", "ok??seam.test"},
        {"fullwidth hyphen first", "\xef\xbc\x8dport=53", "?port=53"},
        {"Latin-1", "caf\xc3\xa9.test", "caf\xc3\xa9.test"},  // in the code page: as itself
    };
    for (const auto& r : rows) {
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

}  // namespace

}  // namespace seam
