// A script host: cscript runs check.vbs against the registered class, and
// what the script printed is checked here.
#include "wine_test.h"

#include <chrono>
#include <map>

#include "support/golden.h"

namespace wine_test {

namespace {

using namespace verimex;

std::wstring unescape(std::wstring_view s)
{
    std::wstring out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != L'\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const wchar_t c = s[++i];
        out += c == L'r' ? L'\r' : c == L'n' ? L'\n' : c;
    }
    return out;
}

// Runs cscript on the script, its standard output on a pipe, for at most
// a few minutes. Returns what it printed.
std::string run_cscript(const std::wstring& script)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &sa, 0))
        return "<no pipe>";
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(system) + L"\\cscript.exe\" //nologo \"" + script + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    const BOOL started =
        ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    ::CloseHandle(write_end);
    if (!started) {
        ::CloseHandle(read_end);
        return "<cscript did not start>";
    }

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (;;) {
        char buffer[4096];
        DWORD got = 0;
        if (!::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) || got == 0)
            break;  // the script ended and closed its end
        output.append(buffer, got);
        if (std::chrono::steady_clock::now() > deadline) {
            ::TerminateProcess(pi.hProcess, 1);
            output += "\n<time limit>";
            break;
        }
    }
    ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(read_end);
    return output;
}

class ScriptHost : public ComTest {
protected:
    static void SetUpTestSuite()
    {
        const std::wstring script = env(L"VERIMEX_SCRIPT");
        output_ = run_cscript(script);
        std::size_t pos = 0;
        const std::wstring text = wide(output_);
        while (pos < text.size()) {
            std::size_t end = text.find(L'\n', pos);
            if (end == std::wstring::npos)
                end = text.size();
            std::wstring line = text.substr(pos, end - pos);
            if (!line.empty() && line.back() == L'\r')
                line.pop_back();
            const std::size_t eq = line.find(L'=');
            if (line == L"END")
                ended_ = true;
            else if (eq != std::wstring::npos)
                lines_[line.substr(0, eq)] = unescape(std::wstring_view(line).substr(eq + 1));
            pos = end + 1;
        }
    }

    // The value the script printed for key, or a marker that it printed none.
    static std::wstring at(const std::wstring& key)
    {
        const auto it = lines_.find(key);
        return it == lines_.end() ? L"<not printed: " + key + L">" : it->second;
    }

    // The dialog the scripted peer at address holds for a verify of email.
    static std::wstring dialog(const char* host, const std::wstring& address, const char* email, bool accepted)
    {
        return wide(golden::telnet_line(host)) + L"220 " + address + L" ESMTP\r\n" +
               wide(golden::helo_line("tester.test")) + L"250 " + address + L"\r\n" + wide(golden::vrfy_line(email)) +
               (accepted ? L"250 " + wide(email) + L"\r\n" : L"550 " + wide(email) + L": no such user\r\n") +
               wide(golden::quit_line());
    }

    static inline std::string output_;
    static inline std::map<std::wstring, std::wstring> lines_;
    static inline bool ended_ = false;
};

TEST_F(ScriptHost, RanToTheEnd)
{
    EXPECT_TRUE(ended_) << "cscript printed:\n" << output_;
}

TEST_F(ScriptHost, NewObjectHasTheDefaults)
{
    for (const wchar_t* name : {L"email", L"nslookup", L"smtp", L"returnvar", L"from"})
        EXPECT_EQ(at(std::wstring(L"new.") + name), L"") << testing::PrintToString(std::wstring(name));
    EXPECT_EQ(at(L"new.timeout"), L"0");
    EXPECT_EQ(at(L"new.timeout.type"), L"Integer");
    EXPECT_EQ(at(L"new.checktime"), L"False");
    EXPECT_EQ(at(L"new.checktime.type"), L"Boolean");
}

TEST_F(ScriptHost, VerifiedAddress)
{
    EXPECT_EQ(at(L"ok.returnvar"), wide(golden::verified()));
    EXPECT_EQ(at(L"ok.smtp"), dialog("mx.ok.wine.test", L"127.0.0.31", "someone@ok.wine.test", true));
    EXPECT_EQ(at(L"ok.timeout"), L"5");
}

TEST_F(ScriptHost, RejectedAddressKeepsTheServersReply)
{
    EXPECT_EQ(at(L"no.returnvar"), L"550 someone@no.wine.test: no such user\r\n");
    EXPECT_EQ(at(L"no.smtp"), dialog("mx.no.wine.test", L"127.0.0.32", "someone@no.wine.test", false));
    // Both mail exchangers reject: the last reply stands.
    EXPECT_EQ(at(L"twice.returnvar"), L"550 someone@twice.wine.test: no such user\r\n");
    EXPECT_EQ(at(L"twice.smtp"), dialog("mx.no.wine.test", L"127.0.0.32", "someone@twice.wine.test", false) +
                                     dialog("mx2.no.wine.test", L"127.0.0.32", "someone@twice.wine.test", false));
}

TEST_F(ScriptHost, UnreachableMailExchangersAreSkipped)
{
    // Refused by the first host, verified by the second.
    EXPECT_EQ(at(L"fallback.returnvar"), wide(golden::verified()));
    EXPECT_EQ(at(L"fallback.smtp"),
              wide(golden::telnet_line("down.fallback.wine.test")) +
                  wide(golden::connect_error_line("down.fallback.wine.test")) +
                  dialog("up.fallback.wine.test", L"127.0.0.31", "someone@fallback.wine.test", true));
    // A host name that does not resolve counts as a failed connection.
    EXPECT_EQ(at(L"ghost.returnvar"), wide(golden::verified()));
    EXPECT_EQ(at(L"ghost.smtp"), wide(golden::telnet_line("nohost.ghost.wine.test")) +
                                     wide(golden::connect_error_line("nohost.ghost.wine.test")) +
                                     dialog("mx.ok.wine.test", L"127.0.0.31", "someone@ghost.wine.test", true));
}

TEST_F(ScriptHost, NoMailExchangerAndTimeoutNormalised)
{
    EXPECT_EQ(at(L"nomx.returnvar"), wide(golden::no_mail_server()));
    EXPECT_EQ(at(L"nomx.smtp"), L"");
    EXPECT_EQ(at(L"nomx.timeout"), L"120");
    EXPECT_EQ(at(L"cap.timeout"), L"600");
}

TEST_F(ScriptHost, TranscriptIsAppendedTo)
{
    EXPECT_EQ(at(L"append.smtp"), L"kept\r\n" +
                                      dialog("mx.ok.wine.test", L"127.0.0.31", "someone@ok.wine.test", true) +
                                      dialog("mx.no.wine.test", L"127.0.0.32", "other@no.wine.test", false));
    EXPECT_EQ(at(L"append.returnvar"), L"550 other@no.wine.test: no such user\r\n");
}

TEST_F(ScriptHost, PlatformErrorIsARuntimeErrorWithADescription)
{
    // Error 380, "Invalid property value": what the timer control raised.
    EXPECT_EQ(at(L"negative.number"), L"380");
    EXPECT_NE(at(L"negative.description").find(L"negative"), std::wstring::npos) << at(L"negative.description");
    EXPECT_EQ(at(L"negative.source"), prog_id);
}

}  // namespace

}  // namespace wine_test
