// The C face of the preflight self-check: options in a plain struct, the
// report behind an opaque pointer with a getter per member and per
// finding, statuses in place of exceptions.
#include "verimex/verimex.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "component/c_api_errors.h"
#include "verimex/preflight.h"
#include "verify/c_cancellation.h"

struct verimex_preflight_report {
    verimex::preflight_report report;
    std::string text;  // preflight_text, made once
};

namespace {

using verimex::detail::record_thread_error;

std::string word(const char* s)
{
    return s == nullptr ? std::string() : std::string(s);
}

const verimex::preflight_finding* finding_at(const verimex_preflight_report* r, size_t index)
{
    if (r == nullptr || index >= r->report.findings.size())
        return nullptr;
    return &r->report.findings[index];
}

}  // namespace

extern "C" {

void verimex_preflight_options_init(verimex_preflight_options* o)
{
    if (o != nullptr)
        *o = verimex_preflight_options{};
}

verimex_status verimex_preflight(const verimex_preflight_options* options, verimex_preflight_report** out)
{
    if (out == nullptr) {
        record_thread_error(VERIMEX_ERR_NULL, "verimex: null report pointer", 0);
        return VERIMEX_ERR_NULL;
    }
    *out = nullptr;
    try {
        verimex::preflight_options opts;
        if (options != nullptr) {
            if (options->timeout < INT16_MIN || options->timeout > INT16_MAX) {
                const std::string message =
                    "verimex: timeout " + std::to_string(options->timeout) + " is out of range";
                record_thread_error(VERIMEX_ERR_INVALID, message.c_str(), 0);
                return VERIMEX_ERR_INVALID;
            }
            opts.helo = word(options->helo);
            opts.mail_from = word(options->mail_from);
            opts.public_address = word(options->public_address);
            if (options->test_host != nullptr && options->test_host[0] != '\0')
                opts.test_host = options->test_host;
            opts.proxy = word(options->proxy);
            if (options->blocklists != nullptr) {
                opts.blocklists.clear();
                for (const char* const* zone = options->blocklists; *zone != nullptr; ++zone)
                    opts.blocklists.emplace_back(*zone);
            }
            opts.timeout = static_cast<std::int16_t>(options->timeout);
            opts.dns_server = word(options->dns_server);
            opts.cancel = options->cancel != nullptr ? &options->cancel->cancel : nullptr;
        }
        auto r = std::make_unique<verimex_preflight_report>();
        r->report = verimex::preflight(opts);
        r->text = verimex::preflight_text(r->report);
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

void verimex_preflight_report_free(verimex_preflight_report* r)
{
    delete r;
}

int verimex_preflight_report_blocked(const verimex_preflight_report* r) { return r != nullptr && r->report.blocked ? 1 : 0; }
int verimex_preflight_report_cancelled(const verimex_preflight_report* r) { return r != nullptr && r->report.cancelled ? 1 : 0; }
const char* verimex_preflight_report_error(const verimex_preflight_report* r) { return r != nullptr ? r->report.error.c_str() : ""; }
const char* verimex_preflight_report_address(const verimex_preflight_report* r) { return r != nullptr ? r->report.address.c_str() : ""; }
const char* verimex_preflight_report_address_source(const verimex_preflight_report* r) { return r != nullptr ? r->report.address_source.c_str() : ""; }
int verimex_preflight_report_address_guess(const verimex_preflight_report* r) { return r != nullptr && r->report.address_guess ? 1 : 0; }
const char* verimex_preflight_report_text(const verimex_preflight_report* r) { return r != nullptr ? r->text.c_str() : ""; }
size_t verimex_preflight_report_findings(const verimex_preflight_report* r) { return r != nullptr ? r->report.findings.size() : 0; }

const char* verimex_preflight_finding_check(const verimex_preflight_report* r, size_t index)
{
    const verimex::preflight_finding* f = finding_at(r, index);
    return f != nullptr ? f->check.c_str() : nullptr;
}

const char* verimex_preflight_finding_status(const verimex_preflight_report* r, size_t index)
{
    const verimex::preflight_finding* f = finding_at(r, index);
    // The words are string literals, NUL-terminated.
    return f != nullptr ? verimex::name(f->status).data() : nullptr;
}

const char* verimex_preflight_finding_subject(const verimex_preflight_report* r, size_t index)
{
    const verimex::preflight_finding* f = finding_at(r, index);
    return f != nullptr ? f->subject.c_str() : nullptr;
}

const char* verimex_preflight_finding_text(const verimex_preflight_report* r, size_t index)
{
    const verimex::preflight_finding* f = finding_at(r, index);
    return f != nullptr ? f->text.c_str() : nullptr;
}

const char* verimex_preflight_finding_advice(const verimex_preflight_report* r, size_t index)
{
    const verimex::preflight_finding* f = finding_at(r, index);
    return f != nullptr ? f->advice.c_str() : nullptr;
}

}  // extern "C"
