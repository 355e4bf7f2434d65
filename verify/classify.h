// Reading a mail server's reply: its code, its enhanced status code (RFC
// 3463) and its words, and what they say about the address.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <verimex/verify.h>

namespace verimex::engine {

struct parsed_reply {
    int code = 0;                         // 100-599
    std::optional<std::string> enhanced;  // "5.1.1", when the server gave one
    std::string text;                     // the lines' words, lower case, joined by blanks
};

// The code is the last line's (a multi-line reply repeats it on every line);
// the enhanced code is the last line's when it has one, else the first
// line's, and only when its class matches the code's. Nothing when the text
// is no reply (no three digits at the start of its last line).
std::optional<parsed_reply> parse_reply(std::string_view reply);

// The command a reply answers.
enum class stage {
    banner,
    ehlo,
    starttls,
    mail,   // MAIL FROM
    rcpt,   // RCPT TO for the address
    vrfy,
};

struct judgement {
    verimex::verdict verdict = verimex::verdict::unknown;
    verimex::reason reason = verimex::reason::server_error;
};

// The verdict one reply gives at the given stage. A success at banner, EHLO,
// STARTTLS or MAIL decides nothing and is unknown/server_error here: the
// dialog goes on past those. VRFY 252 is unknown/cannot_verify.
judgement classify(stage at, const parsed_reply& reply);

// Whether a VRFY answer says something of the mailbox (250/251, or a
// refusal that the mailbox is unknown or disabled) rather than of VRFY
// itself (252, 500-504, a policy refusal): method auto asks with RCPT when
// it does not.
bool vrfy_decides(const parsed_reply& reply);

}  // namespace verimex::engine
