// The C face of the verifier: an opaque handle around one quoverimex, status
// codes in place of exceptions, and the message of the last failure kept
// where a C caller can read it. Nothing here may let an exception escape:
// unwinding into a C frame is undefined, so every entry point catches all.
#include "verimex/verimex.h"

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "component/c_api_errors.h"
#include "verimex/quoverimex.h"

// The header's version macros are what C hosts compile against; the build
// system's project version is what the library and its packages are called.
// They must not drift apart.
#if defined(VERIMEX_PROJECT_VERSION)
static_assert(std::string_view(VERIMEX_VERSION_STR) == VERIMEX_PROJECT_VERSION,
              "verimex.h version macros differ from the project version");
#endif

struct verimex_handle {
    verimex::quoverimex object;
    // Why the last call on this handle failed; empty after a success.
    verimex_status status = VERIMEX_OK;
    std::string error;
    int error_code = 0;
};

namespace {

// Failures that have no handle to keep them: a failed create, a null handle.
struct Orphan {
    verimex_status status = VERIMEX_OK;
    std::string error;
    int error_code = 0;
};
thread_local Orphan orphan;

template <typename Holder>
void record(Holder& h, verimex_status status, const char* message, int code) noexcept
{
    h.status = status;
    h.error_code = code;
    try {
        h.error = message;
    } catch (...) {
        // No memory for the text: verimex_error() falls back to the
        // status's fixed description.
        h.error.clear();
    }
}

template <typename Holder>
void clear(Holder& h) noexcept
{
    h.status = VERIMEX_OK;
    h.error.clear();
    h.error_code = 0;
}

verimex_status null_handle() noexcept
{
    record(orphan, VERIMEX_ERR_NULL, "verimex: null handle", 0);
    return VERIMEX_ERR_NULL;
}

verimex_status null_argument(verimex_handle& v, const char* message) noexcept
{
    record(v, VERIMEX_ERR_NULL, message, 0);
    return VERIMEX_ERR_NULL;
}

// Runs body on the handle and turns whatever it throws into a status. The
// verifier throws only what the platform raised (a std::exception, usually a
// std::system_error carrying the OS error number); anything else is ours.
template <typename Body>
verimex_status guarded(verimex_handle& v, Body&& body) noexcept
{
    clear(v);
    try {
        std::forward<Body>(body)();
        return VERIMEX_OK;
    } catch (const std::bad_alloc&) {
        record(v, VERIMEX_ERR_NOMEM, "verimex: out of memory", 0);
    } catch (const std::system_error& e) {
        record(v, VERIMEX_ERR_PLATFORM, e.what(), e.code().value());
    } catch (const std::exception& e) {
        record(v, VERIMEX_ERR_PLATFORM, e.what(), 0);
    } catch (...) {
        record(v, VERIMEX_ERR_INTERNAL, "verimex: unexpected exception", 0);
    }
    return v.status;
}

using Getter = const std::string& (verimex::quoverimex::*)() const;
using Setter = void (verimex::quoverimex::*)(std::string);

verimex_status get_text(verimex_handle* v, Getter getter, const char** value, std::size_t* length) noexcept
{
    if (v == nullptr)
        return null_handle();
    if (value == nullptr)
        return null_argument(*v, "verimex: null value pointer");
    return guarded(*v, [&] {
        // The field itself: valid until the property is next written, which
        // is no sooner than the next call on this handle.
        const std::string& text = (v->object.*getter)();
        *value = text.c_str();
        if (length != nullptr)
            *length = text.size();
    });
}

verimex_status set_text(verimex_handle* v, Setter setter, const char* value) noexcept
{
    if (v == nullptr)
        return null_handle();
    if (value == nullptr)
        return null_argument(*v, "verimex: null string");
    return guarded(*v, [&] { (v->object.*setter)(std::string(value)); });
}

template <typename Holder>
const char* message_of(const Holder& h) noexcept
{
    if (h.status != VERIMEX_OK && h.error.empty())
        return verimex_strstatus(h.status);
    return h.error.c_str();
}

}  // namespace

namespace verimex::detail {

void record_thread_error(verimex_status status, const char* message, int code) noexcept
{
    if (status == VERIMEX_OK)
        clear(orphan);
    else
        record(orphan, status, message, code);
}

}  // namespace verimex::detail

