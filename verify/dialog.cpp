// The dialog of methods rcpt and auto. Per mail exchanger, in preference
// order, per address of it: banner, EHLO (HELO when EHLO is refused),
// STARTTLS when offered and allowed (then EHLO again), VRFY first for
// auto, MAIL FROM, RCPT TO for the address, RCPT TO for a random mailbox
// of the domain (catch-all), RSET, QUIT. Never DATA.
//
// An answer about the address (VRFY, MAIL, RCPT) decides and ends the
// check; what only says this server could not be asked (no connection, a
// refusing banner, a failed EHLO, a time-out, no TLS when it is required)
// moves on to the next address and mail exchanger, and stands when none is
// left.
#include "verify/dialog.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <random>

#include "component/texts.h"
#include "verify/stop.h"
#include "verify/catch_all_memory.h"
#include "verify/classify.h"
#include "verify/private_address.h"
#include "verify/texts.h"

namespace verimex::engine {

namespace {

namespace ctexts = verimex::texts;

struct outcome {
    verdict v = verdict::unknown;
    reason r = reason::server_error;
    std::string returnvar;
    std::optional<method> by;
    std::optional<std::string> mx;
    std::optional<int> code;
    std::optional<std::string> enhanced;
    std::optional<bool> catch_all;
    bool tls = false;
    std::string tls_version;
    bool cancelled = false;
    // This process ran short (descriptors): not a result, and no other
    // mail exchanger would fare better.
    bool unusable = false;
    bool final = false;  // no other mail exchanger is asked
};

bool short_of_descriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

bool extension_offered(std::string_view ehlo_reply, std::string_view keyword)
{
    std::size_t pos = 0;
    while (pos < ehlo_reply.size()) {
        std::size_t end = ehlo_reply.find('\n', pos);
        if (end == std::string_view::npos)
            end = ehlo_reply.size();
        std::string_view line = ehlo_reply.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() < 4)
            continue;
        line.remove_prefix(4);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
        const std::string_view word = line.substr(0, line.find(' '));
        if (word.size() == keyword.size() &&
            std::equal(word.begin(), word.end(), keyword.begin(),
                       [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }))
            return true;
    }
    return false;
}

// How long the goodbye (RSET's answer, QUIT) may take once the check has
// its verdict.
constexpr std::chrono::seconds goodbye_wait{5};

bool ascii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

class dialog {
public:
    dialog(const mailbox& address, const dialog_settings& settings, network& net, std::string& transcript)
        : address_(address), s_(settings), net_(net), transcript_(transcript)
    {
    }

    outcome run();

private:
    // The end of one wait: the time limit from now, never past the whole
    // check's end.
    deadline wait_until() const { return std::min(clock::now() + std::chrono::seconds(s_.timeout), s_.total); }

    outcome with_host(const std::string& host, const std::string& ip);
    outcome session(const std::string& host, const std::string& ip, bool allow_tls, bool& handshake_failed);

    // One command and its reply. False when no whole reply came; o then
    // holds what that means.
    bool send(smtp_stream& st, std::string_view line, outcome& o);
    bool read(smtp_stream& st, std::string& reply, stage at, outcome& o);
    void quit(smtp_stream& st);

    void timed_out(outcome& o) const;
    void judged(outcome& o, stage at, const std::string& reply) const;
    void not_connected(outcome& o, const std::string& host);

