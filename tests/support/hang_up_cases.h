// Mail servers (tests/support/smtp_peer.py, tests/wine/zones.conf) that hang up
// instead of answering vrfy, and what check makes of each: one list for the
// Linux library (hangup_test) and the Windows DLL (tests/wine/check_test.cpp).
#pragma once

#include <string>
#include <vector>

#include "support/golden.h"

namespace verimex::test {

struct HangUpCase {
    const char* name;
    std::string email;
    std::string returnvar;
    std::string smtp;  // the whole transcript of one check
};

inline std::vector<HangUpCase> hang_up_cases(const std::string& from)
{
    // Multi-line, kept whole; only the last reply counts, and a line never
    // ended is none.
    const std::string blocked = "554-5.7.1 blocked\r\n554 5.7.1 your address is listed\r\n";
    const std::string could_not_connect(golden::could_not_connect());
    // What the server said, then our lines, sent into the void all the same.
    auto refused = [&](const std::string& host, const std::string& said, const std::string& email) {
        return golden::telnet_line(host) + said + golden::helo_line(from) + golden::vrfy_line(email) +
               golden::quit_line();
    };
    return {
        {"BannerThenClose", "someone@hangup.wine.test", could_not_connect,
         refused("mx.hangup.wine.test", "220 127.0.0.36 ESMTP\r\n", "someone@hangup.wine.test")},
        {"CloseAfterHelo", "someone@drophelo.wine.test", could_not_connect,
         refused("mx.drophelo.wine.test", "220 127.0.0.38 ESMTP\r\n", "someone@drophelo.wine.test")},
        {"RefusalThenReset", "someone@reset.wine.test", blocked,
         refused("mx.reset.wine.test", "220 127.0.0.39 ESMTP\r\n" + blocked, "someone@reset.wine.test")},
        {"RefusalThenPartialLine", "someone@partial.wine.test", blocked,
         refused("mx.partial.wine.test", blocked + "220 127.0.0.40 ESMT", "someone@partial.wine.test")},
        {"NextMailExchangerVerifies", "someone@next.wine.test", golden::verified(),
         refused("blocked.next.wine.test", blocked, "someone@next.wine.test") +
             golden::telnet_line("up.next.wine.test") + "220 127.0.0.31 ESMTP\r\n" + golden::helo_line(from) +
             "250 127.0.0.31\r\n" + golden::vrfy_line("someone@next.wine.test") + "250 someone@next.wine.test\r\n" +
             golden::quit_line()},
    };
}

}  // namespace verimex::test