extern "C" {

const char* verimex_version(int* version)
{
    if (version != nullptr)
        *version = VERIMEX_VERSION_NUM;
    return VERIMEX_VERSION_STR;
}

const char* verimex_strstatus(verimex_status status)
{
    switch (status) {
    case VERIMEX_OK:
        return "success";
    case VERIMEX_ERR_NULL:
        return "null handle or argument";
    case VERIMEX_ERR_PLATFORM:
        return "the platform raised an error";
    case VERIMEX_ERR_NOMEM:
        return "out of memory";
    case VERIMEX_ERR_INTERNAL:
        return "internal error";
    case VERIMEX_ERR_INVALID:
        return "an option names nothing known";
    }
    return "unknown status";
}

verimex_status verimex_create(verimex_t** out)
{
    if (out == nullptr) {
        record(orphan, VERIMEX_ERR_NULL, "verimex: null handle pointer", 0);
        return VERIMEX_ERR_NULL;
    }
    *out = nullptr;
    try {
        *out = new verimex_handle;
        return VERIMEX_OK;
    } catch (const std::bad_alloc&) {
        record(orphan, VERIMEX_ERR_NOMEM, "verimex: out of memory", 0);
        return VERIMEX_ERR_NOMEM;
    } catch (...) {
        record(orphan, VERIMEX_ERR_INTERNAL, "verimex: unexpected exception", 0);
        return VERIMEX_ERR_INTERNAL;
    }
}

void verimex_destroy(verimex_t* v)
{
    delete v;
}

verimex_status verimex_get_email(verimex_t* v, const char** value, size_t* length)
{
    return get_text(v, &verimex::quoverimex::email, value, length);
}

verimex_status verimex_get_nslookup(verimex_t* v, const char** value, size_t* length)
{
    return get_text(v, &verimex::quoverimex::nslookup, value, length);
}

verimex_status verimex_get_smtp(verimex_t* v, const char** value, size_t* length)
{
    return get_text(v, &verimex::quoverimex::smtp, value, length);
}

verimex_status verimex_get_returnvar(verimex_t* v, const char** value, size_t* length)
{
    return get_text(v, &verimex::quoverimex::returnvar, value, length);
}

verimex_status verimex_get_from(verimex_t* v, const char** value, size_t* length)
{
    return get_text(v, &verimex::quoverimex::from, value, length);
}

verimex_status verimex_get_timeout(verimex_t* v, int16_t* value)
{
    if (v == nullptr)
        return null_handle();
    if (value == nullptr)
        return null_argument(*v, "verimex: null value pointer");
    return guarded(*v, [&] { *value = v->object.timeout(); });
}

verimex_status verimex_set_email(verimex_t* v, const char* value)
{
    return set_text(v, &verimex::quoverimex::email, value);
}

verimex_status verimex_set_nslookup(verimex_t* v, const char* value)
{
    return set_text(v, &verimex::quoverimex::nslookup, value);
}

verimex_status verimex_set_smtp(verimex_t* v, const char* value)
{
    return set_text(v, &verimex::quoverimex::smtp, value);
}

verimex_status verimex_set_returnvar(verimex_t* v, const char* value)
{
    return set_text(v, &verimex::quoverimex::returnvar, value);
}

verimex_status verimex_set_from(verimex_t* v, const char* value)
{
    return set_text(v, &verimex::quoverimex::from, value);
}

verimex_status verimex_set_timeout(verimex_t* v, int16_t value)
{
    if (v == nullptr)
        return null_handle();
    return guarded(*v, [&] { v->object.timeout(value); });
}

verimex_status verimex_check(verimex_t* v)
{
    if (v == nullptr)
        return null_handle();
    return guarded(*v, [&] { v->object.check(); });
}

verimex_status verimex_checktime(verimex_t* v, int* expired)
{
    if (v == nullptr)
        return null_handle();
    if (expired == nullptr)
        return null_argument(*v, "verimex: null result pointer");
    return guarded(*v, [&] { *expired = v->object.checktime() ? 1 : 0; });
}

const char* verimex_error(const verimex_t* v)
{
    return v == nullptr ? message_of(orphan) : message_of(*v);
}

int verimex_error_code(const verimex_t* v)
{
    return v == nullptr ? orphan.error_code : v->error_code;
}

}  // extern "C"
