// Classification of mail-server replies: the reply's code and enhanced
// status code decide first; the usual words stand in where a server gives
// no enhanced code, as many do.
#include "verify/classify.h"

#include <array>
#include <cctype>
#include <string>
#include <vector>

namespace verimex::engine {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// An enhanced status code "c.sss.ddd" at the start of text (RFC 3463: class
// 2, 4 or 5, subject and detail of one to three digits), followed by a blank
// or the end; its length, or 0.
std::size_t enhanced_length(std::string_view text)
{
    if (text.size() < 5 || (text[0] != '2' && text[0] != '4' && text[0] != '5') || text[1] != '.')
        return 0;
    std::size_t i = 2;
    for (int part = 0; part < 2; ++part) {
        const std::size_t start = i;
        while (i < text.size() && digit(text[i]) && i - start < 4)
            ++i;
        if (i == start || i - start > 3)
            return 0;
        if (part == 0) {
            if (i >= text.size() || text[i] != '.')
                return 0;
            ++i;
        }
    }
    if (i < text.size() && text[i] != ' ' && text[i] != '\t')
        return 0;
    return i;
}

struct line {
    int code = 0;
    std::string_view text;  // after "NNN " or "NNN-"
};

std::optional<line> parse_line(std::string_view l)
{
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
        l.remove_suffix(1);
    if (l.size() < 3 || !digit(l[0]) || !digit(l[1]) || !digit(l[2]) || (l.size() > 3 && digit(l[3])))
        return std::nullopt;
    line out;
    out.code = (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0');
    out.text = l.size() > 4 ? l.substr(4) : std::string_view();
    return out;
}

bool has_any(const std::string& text, std::initializer_list<std::string_view> words)
{
    for (std::string_view w : words)
        if (text.find(w) != std::string::npos)
            return true;
    return false;
}

// The words servers use where they give no enhanced code.
bool says_unknown_user(const std::string& t)
{
    return has_any(t, {"user unknown", "unknown user", "no such user", "no such mailbox", "no such recipient",
                       "no such address", "mailbox unavailable", "mailbox not found", "mailbox does not exist",
                       "invalid recipient", "invalid mailbox", "recipient unknown", "unknown recipient",
                       "recipient not found", "user not found", "unrouteable address", "unroutable address",
                       "address unknown", "unknown address", "does not exist", "no mailbox here"});
}

bool says_greylisted(const std::string& t)
{
    return has_any(t, {"greylist", "graylist", "grey list", "gray list", "try again later"});
}

bool says_full(const std::string& t)
{
    return has_any(t, {"mailbox full", "mailbox is full", "over quota", "quota exceeded", "exceeded storage",
                       "insufficient storage", "mailbox size limit", "out of storage"});
}

bool says_disabled(const std::string& t)
{
    return has_any(t, {"disabled", "inactive", "suspended", "deactivated"});
}

// Our side is refused, not the mailbox.
bool says_client_refused(const std::string& t)
{
    return has_any(t, {"client host", "blocked", "blocklist", "blacklist", "block list", "black list",
                       "spamhaus", "dnsbl", "rbl", "listed", "reputation", "policy", "spam", "not authorized",
                       "access denied", "banned"});
}

bool says_tls(const std::string& t)
{
    return has_any(t, {"starttls", "tls required", "encryption required", "must use tls", "tls first"});
}

bool says_vrfy_refused(const std::string& t)
{
    return has_any(t, {"vrfy", "administrative prohibition", "not allowed", "not permitted", "disabled",
                       "not implemented", "refused", "cannot verify"});
}

struct enhanced_parts {
    int cls = 0;
    int subject = -1;
    int detail = -1;
};

enhanced_parts split(const std::optional<std::string>& e)
{
    enhanced_parts p;
    if (!e)
        return p;
    const std::size_t dot1 = e->find('.');
    const std::size_t dot2 = e->find('.', dot1 + 1);
    p.cls = (*e)[0] - '0';
    p.subject = std::stoi(e->substr(dot1 + 1, dot2 - dot1 - 1));
    p.detail = std::stoi(e->substr(dot2 + 1));
    return p;
}

constexpr judgement with(verdict v, reason r) { return {v, r}; }

}  // namespace

std::optional<parsed_reply> parse_reply(std::string_view reply)
{
    std::vector<line> lines;
    std::size_t pos = 0;
    while (pos < reply.size()) {
        std::size_t end = reply.find('\n', pos);
        end = end == std::string_view::npos ? reply.size() : end + 1;
        if (auto l = parse_line(reply.substr(pos, end - pos)))
            lines.push_back(*l);
        pos = end;
    }
    if (lines.empty())
        return std::nullopt;

    parsed_reply out;
    out.code = lines.back().code;
    const char cls = static_cast<char>('0' + out.code / 100);
    for (const line* l : {&lines.back(), &lines.front()}) {
        if (const std::size_t n = enhanced_length(l->text); n > 0 && l->text[0] == cls) {
            out.enhanced = std::string(l->text.substr(0, n));
            break;
        }
    }
    for (const line& l : lines) {
        if (!out.text.empty())
            out.text += ' ';
        out.text += lower(l.text);
    }
    return out;
}

judgement classify(stage at, const parsed_reply& r)
{
    const enhanced_parts e = split(r.enhanced);
    const std::string& t = r.text;
    const int cls = r.code / 100;

    if (cls == 2 || cls == 3) {
        if (at == stage::vrfy && r.code == 252)
            return with(verdict::unknown, reason::cannot_verify);
        if ((at == stage::rcpt || at == stage::vrfy) && (r.code == 250 || r.code == 251))
            return with(verdict::deliverable, reason::accepted);
        return {};
    }

    if ((r.code == 530 && !has_any(t, {"auth"})) || ((e.cls == 5 || e.cls == 4) && says_tls(t)) ||
        (r.enhanced == "5.7.0" && says_tls(t)))
        return with(verdict::unknown, reason::tls_required);

    if (cls == 4) {
        if (says_greylisted(t) || ((r.code == 450 || r.code == 451) && e.subject == 7))
            return with(verdict::unknown, reason::greylisted);
        if (r.code == 452 || (e.subject == 2 && e.detail == 2) || says_full(t))
            return with(verdict::risky, reason::mailbox_full);
        if (says_client_refused(t))
            return with(verdict::unknown, reason::blocked);
        return {};
    }

    if (cls != 5)
        return {};
    if (e.subject == 1 && (r.code == 550 || r.code == 551 || r.code == 553 || r.code == 554))
        return with(verdict::undeliverable, reason::no_such_mailbox);
    if (e.subject == 2 && e.detail == 1)
        return with(verdict::undeliverable, reason::mailbox_disabled);
    if (r.code == 552 || (e.subject == 2 && e.detail == 2) || says_full(t))
        return with(verdict::risky, reason::mailbox_full);
    if (at == stage::banner || r.code == 554 || (e.subject == 7 && e.detail == 1) ||
        (e.subject == 7 && says_client_refused(t)))
        return with(verdict::unknown, reason::blocked);
    if (at == stage::rcpt || at == stage::vrfy) {
        // Without an enhanced code, the words decide; a 55x of subject 5
        // (syntax, command) says nothing of the mailbox.
        if (e.subject == -1 || e.subject == 0) {
            if (says_client_refused(t) && !says_unknown_user(t))
                return with(verdict::unknown, reason::blocked);
            if ((r.code == 550 || r.code == 551 || r.code == 553) && says_unknown_user(t))
                return with(verdict::undeliverable, reason::no_such_mailbox);
            if (r.code == 550 && says_disabled(t) && !(at == stage::vrfy && says_vrfy_refused(t)))
                return with(verdict::undeliverable, reason::mailbox_disabled);
        }
    }
    return {};
}

bool vrfy_decides(const parsed_reply& r)
{
    if (r.code == 252 || (r.code >= 500 && r.code <= 504))
        return false;
    if (r.code == 250 || r.code == 251)
        return true;
    const judgement j = classify(stage::vrfy, r);
    return j.verdict == verdict::undeliverable && !(r.code / 100 == 5 && !r.enhanced && says_vrfy_refused(r.text) &&
                                                     !says_unknown_user(r.text));
}

}  // namespace verimex::engine
