// The words of the engine's enums, as reports, options and command lines
// spell them, and their reverse.
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include <verimex/preflight.h>
#include <verimex/verify.h>

namespace verimex {

namespace {

template <class E, std::size_t N>
using table = std::array<std::pair<E, std::string_view>, N>;

constexpr table<method, 3> methods{{
    {method::vrfy, "vrfy"},
    {method::rcpt, "rcpt"},
    {method::automatic, "auto"},
}};

constexpr table<tls_mode, 3> tls_modes{{
    {tls_mode::opportunistic, "try"},
    {tls_mode::require, "require"},
    {tls_mode::off, "off"},
}};

constexpr table<verdict, 4> verdicts{{
    {verdict::deliverable, "deliverable"},
    {verdict::undeliverable, "undeliverable"},
    {verdict::risky, "risky"},
    {verdict::unknown, "unknown"},
}};

constexpr table<reason, 17> reasons{{
    {reason::accepted, "accepted"},
    {reason::accept_all, "accept_all"},
    {reason::cannot_verify, "cannot_verify"},
    {reason::invalid_syntax, "invalid_syntax"},
    {reason::no_mail_server, "no_mail_server"},
    {reason::no_such_mailbox, "no_such_mailbox"},
    {reason::mailbox_disabled, "mailbox_disabled"},
    {reason::mailbox_full, "mailbox_full"},
    {reason::greylisted, "greylisted"},
    {reason::blocked, "blocked"},
    {reason::tls_required, "tls_required"},
    {reason::timeout, "timeout"},
    {reason::could_not_connect, "could_not_connect"},
    {reason::proxy_error, "proxy_error"},
    {reason::dns_error, "dns_error"},
    {reason::refused_address, "refused_address"},
    {reason::server_error, "server_error"},
}};

constexpr table<preflight_status, 4> preflight_statuses{{
    {preflight_status::ok, "ok"},
    {preflight_status::warning, "warning"},
    {preflight_status::blocking, "blocking"},
    {preflight_status::could_not_tell, "could_not_tell"},
}};

template <class E, std::size_t N>
std::string_view word_of(const table<E, N>& words, E value)
{
    for (const auto& [e, word] : words)
        if (e == value)
            return word;
    return {};  // not reached for a value of the enum
}

template <class E, std::size_t N>
std::optional<E> value_of(const table<E, N>& words, std::string_view word)
{
    for (const auto& [e, w] : words)
        if (w == word)
            return e;
    return std::nullopt;
}

}  // namespace

std::string_view name(method value) { return word_of(methods, value); }
std::string_view name(tls_mode value) { return word_of(tls_modes, value); }
std::string_view name(verdict value) { return word_of(verdicts, value); }
std::string_view name(reason value) { return word_of(reasons, value); }
std::string_view name(preflight_status value) { return word_of(preflight_statuses, value); }

std::optional<method> parse_method(std::string_view word) { return value_of(methods, word); }
std::optional<tls_mode> parse_tls_mode(std::string_view word) { return value_of(tls_modes, word); }
std::optional<verdict> parse_verdict(std::string_view word) { return value_of(verdicts, word); }
std::optional<reason> parse_reason(std::string_view word) { return value_of(reasons, word); }
std::optional<preflight_status> parse_preflight_status(std::string_view word)
{
    return value_of(preflight_statuses, word);
}

}  // namespace verimex
