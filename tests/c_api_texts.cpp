// The component's result texts and transcript lines, handed to tests written
// in other languages so they compare against the one definition instead of
// typing the texts again: linked into the C test program as a function, and
// built as a small program the Python tests run.
//
//   verimex-test-texts NAME [ARG]   prints the text, nothing added
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "component/texts.h"

extern "C" const char* verimex_test_text(const char* name, const char* arg);

// The text called NAME, ARG filling its blank (a host, a name, a timeout);
// null for an unknown name. Valid until the next call.
extern "C" const char* verimex_test_text(const char* name, const char* arg)
{
    namespace texts = verimex::texts;
    static std::string text;
    const std::string_view n = name;
    const std::string_view a = arg != nullptr ? arg : "";
    if (n == "verified")
        text = texts::verified;
    else if (n == "no_mail_server")
        text = texts::no_mail_server;
    else if (n == "could_not_connect")
        text = texts::could_not_connect;
    else if (n == "invalid_email")
        text = texts::invalid_email;
    else if (n == "timed_out")
        text = texts::timed_out(static_cast<std::int16_t>(std::atoi(arg != nullptr ? arg : "0")));
    else if (n == "telnet_line")
        text = texts::telnet_line(a);
    else if (n == "connect_error_line")
        text = texts::connect_error_line(a);
    else if (n == "helo_line")
        text = texts::helo_line(a);
    else if (n == "vrfy_line")
        text = texts::vrfy_line(a);
    else if (n == "quit_line")
        text = texts::quit_line();
    else
        return nullptr;
    return text.c_str();
}

#ifdef VERIMEX_TEST_TEXTS_MAIN
int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: verimex-test-texts NAME [ARG]\n", stderr);
        return 2;
    }
    const char* text = verimex_test_text(argv[1], argc == 3 ? argv[2] : nullptr);
    if (text == nullptr) {
        std::fprintf(stderr, "verimex-test-texts: no text called %s\n", argv[1]);
        return 2;
    }
    std::fputs(text, stdout);
    return 0;
}
#endif