    const mailbox& address_;
    const dialog_settings& s_;
    network& net_;
    std::string& transcript_;
};

void set(outcome& o, verdict v, reason r, std::string_view returnvar)
{
    o.v = v;
    o.r = r;
    o.returnvar = std::string(returnvar);
}

void dialog::timed_out(outcome& o) const
{
    // The whole check's limit when that is what ran out, else one wait's.
    const bool total = clock::now() >= s_.total;
    const std::int64_t seconds = total ? std::int64_t{s_.total_seconds} : std::int64_t{s_.timeout};
    set(o, verdict::unknown, reason::timeout,
        ctexts::timed_out(static_cast<std::int16_t>(std::clamp<std::int64_t>(seconds, 0, 32767))));
    o.final = o.final || total;
}

void dialog::judged(outcome& o, stage at, const std::string& reply) const
{
    const std::optional<parsed_reply> parsed = parse_reply(reply);
    if (!parsed) {
        set(o, verdict::unknown, reason::server_error, reply);
        return;
    }
    const judgement j = classify(at, *parsed);
    set(o, j.verdict, j.reason, reply);
    o.code = parsed->code;
    o.enhanced = parsed->enhanced;
}

void dialog::not_connected(outcome& o, const std::string& host)
{
    transcript_ += ctexts::connect_error_line(host);
    set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
}

bool dialog::send(smtp_stream& st, std::string_view line, outcome& o)
{
    transcript_ += line;
    switch (st.send(line, wait_until())) {
    case io_status::ok:
        return true;
    case io_status::timeout:
        timed_out(o);
        return false;
    case io_status::cancelled:
        o.cancelled = o.final = true;
        return false;
    case io_status::closed:
    case io_status::failed:
    case io_status::too_long:
        break;
    }
    set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
    return false;
}

bool dialog::read(smtp_stream& st, std::string& reply, stage at, outcome& o)
{
    reply.clear();
    const io_status status = st.read_reply(reply, wait_until());
    transcript_ += reply;
    switch (status) {
    case io_status::ok:
        if (parse_reply(reply))
            return true;
        set(o, verdict::unknown, reason::server_error, reply);
        return false;
    case io_status::timeout:
        timed_out(o);
        return false;
    case io_status::cancelled:
        o.cancelled = o.final = true;
        return false;
    case io_status::closed: {
        // A server that hangs up usually says why first (a 421, a
        // blocklist's 554): that reply is the outcome.
        const std::optional<parsed_reply> parsed = parse_reply(reply);
        if (parsed && parsed->code >= 400 && reply.ends_with('\n'))
            judged(o, at, reply);
        else
            set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
        return false;
    }
    case io_status::too_long:
        set(o, verdict::unknown, reason::server_error, reply);
        return false;
    case io_status::failed:
        break;
    }
    set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
    return false;
}

void dialog::quit(smtp_stream& st)
{
    // Its answer is not waited for: the connection goes either way, and a
    // server's goodbye decides nothing.
    transcript_ += texts::quit_line;
    st.send(texts::quit_line, std::min(wait_until(), clock::now() + goodbye_wait));
}

outcome dialog::session(const std::string& host, const std::string& ip, bool allow_tls, bool& handshake_failed)
{
    outcome o;
    o.mx = host;
    transcript_ += ctexts::telnet_line(host);
    connect_result cr;
    std::unique_ptr<smtp_stream> stream = net_.connect(ip, s_.port, wait_until(), cr);
    if (!stream || cr.result != connect_result::status::ok) {
        switch (cr.result) {
        case connect_result::status::cancelled:
            transcript_ += ctexts::connect_error_line(host);
            o.cancelled = o.final = true;
            break;
        case connect_result::status::timeout:
            transcript_ += ctexts::connect_error_line(host);
            timed_out(o);
            break;
        case connect_result::status::proxy_error:
            // Replies 3-6 speak of the mail exchanger (unreachable, refused,
            // TTL expired): the next one may do. The others are the proxy's
            // own refusal, which no other mail exchanger changes.
            if (cr.error_code >= 3 && cr.error_code <= 6) {
                not_connected(o, host);
            } else {
                transcript_ += ctexts::connect_error_line(host);
                set(o, verdict::unknown, reason::proxy_error, texts::proxy_failed(cr.error_code, cr.detail));
                o.final = true;
            }
            break;
        default:
            not_connected(o, host);
            if (short_of_descriptors(cr.error_code))
                o.unusable = o.final = true;
            break;
        }
        return o;
    }
    smtp_stream& st = *stream;
    std::string reply;

    if (!read(st, reply, stage::banner, o))
        return o;
    if (parse_reply(reply)->code != 220) {
        judged(o, stage::banner, reply);
        quit(st);
        return o;
    }

    auto greet = [&]() -> bool {
        if (!send(st, texts::ehlo_line(s_.helo), o) || !read(st, reply, stage::ehlo, o))
            return false;
        const int code = parse_reply(reply)->code;
        if (code == 250)
            return true;
        if (code < 500 || code > 504) {
            judged(o, stage::ehlo, reply);
            quit(st);
            return false;
        }
        // EHLO not understood (RFC 5321 4.1.4): the old greeting, and no
        // extensions.
        if (!send(st, texts::helo_line(s_.helo), o) || !read(st, reply, stage::ehlo, o))
            return false;
        if (parse_reply(reply)->code != 250) {
            judged(o, stage::ehlo, reply);
            quit(st);
            return false;
        }
        reply.clear();
        return true;
    };
    if (!greet())
        return o;

    const bool offered = extension_offered(reply, "STARTTLS");
    bool smtputf8 = extension_offered(reply, "SMTPUTF8");
    if (s_.tls != tls_mode::off && allow_tls && offered) {
        if (!send(st, texts::starttls_line, o) || !read(st, reply, stage::starttls, o))
            return o;
        if (parse_reply(reply)->code == 220) {
            const io_status hs = st.start_tls(wait_until(), address_.literal.empty() ? host : std::string());
            if (hs == io_status::cancelled) {
                o.cancelled = o.final = true;
                return o;
            }
            if (hs != io_status::ok) {
                if (s_.tls == tls_mode::require) {
                    set(o, verdict::unknown, reason::tls_required, texts::tls_unavailable);
                } else {
                    // Opportunistic TLS (RFC 7435): a server whose handshake
                    // fails is asked again in plain text.
                    handshake_failed = true;
                    set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
                }
                return o;
            }
            if (!greet())
                return o;
            // What the server offers in plain text does not count any more.
            smtputf8 = extension_offered(reply, "SMTPUTF8");
        } else if (s_.tls == tls_mode::require) {
            judged(o, stage::starttls, reply);
            o.r = reason::tls_required;
            quit(st);
            return o;
        }
    } else if (s_.tls == tls_mode::require) {
        set(o, verdict::unknown, reason::tls_required, texts::tls_unavailable);
        quit(st);
        return o;
    }
    o.tls = st.encrypted();
    o.tls_version = st.tls_version();

    const std::string wire = address_.wire();
    auto close = [&] {
        // The verdict is known by now: a server slow to take its leave
        // costs at most goodbye_wait, not a whole time limit.
        const deadline until = std::min(wait_until(), clock::now() + goodbye_wait);
        transcript_ += texts::rset_line;
        if (st.send(texts::rset_line, until) == io_status::ok) {
            std::string goodbye;
            const io_status status = st.read_reply(goodbye, until);
            transcript_ += goodbye;
            if (status != io_status::ok)
                return;
        }
        quit(st);
    };

    if (s_.how == method::automatic) {
        if (!send(st, ctexts::vrfy_line(wire), o) || !read(st, reply, stage::vrfy, o))
            return o;
        const parsed_reply parsed = *parse_reply(reply);
        if (vrfy_decides(parsed)) {
            judged(o, stage::vrfy, reply);
            o.by = method::vrfy;
            o.final = true;
            if (o.v == verdict::deliverable)
                o.returnvar = ctexts::verified;
            quit(st);
            return o;
        }
    }

    // A UTF-8 address goes out in an SMTPUTF8 transaction (RFC 6531) where
    // the server offers one; where it does not, its answer to the address
    // says what it makes of it.
    std::string mail = texts::mail_line(s_.mail_from);
    if (smtputf8 && !(ascii(wire) && ascii(s_.mail_from)))
        mail.insert(mail.size() - 2, " SMTPUTF8");
    if (!send(st, mail, o) || !read(st, reply, stage::mail, o))
        return o;
    if (parse_reply(reply)->code / 100 != 2) {
        // Refused as sender: about us, and every mail exchanger of the
        // domain answers for the same policy.
        judged(o, stage::mail, reply);
        o.by = method::rcpt;
        o.final = true;
        close();
        return o;
    }

    if (!send(st, texts::rcpt_line(wire), o) || !read(st, reply, stage::rcpt, o))
        return o;
    judged(o, stage::rcpt, reply);
    o.by = method::rcpt;
    o.final = true;
    if (o.v == verdict::deliverable) {
        o.returnvar = ctexts::verified;
        if (s_.catch_all) {
            catch_all_memory& memory = catch_all_memory::process();
            const catch_all_memory::answer known = memory.ask(address_.domain, wait_until(), s_.cancel);
            if (known.probe) {
                std::optional<bool> found;
                std::string probe_reply;
                outcome probe;
                try {
                    if (send(st, texts::rcpt_line(random_local_part() + "@" + address_.domain), probe) &&
                        read(st, probe_reply, stage::rcpt, probe)) {
                        const int code = parse_reply(probe_reply)->code;
                        if (code == 250 || code == 251)
                            found = true;
                        else if (code / 100 == 5)
                            found = false;
                    }
                } catch (...) {
                    // The claim on the domain's probe must not outlive us,
                    // or every other check of it would wait in vain.
                    memory.tell(address_.domain, std::nullopt);
                    throw;
                }
                memory.tell(address_.domain, found);
                o.catch_all = found;
                if (probe.cancelled)
                    o.cancelled = true;
            } else {
                o.catch_all = known.known;
            }
            if (o.catch_all == true) {
                o.v = verdict::risky;
                o.r = reason::accept_all;
                o.returnvar = reply;
            }
        }
    }
    close();
    return o;
}

outcome dialog::with_host(const std::string& host, const std::string& ip)
{
    bool handshake_failed = false;
    outcome o = session(host, ip, true, handshake_failed);
    if (handshake_failed && !o.cancelled && clock::now() < s_.total)
        o = session(host, ip, false, handshake_failed);
    return o;
}

outcome dialog::run()
{
    outcome last;
    set(last, verdict::undeliverable, reason::no_mail_server, ctexts::no_mail_server);

    std::vector<mx_host> hosts;
    if (!address_.literal.empty()) {
        hosts.push_back({address_.literal, 0});
    } else {
        const mx_answer mx = net_.lookup_mx(address_.domain, wait_until());
        switch (mx.result) {
        case mx_answer::status::ok:
        case mx_answer::status::implicit:
            hosts = mx.hosts;
            break;
        case mx_answer::status::null_mx:
        case mx_answer::status::nxdomain:
        case mx_answer::status::no_host:
            return last;
        case mx_answer::status::dns_error:
            set(last, verdict::unknown, reason::dns_error, texts::dns_failed(mx.detail));
            last.unusable = short_of_descriptors(mx.error_code);
            return last;
        case mx_answer::status::timeout:
            timed_out(last);
            return last;
        case mx_answer::status::cancelled:
            last.cancelled = true;
            return last;
        }
        std::stable_sort(hosts.begin(), hosts.end(),
                         [](const mx_host& a, const mx_host& b) { return a.preference < b.preference; });
    }

    for (const mx_host& host : hosts) {
        std::vector<std::string> ips;
        if (!address_.literal.empty()) {
            ips.push_back(address_.literal);
        } else {
            const host_answer found = net_.lookup_host(host.name, wait_until());
            switch (found.result) {
            case host_answer::status::ok:
                ips = found.addresses;
                break;
            case host_answer::status::none:
                break;
            case host_answer::status::dns_error:
                transcript_ += ctexts::telnet_line(host.name);
                transcript_ += ctexts::connect_error_line(host.name);
                last = outcome{};
                set(last, verdict::unknown, reason::dns_error, texts::dns_failed(found.detail));
                if (short_of_descriptors(found.error_code)) {
                    last.unusable = true;
                    return last;
                }
                continue;
            case host_answer::status::timeout:
                last = outcome{};
                timed_out(last);
                if (last.final)
                    return last;
                continue;
            case host_answer::status::cancelled:
                last.cancelled = true;
                return last;
            }
            if (ips.empty()) {
                // A host with no address: nothing to connect to, as when the
                // connection is refused.
                transcript_ += ctexts::telnet_line(host.name);
                last = outcome{};
                not_connected(last, host.name);
                continue;
            }
        }
        for (const std::string& ip : ips) {
            if (s_.refuse_private_mx && refused_mx_address(ip)) {
                transcript_ += ctexts::telnet_line(host.name);
                transcript_ += ctexts::connect_error_line(host.name);
                last = outcome{};
                last.mx = host.name;
                set(last, verdict::unknown, reason::refused_address, ctexts::could_not_connect);
                continue;
            }
            last = with_host(host.name, ip);
            if (last.final || last.cancelled || last.unusable)
                return last;
            if (clock::now() >= s_.total) {
                timed_out(last);
                return last;
            }
        }
    }
    return last;
}

}  // namespace

std::string random_local_part()
{
    thread_local std::mt19937_64 generator{std::random_device{}()};
    static constexpr std::string_view letters = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
    // Starts with a letter, like the names people have; 16 characters are
    // no one's.
    std::string s(1, letters[pick(generator) % 26]);
    while (s.size() < 16)
        s += letters[pick(generator)];
    return s;
}

void run_dialog(const mailbox& address, const dialog_settings& settings, network& net, report& out)
{
    dialog d(address, settings, net, out.transcript);
    const outcome o = d.run();
    out.verdict = o.v;
    out.reason = o.r;
    out.returnvar = o.cancelled ? std::string(texts::cancelled) : o.returnvar;
    out.method = o.by;
    // The host that decided: only a server's answer (or its refusal) names one.
    out.mx = o.code ? o.mx : std::nullopt;
    out.code = o.code;
    out.enhanced = o.enhanced;
    out.catch_all = o.catch_all;
    out.tls = o.code ? o.tls : false;
    out.tls_version = out.tls ? o.tls_version : std::string();
    out.cancelled = o.cancelled;
    out.unusable = o.unusable;
    if (o.cancelled) {
        out.verdict = verdict::unknown;
        out.reason = reason::timeout;
    }
}

}  // namespace verimex::engine
