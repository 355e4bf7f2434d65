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
#include <functional>
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


// A refused recipient (4xx or 5xx) counts towards a server's error limits
// (Postfix: smtpd_soft_error_limit 10, then a second's sleep per error;
// smtpd_hard_error_limit 20, then the connection goes). This many refusals
// in a row end a session well before either bites; the addresses left go
// on in a new one.
constexpr unsigned refused_in_a_row_limit = 3;

// One address of a batch, as the dialog goes.
struct entry {
    report* out = nullptr;
    const mailbox* address = nullptr;
    outcome last;
    bool done = false;
    // The end of its own check: the total limit from the start of the
    // first session it is part of, so that a long batch stays bounded per
    // address.
    std::optional<deadline> until;
    // Within one session: where its transcript stood when the session
    // began, and whether a command of its own was sent.
    std::size_t mark = 0;
    bool asked = false;
};

// What a session made of the addresses it took.
struct session_result {
    // A failure of the session itself (connection, banner, greeting, TLS,
    // MAIL FROM): it stands for every address it took that is not decided.
    std::optional<outcome> shared;
    bool handshake_failed = false;
    // Addresses to be asked again in a new session with the same server:
    // not reached, or cut off by the server's limits (421, a hang-up, 452
    // too many recipients) when not the session's first.
    std::vector<entry*> again;
    // The server said how many recipients it takes in one transaction.
    std::optional<unsigned> limit;
};

class dialog {
public:
    dialog(std::span<entry> entries, const dialog_settings& settings, network& net)
        : entries_(entries), s_(settings), net_(net)
    {
    }

    void run();

private:
    // The end of one wait: the time limit from now, never past the end of
    // any check of the session.
    deadline wait_until() const { return std::min(clock::now() + std::chrono::seconds(s_.timeout), total_); }

    void write(std::string_view text)
    {
        for (entry* e : audience_)
            e->out->transcript += text;
    }
    // The lines that follow go to these addresses' transcripts.
    void to(std::vector<entry*> who) { audience_ = std::move(who); }

    std::vector<entry*> pending() const;
    void for_pending(const std::function<void(entry&)>& fn);
    void on_host(const std::string& host, const std::string& ip);
    session_result with_host(const std::string& host, const std::string& ip, std::vector<entry*>& group);
    session_result session(const std::string& host, const std::string& ip, bool allow_tls,
                           std::vector<entry*>& group);
    session_result session_lines(const std::string& host, const std::string& ip, bool allow_tls,
                                 std::vector<entry*>& group);
    void catch_all_probe(smtp_stream& st, const mailbox& address, const std::string& accepted, outcome& o);

    // One command and its reply. False when no whole reply came; o then
    // holds what that means, and the session is over.
    bool send(smtp_stream& st, std::string_view line, outcome& o);
    bool read(smtp_stream& st, std::string& reply, stage at, outcome& o);
    void quit(smtp_stream& st);

    void timed_out(outcome& o) const;
    void judged(outcome& o, stage at, const std::string& reply) const;
    void not_connected(outcome& o, const std::string& host);

    std::span<entry> entries_;
    const dialog_settings& s_;
    network& net_;
    std::vector<entry*> audience_;
    deadline total_{};
    unsigned total_seconds_ = 0;
    bool probe_dead_ = false;  // the catch-all probe found the session over
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
    const bool total = clock::now() >= total_;
    const std::int64_t seconds = total ? std::int64_t{total_seconds_} : std::int64_t{s_.timeout};
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
    write(ctexts::connect_error_line(host));
    set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
}

bool dialog::send(smtp_stream& st, std::string_view line, outcome& o)
{
    write(line);
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
    write(reply);
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
    write(texts::quit_line);
    st.send(texts::quit_line, std::min(wait_until(), clock::now() + goodbye_wait));
}

// Whether a refusal of a recipient says the transaction holds as many as
// the server takes (RFC 5321 4.5.3.1.10: "452 too many recipients"), not
// something of the address: only after another recipient, and never a
// full mailbox's x.2.2.
bool too_many_recipients(const parsed_reply& reply, unsigned asked_before)
{
    if (reply.code != 452 || asked_before == 0)
        return false;
    if (reply.enhanced)
        return *reply.enhanced == "4.5.3";
    return reply.text.find("too many") != std::string::npos || reply.text.find("recipients") != std::string::npos;
}

