// check() end to end from a C++ host: the lookup through the stand-in
// nslookup.exe, SMTP peers of tests/support/smtp_peer.py on loopback, and the
// watchdog's timer ticking through the thread's message queue.
#include "wine_test.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/golden.h"
#include "platform/process.h"
#include "tests/support/hang_up_cases.h"

namespace wine_test {

namespace {

using namespace verimex;
using Clock = std::chrono::steady_clock;

constexpr const char* helo_name = "tester.test";

class Check : public ComTest {};

// Puts the address, our helo name and the time limit, and checks: how long
// the check took.
std::chrono::milliseconds check(IDispatch* object, const std::wstring& email, short timeout)
{
    put_text(object, L"email", email);
    put_text(object, L"from", wide(helo_name));
    put_short(object, L"timeout", timeout);
    Variant none;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(call(object, L"check", none), S_OK);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// A verified address leaves the whole dialog in the transcript, and then
// one whose domain holds U+3000, which the ANSI code page would turn into a
// blank ("best fit") in the lookup's command line, is refused before the
// lookup: the lookup would have replaced `nslookup`.
TEST_F(Check, VerifiedAddressThenADomainThatWouldSteerTheLookup)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    check(object.get(), L"someone@ok.wine.test", 5);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::verified()));
    const std::string smtp = golden::telnet_line("mx.ok.wine.test") + "220 127.0.0.31 ESMTP\r\n" +
                             golden::helo_line(helo_name) + "250 127.0.0.31\r\n" +
                             golden::vrfy_line("someone@ok.wine.test") + "250 someone@ok.wine.test\r\n" +
                             golden::quit_line();
    EXPECT_EQ(get_text(object.get(), L"smtp"), wide(smtp));
    // The output of the Windows tool is already in the shape the scanner
    // reads: it is kept exactly as the tool printed it.
    const platform::ToolOutput tool = platform::run_tool("nslookup -q=mx ok.wine.test ", 1000);
    ASSERT_EQ(tool.failure, platform::ToolOutput::Failure::none);
    EXPECT_NE(tool.bytes.find("mail exchanger = mx.ok.wine.test\r\n"), std::string::npos);
    EXPECT_EQ(get_text(object.get(), L"nslookup"), wide(tool.bytes));

    put_text(object.get(), L"nslookup", L"127.0.0.1");
    check(object.get(), L"u@ok.wine.test\u3000127.0.0.1", 5);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), L"ERROR: invalid email address");
    EXPECT_EQ(get_text(object.get(), L"nslookup"), L"127.0.0.1");
    EXPECT_EQ(get_text(object.get(), L"smtp"), wide(smtp));
}

// The lookup tool is what the search path finds for "nslookup"; with it
// gone the start fails, and the failure's Windows error is reported.
TEST_F(Check, LookupToolThatCannotStartIsReported)
{
    // Every copy the search path would find goes aside for the test (the
    // one in the system folder, and the one beside this program).
    struct Aside {
        std::vector<std::pair<std::wstring, std::wstring>> moved;
        ~Aside()
        {
            for (const auto& [from, to] : moved)
                ::MoveFileW(to.c_str(), from.c_str());
        }
    } aside;
    wchar_t found[MAX_PATH] = {};
    for (int i = 0; i < 5 && ::SearchPathW(nullptr, L"nslookup.exe", nullptr, MAX_PATH, found, nullptr) > 0; ++i) {
        const std::wstring away = std::wstring(found) + L".away";
        ASSERT_TRUE(::MoveFileW(found, away.c_str()));
        aside.moved.emplace_back(found, away);
    }
    ASSERT_FALSE(aside.moved.empty()) << "no nslookup.exe on the search path";

    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    put_text(object.get(), L"email", L"someone@ok.wine.test");
    put_text(object.get(), L"nslookup", L"kept");
    Variant none;
    ASSERT_EQ(call(object.get(), L"check", none), S_OK);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::start_failed(ERROR_FILE_NOT_FOUND)));
    EXPECT_EQ(get_text(object.get(), L"nslookup"), L"kept");
    EXPECT_EQ(get_text(object.get(), L"smtp"), L"");
}

