// Method vrfy: one quoverimex check, then its returnvar and transcript
// read back into the engine's terms. The component reports in texts; this
// is the one place that reads them, against the component's own
// definitions (component/texts.h), so the two cannot drift apart.
#include "verify/vrfy_check.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "component/texts.h"
#include "platform/posix/socket.h"
#include "verify/private_address.h"
#include "verify/stop.h"
#include "verify/classify.h"
#include "watchdog/form1.h"

namespace verimex::engine {

namespace {

// How often a running check looks for a stop request: the watchdog's own
// ticks may be a minute apart, and its sleeps last until the next tick.
constexpr std::chrono::milliseconds stop_poll{100};

// The host of the last "telnet: HOST" line: the mail exchanger the check
// ended with.
std::optional<std::string> last_host(const std::string& transcript)
{
    constexpr std::string_view mark = "telnet: ";
    std::size_t at = transcript.rfind(mark);
    while (at != std::string::npos && at != 0 && transcript[at - 1] != '\n')
        at = at == 0 ? std::string::npos : transcript.rfind(mark, at - 1);
    if (at == std::string::npos)
        return std::nullopt;
    const std::size_t start = at + mark.size();
    const std::size_t end = transcript.find(texts::crlf, start);
    return transcript.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The answer to the last vrfy line, as the transcript holds it (the quit
// line that follows it cut off).
std::optional<std::string> vrfy_answer(const std::string& transcript, std::string_view email)
{
    const std::string vrfy = texts::vrfy_line(email);
    const std::size_t at = transcript.rfind(vrfy);
    if (at == std::string::npos)
        return std::nullopt;
    std::string answer = transcript.substr(at + vrfy.size());
    const std::string quit = texts::quit_line();
    if (answer.ends_with(quit))
        answer.resize(answer.size() - quit.size());
    return answer;
}

// Whether returnvar is one of the lookup runner's failure texts for a pipe,
// a start or a read that failed for want of descriptors.
bool lookup_ran_short(const std::string& returnvar)
{
    for (const int error : {EMFILE, ENFILE}) {
        if (returnvar == texts::pipe_failed(error) || returnvar == texts::start_failed(error) ||
            returnvar == texts::read_failed(error))
            return true;
    }
    return false;
}

void set(report& r, verdict v, reason why)
{
    r.verdict = v;
    r.reason = why;
}

void judge_reply(report& r, const std::string& reply, stage at)
{
    const std::optional<parsed_reply> parsed = parse_reply(reply);
    if (!parsed) {
        set(r, verdict::unknown, reason::server_error);
        return;
    }
    const judgement j = classify(at, *parsed);
    set(r, j.verdict, j.reason);
    r.method = method::vrfy;
    r.code = parsed->code;
    r.enhanced = parsed->enhanced;
}

void read_outcome(const quoverimex& q, report& r)
{
    const std::string& rv = q.returnvar();
    const std::string& smtp = q.smtp();
    if (rv == texts::verified) {
        r.mx = last_host(smtp);
        // The component counts any answer that starts with 250 as verified.
        judge_reply(r, vrfy_answer(smtp, q.email()).value_or("250"), stage::vrfy);
        set(r, verdict::deliverable, reason::accepted);
    } else if (rv == texts::timed_out(q.timeout())) {
        // No answer decided, so no host is named (as with the other methods).
        set(r, verdict::unknown, reason::timeout);
    } else if (rv == texts::could_not_connect) {
        set(r, verdict::unknown, reason::could_not_connect);
    } else if (rv == texts::no_mail_server) {
        set(r, verdict::undeliverable, reason::no_mail_server);
    } else if (rv == texts::invalid_email) {
        set(r, verdict::undeliverable, reason::invalid_syntax);
    } else if (rv == texts::invalid_from) {
        // The component's in-band answer, a result like any other: hosts
        // show it as the result, as they always have, not as a failure of
        // the platform.
        set(r, verdict::unknown, reason::server_error);
    } else if (rv.starts_with("ERROR: NSLOOKUP failed")) {
        // The lookup tool could not be run: nothing is known of the domain.
        // In band as well; but when it failed for want of descriptors the
        // check says nothing at all, and a host takes it again.
        set(r, verdict::unknown, reason::dns_error);
        r.unusable = lookup_ran_short(rv);
    } else {
        // A mail server's refusal: the answer to vrfy, or the last error
        // reply of a server that hung up before it (a blocklist banner).
        r.mx = last_host(smtp);
        const std::optional<std::string> answer = vrfy_answer(smtp, q.email());
        judge_reply(r, rv, answer && *answer == rv ? stage::vrfy : stage::banner);
    }
}

}  // namespace

void run_vrfy(std::string_view address, const options& opts, report& out)
{
    quoverimex q;
    q.email(std::string(address));
    q.from(opts.helo);
    q.timeout(opts.timeout);
    q.nslookup(opts.dns_server);

    if (stop_requested(opts.cancel)) {
        out.cancelled = true;
        return;
    }

    std::unique_ptr<platform::Timer> stop_watch;
    if (opts.cancel) {
        Form1& form = Form1::current();
        const cancellation* cancel = opts.cancel;
        stop_watch = form.make_timer([&form, cancel](std::int64_t) {
            // The watchdog's own flag: the check ends as at its time limit.
            if (cancel->requested())
                form.timer = true;
        });
        stop_watch->Interval(stop_poll);
        stop_watch->Enabled(true);
    }

    // The component connects through the platform's sockets: the filter
    // keeps them off private addresses, as the RCPT dialog keeps its own.
    std::optional<platform::posix::ConnectFilter> private_mx;
    if (opts.refuse_private_mx)
        private_mx.emplace(refused_mx_address);

    try {
        q.check();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::system_error& e) {
        // what() already carries the OS's message, and this is the text
        // hosts have always printed for method vrfy.
        out.error = e.what();
        out.unusable = e.code().value() == EMFILE || e.code().value() == ENFILE;
    } catch (const std::exception& e) {
        out.error = *e.what() ? e.what() : "unknown platform error";
    }
    stop_watch.reset();

    out.returnvar = q.returnvar();
    out.transcript = q.smtp();
    if (stop_requested(opts.cancel)) {
        out.cancelled = true;
        out.verdict = verdict::unknown;
        out.reason = reason::timeout;
        return;
    }
    if (!out.error.empty()) {
        out.verdict = verdict::unknown;
        out.reason = reason::server_error;
        return;
    }
    read_outcome(q, out);
    // The component says it could not connect, as for any mail server out
    // of reach; it was this host that would not.
    if (private_mx && private_mx->refused_any() && out.reason == reason::could_not_connect)
        out.reason = reason::refused_address;
}

}  // namespace verimex::engine