void dialog::catch_all_probe(smtp_stream& st, const mailbox& address, const std::string& accepted, outcome& o)
{
    catch_all_memory& memory = catch_all_memory::process();
    const catch_all_memory::answer known = memory.ask(address.domain, wait_until(), s_.cancel);
    if (known.probe) {
        std::optional<bool> found;
        std::string probe_reply;
        outcome probe;
        try {
            if (send(st, texts::rcpt_line(random_local_part() + "@" + address.domain), probe) &&
                read(st, probe_reply, stage::rcpt, probe)) {
                const int code = parse_reply(probe_reply)->code;
                if (code == 250 || code == 251)
                    found = true;
                else if (code / 100 == 5)
                    found = false;
            } else {
                o.final = true;  // the session is over; the address's answer stands
                o.cancelled = probe.cancelled;
                memory.tell(address.domain, std::nullopt);
                o.catch_all = std::nullopt;
                probe_dead_ = true;
                return;
            }
        } catch (...) {
            // The claim on the domain's probe must not outlive us, or every
            // other check of it would wait in vain.
            memory.tell(address.domain, std::nullopt);
            throw;
        }
        memory.tell(address.domain, found);
        o.catch_all = found;
    } else {
        o.catch_all = known.known;
    }
    if (o.catch_all == true) {
        o.v = verdict::risky;
        o.r = reason::accept_all;
        o.returnvar = accepted;
    }
}

session_result dialog::session(const std::string& host, const std::string& ip, bool allow_tls,
                               std::vector<entry*>& group)
{
    for (entry* e : group) {
        e->mark = e->out->transcript.size();
        e->asked = false;
    }
    session_result result = session_lines(host, ip, allow_tls, group);
    // A session that never reached an address leaves no lines in its
    // transcript: it is asked in another one, and that is its story.
    for (entry* e : result.again)
        if (!e->asked)
            e->out->transcript.resize(e->mark);
    return result;
}

