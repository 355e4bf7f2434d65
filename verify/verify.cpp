// verify(): one address from start to end. Method vrfy hands the address
// to the component as it is; rcpt and auto judge its syntax first, then
// run the dialog over the real network (net/).
#include <verimex/verify.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <map>
#include <new>
#include <system_error>
#include <vector>

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

using engine::host_name;
using engine::unsafe_for_smtp;

constexpr std::int16_t default_timeout = 120;
constexpr std::int16_t max_timeout = 600;
constexpr unsigned total_per_limit = 4;
constexpr unsigned default_recipients_per_session = 20;

// The component's reading of `timeout`; a negative value, which the
// component's timer refuses, is read as the default here: the engine has
// no timer to refuse it.
std::int16_t time_limit(std::int16_t timeout)
{
    if (timeout <= 0)
        return default_timeout;
    return std::min(timeout, max_timeout);
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

// The options as the dialog takes them; false, with the report saying why,
// when they cannot go on the wire.
bool dialog_settings_for(const options& opts, engine::clock::time_point started, engine::dialog_settings& s,
                         engine::proxy_settings& proxy, report& r)
{
    if (unsafe_for_smtp(opts.helo)) {
        set(r, verdict::unknown, reason::server_error, texts::invalid_from);
        r.error = "the HELO name holds a line break or NUL";
        return false;
    }
    if (!opts.mail_from.empty() && !engine::parse_mailbox(opts.mail_from)) {
        set(r, verdict::unknown, reason::server_error, engine::texts::invalid_mail_from);
        r.error = "the mail-from address is not an address: " + opts.mail_from;
        return false;
    }
    if (engine::stop_requested(opts.cancel)) {
        set(r, verdict::unknown, reason::timeout, engine::texts::cancelled);
        r.cancelled = true;
        return false;
    }
    if (!opts.proxy.empty() && !engine::parse_proxy(opts.proxy, proxy)) {
        // The URL may hold a password: it is not repeated.
        set(r, verdict::unknown, reason::proxy_error, engine::texts::invalid_proxy);
        r.error = "the proxy is not a socks5://[USER:PASSWORD@]HOST:PORT URL";
        return false;
    }
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
    s.recipients_per_session = opts.recipients_per_session ? opts.recipients_per_session
                                                           : default_recipients_per_session;
    return true;
}

// The dialog for addresses of one domain; what the platform throws under
// it is every report's error.
void run_batch(std::span<const engine::mailbox> mailboxes, std::span<report> reports,
               const engine::dialog_settings& s, const options& opts, const engine::proxy_settings* proxy)
{
    real_network net(opts, proxy);
    const auto failed = [&reports](const std::string& error, bool unusable) {
        for (report& r : reports) {
            r.error = error;
            r.unusable = unusable;
            r.verdict = verdict::unknown;
            r.reason = reason::server_error;
        }
    };
    try {
        engine::run_dialog(mailboxes, s, net, reports);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::system_error& e) {
        // The platform failed under the check (a thread or a descriptor
        // could not be had): no result, and it says why.
        failed(std::string(e.what()) + " (error " + std::to_string(e.code().value()) + ")",
               e.code().value() == EMFILE || e.code().value() == ENFILE);
    } catch (const std::exception& e) {
        failed(e.what(), false);
    }
}

std::string domain_key(const engine::mailbox& m)
{
    std::string key = m.literal.empty() ? m.domain : "[" + m.literal + "]";
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return key;
}

}  // namespace

std::vector<report> verify_many(std::span<const std::string> addresses, const options& opts)
{
    std::vector<report> out(addresses.size());
    std::vector<std::optional<engine::mailbox>> parsed(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        report& r = out[i];
        r.address = addresses[i];
        parsed[i] = engine::parse_mailbox(addresses[i]);
        if (parsed[i]) {
            r.role_account = engine::role_account(parsed[i]->local);
            r.disposable = engine::disposable_domain(parsed[i]->domain, opts.disposable_list, r.error);
        }
    }

    if (opts.method == method::vrfy) {
        // The component's check, one address at a time, as it always is.
        for (std::size_t i = 0; i < addresses.size(); ++i)
            engine::run_vrfy(addresses[i], opts, out[i]);
    } else {
        // The addresses of each domain, in the order given.
        std::vector<std::string> order;
        std::map<std::string, std::vector<std::size_t>> domains;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (!parsed[i]) {
                set(out[i], verdict::undeliverable, reason::invalid_syntax, texts::invalid_email);
                continue;
            }
            const std::string key = domain_key(*parsed[i]);
            auto& list = domains[key];
            if (list.empty())
                order.push_back(key);
            list.push_back(i);
        }
        for (const std::string& key : order) {
            const std::vector<std::size_t>& members = domains[key];
            engine::dialog_settings s;
            engine::proxy_settings proxy;
            report refused;
            // Domains go one after another: each one's time starts with it.
            if (!dialog_settings_for(opts, engine::clock::now(), s, proxy, refused)) {
                for (const std::size_t i : members) {
                    report& r = out[i];
                    r.verdict = refused.verdict;
                    r.reason = refused.reason;
                    r.returnvar = refused.returnvar;
                    r.error = refused.error;
                    r.cancelled = refused.cancelled;
                }
                continue;
            }
            std::vector<engine::mailbox> mailboxes;
            std::vector<report> reports;
            mailboxes.reserve(members.size());
            reports.reserve(members.size());
            for (const std::size_t i : members) {
                mailboxes.push_back(*parsed[i]);
                reports.push_back(std::move(out[i]));
            }
            run_batch(mailboxes, reports, s, opts, opts.proxy.empty() ? nullptr : &proxy);
            for (std::size_t k = 0; k < members.size(); ++k)
                out[members[k]] = std::move(reports[k]);
        }
    }
    for (report& r : out)
        r.verified = r.verdict == verdict::deliverable;
    return out;
}

report verify(std::string_view address, const options& opts)
{
    const std::string one(address);
    return std::move(verify_many(std::span<const std::string>(&one, 1), opts).front());
}

}  // namespace verimex