// A tool that ends without printing a thing: the read ends with the pipe
// broken, which is an empty output, not a failure.
TEST_F(Check, LookupToolWithoutOutputFindsNoMailServer)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    // No domain and no server: the stand-in tool complains on standard
    // error only.
    put_text(object.get(), L"email", L"someone@");
    Variant none;
    ASSERT_EQ(call(object.get(), L"check", none), S_OK);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::no_mail_server()));
    EXPECT_EQ(get_text(object.get(), L"nslookup"), L"");
}

// timeout 1: a period of 100 ms, the flag up on the eleventh tick. The
// peer accepts the connection and never says a word, so it is the wait for
// the banner that runs out.
TEST_F(Check, SilentServerRunsIntoTheTimeLimit)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    put_text(object.get(), L"email", L"someone@slow.wine.test");
    put_short(object.get(), L"timeout", 1);
    Variant none;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(call(object.get(), L"check", none), S_OK);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::timed_out(1)));
    EXPECT_GE(took.count(), 1100) << "eleven periods of 100 ms at the least";
    EXPECT_LT(took.count(), 30000) << "it did not hang";
    EXPECT_EQ(get_text(object.get(), L"smtp").rfind(wide(golden::telnet_line("mx.slow.wine.test")), 0), 0u);

    // The flag stays up after the call: checktime says so and writes the
    // text again.
    put_text(object.get(), L"returnvar", L"cleared by the host");
    Variant expired;
    ASSERT_EQ(call(object.get(), L"checktime", expired), S_OK);
    EXPECT_EQ((*expired).vt, VT_BOOL);
    EXPECT_EQ((*expired).boolVal, VARIANT_TRUE);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::timed_out(1)));

    // The next check starts with the flag down and its full time.
    put_text(object.get(), L"email", L"someone@ok.wine.test");
    put_short(object.get(), L"timeout", 5);
    ASSERT_EQ(call(object.get(), L"check", none), S_OK);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::verified()));
}

// The timer keeps running after check() returns, ticking whenever the
// host pumps its own messages.
TEST_F(Check, WatchdogTicksInTheHostsOwnMessageLoop)
{
    Ref<IDispatch> object = create_verifier();
    ASSERT_TRUE(object);
    put_text(object.get(), L"email", L"someone@nomx.wine.test");
    put_short(object.get(), L"timeout", 1);
    Variant none;
    ASSERT_EQ(call(object.get(), L"check", none), S_OK);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::no_mail_server()));

    const Clock::time_point start = Clock::now();
    Variant expired;
    do {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        ASSERT_EQ(call(object.get(), L"checktime", expired), S_OK);
    } while ((*expired).boolVal != VARIANT_TRUE && Clock::now() - start < std::chrono::seconds(30));
    EXPECT_EQ((*expired).boolVal, VARIANT_TRUE);
    EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(golden::timed_out(1)));
}

// The same servers and cases as the Linux library's hangup_test: each ends
// at once with what the server said, nowhere near the limit (11 s).
TEST_F(Check, ServersThatHangUpEndItAtOnceWithTheirWords)
{
    for (const test::HangUpCase& c : test::hang_up_cases(helo_name)) {
        SCOPED_TRACE(c.name);
        Ref<IDispatch> object = create_verifier();
        ASSERT_TRUE(object);
        const std::chrono::milliseconds took = check(object.get(), wide(c.email), 10);
        EXPECT_EQ(get_text(object.get(), L"returnvar"), wide(c.returnvar));
        EXPECT_EQ(get_text(object.get(), L"smtp"), wide(c.smtp));
        EXPECT_LT(took.count(), 5000);
    }
}

}  // namespace

}  // namespace wine_test