session_result dialog::session_lines(const std::string& host, const std::string& ip, bool allow_tls,
                                     std::vector<entry*>& group)
{
    session_result result;
    outcome o;
    o.mx = host;
    const auto failed = [&]() -> session_result& {
        result.shared = o;
        return result;
    };
    to(group);
    write(ctexts::telnet_line(host));
    connect_result cr;
    std::unique_ptr<smtp_stream> stream = net_.connect(ip, s_.port, wait_until(), cr);
    if (!stream || cr.result != connect_result::status::ok) {
        switch (cr.result) {
        case connect_result::status::cancelled:
            write(ctexts::connect_error_line(host));
            o.cancelled = o.final = true;
            break;
        case connect_result::status::timeout:
            write(ctexts::connect_error_line(host));
            timed_out(o);
            break;
        case connect_result::status::proxy_error:
            // Replies 3-6 speak of the mail exchanger (unreachable, refused,
            // TTL expired): the next one may do. The others are the proxy's
            // own refusal, which no other mail exchanger changes.
            if (cr.error_code >= 3 && cr.error_code <= 6) {
                not_connected(o, host);
            } else {
                write(ctexts::connect_error_line(host));
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
        return failed();
    }
    smtp_stream& st = *stream;
    std::string reply;

    if (!read(st, reply, stage::banner, o))
        return failed();
    if (parse_reply(reply)->code != 220) {
        judged(o, stage::banner, reply);
        quit(st);
        return failed();
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
        return failed();

    // Addresses of one batch share their domain, or their address literal.
    const mailbox& domain_of = *group.front()->address;
    const bool offered = extension_offered(reply, "STARTTLS");
    bool smtputf8 = extension_offered(reply, "SMTPUTF8");
    if (s_.tls != tls_mode::off && allow_tls && offered) {
        if (!send(st, texts::starttls_line, o) || !read(st, reply, stage::starttls, o))
            return failed();
        if (parse_reply(reply)->code == 220) {
            const io_status hs = st.start_tls(wait_until(), domain_of.literal.empty() ? host : std::string());
            if (hs == io_status::cancelled) {
                o.cancelled = o.final = true;
                return failed();
            }
            if (hs != io_status::ok) {
                if (s_.tls == tls_mode::require) {
                    set(o, verdict::unknown, reason::tls_required, texts::tls_unavailable);
                } else {
                    // Opportunistic TLS (RFC 7435): a server whose handshake
                    // fails is asked again in plain text.
                    result.handshake_failed = true;
                    set(o, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
                }
                return failed();
            }
            if (!greet())
                return failed();
            // What the server offers in plain text does not count any more.
            smtputf8 = extension_offered(reply, "SMTPUTF8");
        } else if (s_.tls == tls_mode::require) {
            judged(o, stage::starttls, reply);
            o.r = reason::tls_required;
            quit(st);
            return failed();
        }
    } else if (s_.tls == tls_mode::require) {
        set(o, verdict::unknown, reason::tls_required, texts::tls_unavailable);
        quit(st);
        return failed();
    }
    o.tls = st.encrypted();
    o.tls_version = st.tls_version();

    // From here on each address has its own lines, one address after
    // the other: with auto its VRFY, then (MAIL FROM once) its RCPT. So the
    // session's first address meets the server exactly as in a session of
    // its own, and the server's answer is its own. A later address whose
    // command finds the session over (a 421, a hang-up, 452 too many
    // recipients: the server's limits) is asked again in a new session.
    unsigned refused_in_a_row = 0;
    const auto counts_refusal = [&refused_in_a_row](int code) {
        refused_in_a_row = code >= 400 ? refused_in_a_row + 1 : 0;
        return refused_in_a_row >= refused_in_a_row_limit;
    };
    bool over = false;  // the session takes no more addresses
    bool dead = false;  // nor any command
    bool mail_sent = false;
    unsigned recipients = 0;  // RCPT commands in this transaction, probes too
    const auto cut_off = [&](entry& e, const outcome& mine, bool first) {
        if (first) {
            e.last = mine;
            e.done = mine.final || mine.cancelled;
        } else {
            result.again.push_back(&e);
        }
    };

    for (std::size_t k = 0; k < group.size(); ++k) {
        entry& e = *group[k];
        const bool first = k == 0;
        const bool last = k + 1 == group.size();
        if (over) {
            result.again.push_back(&e);
            continue;
        }
        to({&e});
        e.asked = true;
        outcome mine = o;
        const std::string wire = e.address->wire();

        if (s_.how == method::automatic) {
            if (!send(st, ctexts::vrfy_line(wire), mine) || !read(st, reply, stage::vrfy, mine)) {
                over = dead = true;
                cut_off(e, mine, first);
                continue;
            }
            const parsed_reply parsed = *parse_reply(reply);
            if (parsed.code == 421 && !first) {
                over = dead = true;
                result.again.push_back(&e);
                continue;
            }
            if (counts_refusal(parsed.code) && !last)
                over = true;
            if (vrfy_decides(parsed) || parsed.code == 421) {
                judged(mine, stage::vrfy, reply);
                mine.by = method::vrfy;
                mine.final = true;
                if (mine.v == verdict::deliverable)
                    mine.returnvar = ctexts::verified;
                e.last = mine;
                e.done = true;
                if (parsed.code == 421)
                    over = dead = true;
                continue;
            }
        }

        if (!mail_sent) {
            // A UTF-8 address goes out in an SMTPUTF8 transaction (RFC
            // 6531) where the server offers one; where it does not, its
            // answer to the address says what it makes of it.
            const bool all_ascii = ascii(s_.mail_from) && std::all_of(group.begin() + static_cast<std::ptrdiff_t>(k),
                                                                      group.end(), [](entry* g) {
                                                                          return ascii(g->address->wire());
                                                                      });
            std::string mail = texts::mail_line(s_.mail_from);
            if (smtputf8 && !all_ascii)
                mail.insert(mail.size() - 2, " SMTPUTF8");
            // Its lines belong to every address still to be asked.
            to(std::vector<entry*>(group.begin() + static_cast<std::ptrdiff_t>(k), group.end()));
            mail_sent = true;
            outcome at_mail = o;
            if (!send(st, mail, at_mail) || !read(st, reply, stage::mail, at_mail)) {
                over = dead = true;
                cut_off(e, at_mail, first);
                continue;
            }
            const parsed_reply parsed = *parse_reply(reply);
            if (parsed.code / 100 != 2) {
                over = true;
                dead = parsed.code == 421;
                if (parsed.code == 421 && !first) {
                    result.again.push_back(&e);
                    continue;
                }
                // Refused as sender: about us, and every mail exchanger of
                // the domain answers for the same policy. With auto the
                // addresses not yet asked may be decided by VRFY, as they
                // would be alone: they go on in a new session.
                judged(at_mail, stage::mail, reply);
                at_mail.by = method::rcpt;
                at_mail.final = true;
                e.last = at_mail;
                e.done = true;
                if (s_.how != method::automatic) {
                    for (std::size_t j = k + 1; j < group.size(); ++j) {
                        group[j]->asked = true;
                        group[j]->last = at_mail;
                        group[j]->done = true;
                    }
                    break;
                }
                continue;
            }
            to({&e});
        }

        if (!send(st, texts::rcpt_line(wire), mine) || !read(st, reply, stage::rcpt, mine)) {
            over = dead = true;
            cut_off(e, mine, first);
            continue;
        }
        const parsed_reply parsed = *parse_reply(reply);
        if (!first && (parsed.code == 421 || too_many_recipients(parsed, recipients))) {
            // The server's limit, not the address's answer.
            over = true;
            dead = parsed.code == 421;
            if (parsed.code == 452)
                result.limit = recipients;
            result.again.push_back(&e);
            continue;
        }
        ++recipients;
        judged(mine, stage::rcpt, reply);
        mine.by = method::rcpt;
        mine.final = true;
        if (parsed.code == 421)
            over = dead = true;
        if (mine.v == verdict::deliverable && !dead) {
            mine.returnvar = ctexts::verified;
            if (s_.catch_all) {
                probe_dead_ = false;
                catch_all_probe(st, *e.address, reply, mine);
                if (probe_dead_)
                    over = dead = true;
                else
                    ++recipients;
            }
        } else if (mine.v == verdict::deliverable) {
            mine.returnvar = ctexts::verified;
        }
        e.last = mine;
        e.done = true;
        if (counts_refusal(parsed.code) && !last)
            over = true;
    }

    to(group);
    if (dead)
        return result;
    if (!mail_sent) {
        quit(st);
        return result;
    }
    // The verdicts are known by now: a server slow to take its leave costs
    // at most goodbye_wait, not a whole time limit.
    const deadline until = std::min(wait_until(), clock::now() + goodbye_wait);
    write(texts::rset_line);
    if (st.send(texts::rset_line, until) == io_status::ok) {
        std::string goodbye;
        const io_status status = st.read_reply(goodbye, until);
        write(goodbye);
        if (status != io_status::ok)
            return result;
    }
    quit(st);
    return result;
}

session_result dialog::with_host(const std::string& host, const std::string& ip, std::vector<entry*>& group)
{
    session_result r = session(host, ip, true, group);
    if (r.handshake_failed && r.shared && !r.shared->cancelled && clock::now() < total_)
        r = session(host, ip, false, group);
    return r;
}

std::vector<entry*> dialog::pending() const
{
    std::vector<entry*> out;
    for (entry& e : entries_)
        if (!e.done)
            out.push_back(&e);
    return out;
}

void dialog::for_pending(const std::function<void(entry&)>& fn)
{
    for (entry& e : entries_)
        if (!e.done)
            fn(e);
}

// Every address not yet decided, in sessions of at most
// recipients_per_session with one address of a mail exchanger.
void dialog::on_host(const std::string& host, const std::string& ip)
{
    std::vector<entry*> here = pending();
    unsigned limit = std::max(1u, s_.recipients_per_session);
    while (!here.empty()) {
        const std::size_t take = std::min<std::size_t>(limit, here.size());
        std::vector<entry*> group(here.begin(), here.begin() + static_cast<std::ptrdiff_t>(take));
        std::vector<entry*> rest(here.begin() + static_cast<std::ptrdiff_t>(take), here.end());
        const deadline now = clock::now();
        total_ = deadline::max();
        for (entry* e : group) {
            if (!e->until)
                e->until = now + std::chrono::seconds(s_.total_seconds);
            total_ = std::min(total_, *e->until);
        }
        total_seconds_ = s_.total_seconds;
        session_result r = with_host(host, ip, group);
        if (r.shared) {
            // The server could not be asked at all (no connection, a
            // refusing banner or greeting, no TLS): it would say the same
            // to the addresses still waiting, which are spared a connection
            // each and go on to the next mail exchanger with the same lines.
            const std::string lines = group.front()->out->transcript.substr(group.front()->mark);
            for (entry* e : rest) {
                e->out->transcript += lines;
                if (!e->until)
                    e->until = now + std::chrono::seconds(s_.total_seconds);
                group.push_back(e);
            }
            rest.clear();
            for (entry* e : group) {
                if (e->done)
                    continue;
                e->last = *r.shared;
                e->done = r.shared->final || r.shared->cancelled || r.shared->unusable;
            }
            r.again.clear();
        }
        if (r.limit)
            limit = std::max(1u, std::min(limit, *r.limit));
        // Past its own total limit, an address is not asked again.
        for (entry* e : group) {
            if (!e->done && e->until && clock::now() >= *e->until) {
                total_ = *e->until;
                timed_out(e->last);
                e->done = true;
            }
        }
        here.clear();
        for (entry* e : r.again)
            if (!e->done)
                here.push_back(e);
        for (entry* e : rest)
            here.push_back(e);
        if (stop_requested(s_.cancel)) {
            for_pending([](entry& e) {
                e.last.cancelled = true;
                e.done = true;
            });
            return;
        }
    }
}

void dialog::run()
{
    for (entry& e : entries_)
        set(e.last, verdict::undeliverable, reason::no_mail_server, ctexts::no_mail_server);
    if (entries_.empty())
        return;
    total_ = s_.total;
    total_seconds_ = s_.total_seconds;
    const mailbox& first = *entries_.front().address;

    std::vector<mx_host> hosts;
    if (!first.literal.empty()) {
        hosts.push_back({first.literal, 0});
    } else {
        const mx_answer mx = net_.lookup_mx(first.domain, wait_until());
        const auto all = [this](const std::function<void(outcome&)>& fn) {
            for (entry& e : entries_) {
                fn(e.last);
                e.done = true;
            }
        };
        switch (mx.result) {
        case mx_answer::status::ok:
        case mx_answer::status::implicit:
            hosts = mx.hosts;
            break;
        case mx_answer::status::null_mx:
        case mx_answer::status::nxdomain:
        case mx_answer::status::no_host:
            all([](outcome&) {});
            return;
        case mx_answer::status::dns_error:
            all([&](outcome& o) {
                set(o, verdict::unknown, reason::dns_error, texts::dns_failed(mx.detail));
                o.unusable = short_of_descriptors(mx.error_code);
            });
            return;
        case mx_answer::status::timeout:
            all([&](outcome& o) { timed_out(o); });
            return;
        case mx_answer::status::cancelled:
            all([](outcome& o) { o.cancelled = true; });
            return;
        }
        std::stable_sort(hosts.begin(), hosts.end(),
                         [](const mx_host& a, const mx_host& b) { return a.preference < b.preference; });
    }

    for (const mx_host& host : hosts) {
        if (pending().empty())
            return;
        std::vector<std::string> ips;
        if (!first.literal.empty()) {
            ips.push_back(first.literal);
        } else {
            const host_answer found = net_.lookup_host(host.name, wait_until());
            to(pending());
            switch (found.result) {
            case host_answer::status::ok:
                ips = found.addresses;
                break;
            case host_answer::status::none:
                break;
            case host_answer::status::dns_error: {
                write(ctexts::telnet_line(host.name));
                write(ctexts::connect_error_line(host.name));
                const bool unusable = short_of_descriptors(found.error_code);
                for_pending([&](entry& e) {
                    e.last = outcome{};
                    set(e.last, verdict::unknown, reason::dns_error, texts::dns_failed(found.detail));
                    e.last.unusable = unusable;
                    e.done = unusable;
                });
                continue;
            }
            case host_answer::status::timeout: {
                const bool over = clock::now() >= total_;
                for_pending([&](entry& e) {
                    e.last = outcome{};
                    timed_out(e.last);
                    e.done = over;
                });
                continue;
            }
            case host_answer::status::cancelled:
                for_pending([](entry& e) {
                    e.last.cancelled = true;
                    e.done = true;
                });
                return;
            }
            if (ips.empty()) {
                // A host with no address: nothing to connect to, as when the
                // connection is refused.
                write(ctexts::telnet_line(host.name));
                for_pending([&](entry& e) {
                    e.last = outcome{};
                    set(e.last, verdict::unknown, reason::could_not_connect, ctexts::could_not_connect);
                });
                write(ctexts::connect_error_line(host.name));
                continue;
            }
        }
        for (const std::string& ip : ips) {
            if (pending().empty())
                return;
            if (s_.refuse_private_mx && refused_mx_address(ip)) {
                to(pending());
                write(ctexts::telnet_line(host.name));
                write(ctexts::connect_error_line(host.name));
                for_pending([&](entry& e) {
                    e.last = outcome{};
                    e.last.mx = host.name;
                    set(e.last, verdict::unknown, reason::refused_address, ctexts::could_not_connect);
                });
                continue;
            }
            on_host(host.name, ip);
        }
    }
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

namespace {

void fill(const outcome& o, report& out)
{
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

}  // namespace

void run_dialog(std::span<const mailbox> addresses, const dialog_settings& settings, network& net,
                std::span<report> out)
{
    std::vector<entry> entries(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        entries[i].address = &addresses[i];
        entries[i].out = &out[i];
    }
    dialog d(entries, settings, net);
    d.run();
    for (const entry& e : entries)
        fill(e.last, *e.out);
}

void run_dialog(const mailbox& address, const dialog_settings& settings, network& net, report& out)
{
    run_dialog(std::span<const mailbox>(&address, 1), settings, net, std::span<report>(&out, 1));
}

}  // namespace verimex::engine
