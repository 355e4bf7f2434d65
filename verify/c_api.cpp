// The C face of the verification engine: options in a plain struct, the
// report behind an opaque pointer with a getter per member, statuses in
// place of exceptions (nothing may unwind into a C frame).
#include "verimex/verimex.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "component/c_api_errors.h"
#include "verify/c_cancellation.h"
#include "verimex/verify.h"

struct verimex_report {
    verimex::report report;
    std::string method, verdict, reason;  // the words, kept NUL-terminated
};

namespace {

using verimex::detail::record_thread_error;

const char* text(const std::string& s, size_t* length)
{
    if (length != nullptr)
        *length = s.size();
    return s.c_str();
}

const char* maybe(const std::optional<std::string>& s)
{
    return s ? s->c_str() : nullptr;
}

std::string word(const char* s)
{
    return s == nullptr ? std::string() : std::string(s);
}

verimex_status invalid(const std::string& message)
{
    record_thread_error(VERIMEX_ERR_INVALID, message.c_str(), 0);
    return VERIMEX_ERR_INVALID;
}

}  // namespace

extern "C" {

verimex_status verimex_cancellation_create(verimex_cancellation** out)
{
    if (out == nullptr) {
        record_thread_error(VERIMEX_ERR_NULL, "verimex: null cancellation pointer", 0);
        return VERIMEX_ERR_NULL;
    }
    *out = nullptr;
    try {
        *out = new verimex_cancellation;
    } catch (const std::bad_alloc&) {
        record_thread_error(VERIMEX_ERR_NOMEM, "verimex: out of memory", 0);
        return VERIMEX_ERR_NOMEM;
    } catch (const std::system_error& e) {
        record_thread_error(VERIMEX_ERR_PLATFORM, e.what(), e.code().value());
        return VERIMEX_ERR_PLATFORM;
    } catch (...) {
        record_thread_error(VERIMEX_ERR_INTERNAL, "verimex: unexpected exception", 0);
        return VERIMEX_ERR_INTERNAL;
    }
    record_thread_error(VERIMEX_OK, nullptr, 0);
    return VERIMEX_OK;
}

void verimex_cancellation_request(verimex_cancellation* c)
{
    if (c != nullptr)
        c->cancel.request();
}

void verimex_cancellation_destroy(verimex_cancellation* c)
{
    delete c;
}

void verimex_verify_options_init(verimex_verify_options* o)
{
    if (o == nullptr)
        return;
    *o = verimex_verify_options{};
    o->method = "auto";
    o->tls = "try";
    o->catch_all = 1;
}

verimex_status verimex_verify(const char* address, const verimex_verify_options* options, verimex_report** out)
{
    if (out != nullptr)
        *out = nullptr;
    if (address == nullptr || out == nullptr) {
        record_thread_error(VERIMEX_ERR_NULL, "verimex: null address or report pointer", 0);
        return VERIMEX_ERR_NULL;
    }
    try {
        verimex::options opts;
        if (options != nullptr) {
            const std::string method = word(options->method);
            if (!method.empty()) {
                const std::optional<verimex::method> m = verimex::parse_method(method);
                if (!m)
                    return invalid("verimex: unknown method \"" + method + "\" (vrfy, rcpt or auto)");
                opts.method = *m;
            }
            const std::string tls = word(options->tls);
            if (!tls.empty()) {
                const std::optional<verimex::tls_mode> t = verimex::parse_tls_mode(tls);
                if (!t)
                    return invalid("verimex: unknown TLS mode \"" + tls + "\" (try, require or off)");
                opts.tls = *t;
            }
            if (options->timeout < INT16_MIN || options->timeout > INT16_MAX)
                return invalid("verimex: timeout " + std::to_string(options->timeout) + " is out of range");
            opts.helo = word(options->helo);
            opts.mail_from = word(options->mail_from);
            opts.timeout = static_cast<std::int16_t>(options->timeout);
            opts.total_timeout = options->total_timeout;
            opts.proxy = word(options->proxy);
            opts.catch_all = options->catch_all != 0;
            opts.dns_server = word(options->dns_server);
            opts.refuse_private_mx = options->refuse_private_mx != 0;
            opts.disposable_list = word(options->disposable_list);
            opts.cancel = options->cancel != nullptr ? &options->cancel->cancel : nullptr;
        }
        auto r = std::make_unique<verimex_report>();
        r->report = verimex::verify(address, opts);
        if (r->report.method)
            r->method = verimex::name(*r->report.method);
        r->verdict = verimex::name(r->report.verdict);
        r->reason = verimex::name(r->report.reason);
        *out = r.release();
    } catch (const std::bad_alloc&) {
        record_thread_error(VERIMEX_ERR_NOMEM, "verimex: out of memory", 0);
        return VERIMEX_ERR_NOMEM;
    } catch (...) {
        record_thread_error(VERIMEX_ERR_INTERNAL, "verimex: unexpected exception", 0);
        return VERIMEX_ERR_INTERNAL;
    }
    record_thread_error(VERIMEX_OK, nullptr, 0);
    return VERIMEX_OK;
}

void verimex_report_free(verimex_report* r)
{
    delete r;
}

// A null report reads as an empty one.
static const verimex_report& of(const verimex_report* r)
{
    static const verimex_report empty{};
    return r != nullptr ? *r : empty;
}

const char* verimex_report_address(const verimex_report* r, size_t* length) { return text(of(r).report.address, length); }
const char* verimex_report_returnvar(const verimex_report* r, size_t* length) { return text(of(r).report.returnvar, length); }
const char* verimex_report_transcript(const verimex_report* r, size_t* length) { return text(of(r).report.transcript, length); }
const char* verimex_report_error(const verimex_report* r, size_t* length) { return text(of(r).report.error, length); }
int verimex_report_verified(const verimex_report* r) { return of(r).report.verified ? 1 : 0; }
const char* verimex_report_method(const verimex_report* r) { return r != nullptr && r->report.method ? r->method.c_str() : nullptr; }
const char* verimex_report_verdict(const verimex_report* r) { return r != nullptr ? r->verdict.c_str() : ""; }
const char* verimex_report_reason(const verimex_report* r) { return r != nullptr ? r->reason.c_str() : ""; }
const char* verimex_report_mx(const verimex_report* r) { return maybe(of(r).report.mx); }
int verimex_report_code(const verimex_report* r) { return of(r).report.code.value_or(-1); }
const char* verimex_report_enhanced(const verimex_report* r) { return maybe(of(r).report.enhanced); }
int verimex_report_catch_all(const verimex_report* r)
{
    const std::optional<bool>& c = of(r).report.catch_all;
    return c ? (*c ? 1 : 0) : -1;
}
int verimex_report_tls(const verimex_report* r) { return of(r).report.tls ? 1 : 0; }
const char* verimex_report_tls_version(const verimex_report* r) { return of(r).report.tls_version.c_str(); }
int verimex_report_role_account(const verimex_report* r) { return of(r).report.role_account ? 1 : 0; }
int verimex_report_disposable(const verimex_report* r) { return of(r).report.disposable ? 1 : 0; }
int verimex_report_cancelled(const verimex_report* r) { return of(r).report.cancelled ? 1 : 0; }
int verimex_report_unusable(const verimex_report* r) { return of(r).report.unusable ? 1 : 0; }

}  // extern "C"
