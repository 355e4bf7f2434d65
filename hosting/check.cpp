// The hosts' check, and the guard every check thread runs it under.
#include "verimex/hosting/check.h"

#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "component/texts.h"  // the result texts the library writes
#include "verimex/quoverimex.h"

namespace verimex::hosting {

namespace {

namespace texts = verimex::texts;

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

// The first mail exchanger the check tried: the transcript opens with the
// line the check writes when it starts its first connection.
std::optional<std::string> first_mail_exchanger(std::string_view transcript)
{
    const std::string line = texts::telnet_line("");
    const std::string_view prefix = std::string_view(line).substr(0, line.size() - texts::crlf.size());
    if (!transcript.starts_with(prefix))
        return std::nullopt;
    const std::size_t end = transcript.find(texts::crlf, prefix.size());
    if (end == std::string_view::npos || end == prefix.size())
        return std::nullopt;
    return std::string(transcript.substr(prefix.size(), end - prefix.size()));
}

// The verdict of the component's result, which it gives as a text.
void judge(report& result)
{
    const std::string_view r = result.returnvar;
    const auto digit = [&](std::size_t i) { return r.size() > i && r[i] >= '0' && r[i] <= '9'; };
    if (!result.error.empty()) {
        result.reason = reason::server_error;
    } else if (r == texts::verified) {
        result.verified = true;
        result.verdict = verdict::deliverable;
        result.reason = reason::accepted;
    } else if (r == texts::could_not_connect) {
        result.reason = reason::could_not_connect;
    } else if (r == texts::no_mail_server) {
        result.verdict = verdict::undeliverable;
        result.reason = reason::no_mail_server;
    } else if (const std::string t = texts::timed_out(0); r.starts_with(t.substr(0, t.find('0')))) {
        result.reason = reason::timeout;
    } else if (digit(0) && digit(1) && digit(2)) {
        result.code = (r[0] - '0') * 100 + (r[1] - '0') * 10 + (r[2] - '0');
        result.reason = *result.code == 252 ? reason::cannot_verify : reason::server_error;
    }
}

}  // namespace

report check(const std::string& address, const options& opts)
{
    // A fresh object per address: nslookup is replaced by the lookup output
    // and smtp only grows, so a reused object would carry the last address's
    // lookup output into the next command line and its transcript along.
    verimex::quoverimex verifier;
    verifier.email(address);
    verifier.from(opts.helo);
    verifier.timeout(opts.timeout);
    verifier.nslookup(opts.dns_server);

    report result;
    result.address = address;
    result.method = method::vrfy;
    try {
        verifier.check();
    } catch (const std::system_error& e) {
        // what() already carries the OS's message.
        result.error = e.what();
        result.unusable = e.code() == std::errc::too_many_files_open ||
                          e.code() == std::errc::too_many_files_open_in_system;
    } catch (const std::exception& e) {
        result.error = e.what();
        if (result.error.empty())
            result.error = "unknown platform error";
    }
    result.returnvar = verifier.returnvar();
    result.transcript = verifier.smtp();
    result.mx = first_mail_exchanger(result.transcript);
    judge(result);
    // The lookup runner reports a pipe or a start that failed for want of
    // descriptors in returnvar, as it reports any failure of the tool.
    if (lookup_ran_short(result.returnvar))
        result.unusable = true;
    return result;
}

report checked(const CheckFunction& fn, const std::string& address, const options& opts)
{
    report failed;
    failed.address = address;
    try {
        report result = fn(address, opts);
        result.address = address;
        return result;
    } catch (const std::exception& e) {
        failed.error = *e.what() ? e.what() : "unknown platform error";
    } catch (...) {
        failed.error = "unknown platform error";
    }
    return failed;
}

}  // namespace verimex::hosting
