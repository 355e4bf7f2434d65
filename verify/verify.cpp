// verify(): one address from start to end. Method vrfy hands the address
// to the component as it is; rcpt and auto judge its syntax first, then
// run the dialog over the real network (net/).
#include <verimex/verify.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <new>
#include <system_error>

#include "component/texts.h"
#include "verify/address.h"
#include "verify/stop.h"
#include "verify/dialog.h"
#include "verify/facts.h"
#include "verify/net.h"
#include "verify/texts.h"
#include "verify/vrfy_check.h"

namespace verimex {

namespace {

constexpr std::int16_t default_timeout = 120;
constexpr std::int16_t max_timeout = 600;
constexpr unsigned total_per_limit = 4;

// The component's reading of `timeout`; a negative value, which the
// component's timer refuses, is read as the default here: the engine has
// no timer to refuse it.
std::int16_t time_limit(std::int16_t timeout)
{
    if (timeout <= 0)
        return default_timeout;
    return std::min(timeout, max_timeout);
}

bool unsafe_for_smtp(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The EHLO name when none is given: this machine's name, which is what a
// mail server expects (RFC 5321 4.1.4); an EHLO without one is refused.
std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

class real_network final : public engine::network {
public:
    real_network(const options& opts, const engine::proxy_settings* proxy)
        : proxy_(proxy), cancel_(opts.cancel)
    {
        resolve_.dns_server = opts.dns_server;
        resolve_.cancel = opts.cancel;
    }

    engine::mx_answer lookup_mx(std::string_view domain, engine::deadline until) override
    {
        return engine::lookup_mx(domain, resolve_, until);
    }
    engine::host_answer lookup_host(std::string_view host, engine::deadline until) override
    {
        return engine::lookup_host(host, resolve_, until);
    }
    std::unique_ptr<engine::smtp_stream> connect(const std::string& address, std::uint16_t port,
                                                 engine::deadline until, engine::connect_result& result) override
    {
        return engine::connect_smtp(address, port, proxy_, cancel_, until, result);
    }

private:
    engine::resolve_settings resolve_;
    const engine::proxy_settings* proxy_;
    const cancellation* cancel_;
};

void set(report& r, verdict v, reason why, std::string_view returnvar)
{
    r.verdict = v;
    r.reason = why;
    r.returnvar = std::string(returnvar);
}

}  // namespace

report verify(std::string_view address, const options& opts)
{
    const engine::clock::time_point started = engine::clock::now();
    report r;
    r.address = std::string(address);

    const std::optional<engine::mailbox> mailbox = engine::parse_mailbox(address);
    if (mailbox) {
        r.role_account = engine::role_account(mailbox->local);
        r.disposable = engine::disposable_domain(mailbox->domain, opts.disposable_list, r.error);
    }

    if (opts.method == method::vrfy) {
        engine::run_vrfy(address, opts, r);
    } else if (!mailbox) {
        set(r, verdict::undeliverable, reason::invalid_syntax, texts::invalid_email);
    } else if (unsafe_for_smtp(opts.helo)) {
        set(r, verdict::unknown, reason::server_error, texts::invalid_from);
        r.error = "the HELO name holds a line break or NUL";
    } else if (!opts.mail_from.empty() && !engine::parse_mailbox(opts.mail_from)) {
        set(r, verdict::unknown, reason::server_error, engine::texts::invalid_mail_from);
        r.error = "the mail-from address is not an address: " + opts.mail_from;
    } else if (engine::stop_requested(opts.cancel)) {
        set(r, verdict::unknown, reason::timeout, engine::texts::cancelled);
        r.cancelled = true;
    } else {
        engine::proxy_settings proxy;
        const bool proxied = !opts.proxy.empty();
        if (proxied && !engine::parse_proxy(opts.proxy, proxy)) {
            // The URL may hold a password: it is not repeated.
            set(r, verdict::unknown, reason::proxy_error, engine::texts::invalid_proxy);
            r.error = "the proxy is not a socks5://[USER:PASSWORD@]HOST:PORT URL";
        } else {
            engine::dialog_settings s;
            s.how = opts.method;
            s.helo = opts.helo.empty() ? host_name() : opts.helo;
            s.mail_from = opts.mail_from;
            s.tls = opts.tls;
            s.catch_all = opts.catch_all;
            s.refuse_private_mx = opts.refuse_private_mx;
            s.timeout = time_limit(opts.timeout);
            s.total_seconds = opts.total_timeout ? opts.total_timeout : total_per_limit * unsigned(s.timeout);
            s.total = started + std::chrono::seconds(s.total_seconds);
            s.cancel = opts.cancel;
            real_network net(opts, proxied ? &proxy : nullptr);
            try {
                engine::run_dialog(*mailbox, s, net, r);
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::system_error& e) {
                // The platform failed under the check (a thread or a
                // descriptor could not be had): no result, and it says why.
                r.error = std::string(e.what()) + " (error " + std::to_string(e.code().value()) + ")";
                r.unusable = e.code().value() == EMFILE || e.code().value() == ENFILE;
                r.verdict = verdict::unknown;
                r.reason = reason::server_error;
            } catch (const std::exception& e) {
                r.error = e.what();
                r.verdict = verdict::unknown;
                r.reason = reason::server_error;
            }
        }
    }
    r.verified = r.verdict == verdict::deliverable;
    return r;
}

}  // namespace verimex
