/* The C interface of libverimex: the verifier class behind an opaque handle,
 * for hosts that are not C++ (C programs, and through them Python's ctypes
 * and other foreign-function layers).
 *
 * A handle is one verifier object. Set the inputs as properties, call
 * verimex_check(), read the outcome back from the same properties: the
 * result code or message in returnvar, the dialog with the mail servers in
 * smtp. Every outcome the verifier detects, failures included, is a text in
 * returnvar and the call returns VERIMEX_OK; only a failure of the platform
 * itself (the timer refusing a negative timeout, a socket call failing)
 * makes verimex_check() return VERIMEX_ERR_PLATFORM, with its message in
 * verimex_error().
 *
 * Strings are NUL-terminated UTF-8 in, UTF-8 out. A string handed out by a
 * getter belongs to the handle and stays valid until the next call on that
 * handle; copy it to keep it.
 *
 * Threads: a handle is used from the thread that created it. Handles on one
 * thread share that thread's watchdog timer and socket, so calls on them
 * must not overlap (do not start a check from inside another one).
 *
 * No C++ exception leaves any of these functions. Compiles as C89 and up,
 * and as C++. */
#ifndef VERIMEX_VERIMEX_H
#define VERIMEX_VERIMEX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  define VERIMEX_C_API
#else
#  define VERIMEX_C_API __attribute__((visibility("default")))
#endif

/* The version of this header. verimex_version() tells the version of the
 * library actually loaded, which may be newer. */
#define VERIMEX_VERSION_MAJOR 1
#define VERIMEX_VERSION_MINOR 0
#define VERIMEX_VERSION_PATCH 0
#define VERIMEX_VERSION_STR "1.0.0"
/* One number for comparisons: 0xMMmmpp. */
#define VERIMEX_VERSION_NUM \
  ((VERIMEX_VERSION_MAJOR << 16) | (VERIMEX_VERSION_MINOR << 8) | VERIMEX_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* One verifier object. */
typedef struct verimex_handle verimex_t;

typedef enum verimex_status {
  VERIMEX_OK = 0,
  /* A null handle, a null string or a null out-pointer. Nothing changed. */
  VERIMEX_ERR_NULL = 1,
  /* The platform raised an error during check or checktime; the properties
   * hold what was written before it. verimex_error() and
   * verimex_error_code() say what it was. */
  VERIMEX_ERR_PLATFORM = 2,
  /* Memory ran out. Nothing changed. */
  VERIMEX_ERR_NOMEM = 3,
  /* Something the library did not expect was raised; a bug. */
  VERIMEX_ERR_INTERNAL = 4,
  /* An option of verimex_verify() names nothing it knows (a method or TLS
   * mode word). Nothing was checked. */
  VERIMEX_ERR_INVALID = 5
} verimex_status;

/* The version of the loaded library as "major.minor.patch"; when version is
 * not null it receives the same as VERIMEX_VERSION_NUM would. */
VERIMEX_C_API const char *verimex_version(int *version);

/* A fixed English description of a status, never null. */
VERIMEX_C_API const char *verimex_strstatus(verimex_status status);

/* A new verifier object in *out: five empty strings, timeout 0. On failure
 * *out is set to null (when out itself is not null). */
VERIMEX_C_API verimex_status verimex_create(verimex_t **out);
/* Releases the object. A null handle is allowed and does nothing. The
 * thread's watchdog timer and socket stay: they belong to the thread. */
VERIMEX_C_API void verimex_destroy(verimex_t *v);

/* Property getters. *value receives the text, owned by the handle and valid
 * until the next call on it. length may be null; when it is not, it
 * receives the length in bytes, which also counts any NUL byte a mail
 * server put into its reply (smtp, returnvar). */
VERIMEX_C_API verimex_status verimex_get_email(verimex_t *v, const char **value, size_t *length);
VERIMEX_C_API verimex_status verimex_get_nslookup(verimex_t *v, const char **value, size_t *length);
VERIMEX_C_API verimex_status verimex_get_smtp(verimex_t *v, const char **value, size_t *length);
VERIMEX_C_API verimex_status verimex_get_returnvar(verimex_t *v, const char **value, size_t *length);
VERIMEX_C_API verimex_status verimex_get_from(verimex_t *v, const char **value, size_t *length);
VERIMEX_C_API verimex_status verimex_get_timeout(verimex_t *v, int16_t *value);

/* Property setters: the text is copied. A null value is VERIMEX_ERR_NULL;
 * pass "" for an empty property. */
VERIMEX_C_API verimex_status verimex_set_email(verimex_t *v, const char *value);
VERIMEX_C_API verimex_status verimex_set_nslookup(verimex_t *v, const char *value);
VERIMEX_C_API verimex_status verimex_set_smtp(verimex_t *v, const char *value);
VERIMEX_C_API verimex_status verimex_set_returnvar(verimex_t *v, const char *value);
VERIMEX_C_API verimex_status verimex_set_from(verimex_t *v, const char *value);
/* Seconds; 0 asks for the default (120), above 600 counts as 600. A
 * negative value is stored, and the next check fails with
 * VERIMEX_ERR_PLATFORM when the timer refuses it. */
VERIMEX_C_API verimex_status verimex_set_timeout(verimex_t *v, int16_t value);

/* Runs one verification. VERIMEX_OK whatever the verdict: read returnvar,
 * "000" when a mail server confirmed the address. */
VERIMEX_C_API verimex_status verimex_check(verimex_t *v);

/* Asks the watchdog whether the time limit of the last check has run out.
 * *expired receives 1 if it has (returnvar then holds the timeout text),
 * else 0. Lets the thread's queued timer ticks and socket events run once. */
VERIMEX_C_API verimex_status verimex_checktime(verimex_t *v, int *expired);

/* The message of the error the last call on v failed with, "" when it
 * succeeded; owned by the handle, valid until the next call on it. With a
 * null v: the message of the last failure on this thread that had no handle
 * to keep it (a failed verimex_create, a call made with a null handle). */
VERIMEX_C_API const char *verimex_error(const verimex_t *v);
/* The operating system's error number behind that error, 0 when it had
 * none (a refused timeout has none). Same v rules as verimex_error(). */
VERIMEX_C_API int verimex_error_code(const verimex_t *v);

/* ---- The verification engine (Linux) -------------------------------------
 *
 * One call checks one address and hands back a report: the verdict, the
 * reason, the deciding reply and the whole dialog, as verimex/verify.h
 * describes them. Unlike the verifier object it may be called from any
 * number of threads at once; each call blocks its caller until the check
 * is over (bounded by total_timeout). */

/* A stop request for checks in flight: once verimex_cancellation_request()
 * was called, every check given it ends its waits at once and its report
 * says cancelled. Any thread may request; destroy it only once no check
 * uses it any more. */
typedef struct verimex_cancellation verimex_cancellation;
VERIMEX_C_API verimex_status verimex_cancellation_create(verimex_cancellation **out);
VERIMEX_C_API void verimex_cancellation_request(verimex_cancellation *c);
VERIMEX_C_API void verimex_cancellation_destroy(verimex_cancellation *c);

/* The options of one check. Fill one with verimex_verify_options_init()
 * and change what you need; a null options pointer means the defaults. A
 * null string is the same as "". */
typedef struct verimex_verify_options {
  const char *method;          /* "auto" (default, also ""), "rcpt" or "vrfy" */
  const char *helo;            /* the EHLO/HELO name */
  const char *mail_from;       /* the envelope sender; "" is the null sender <> */
  int timeout;                 /* seconds each wait may take: 0 is 120, above 600 is 600 */
  unsigned total_timeout;      /* seconds for the whole check; 0 is four times the limit */
  const char *tls;             /* "try" (default, also ""), "require" or "off" */
  const char *proxy;           /* "" or "socks5://[USER:PASSWORD@]HOST:PORT" */
  int catch_all;               /* non-zero (default): probe a random mailbox too */
  const char *dns_server;      /* "" is the system's resolver; "ADDR" or "ADDR:PORT" */
  int refuse_private_mx;       /* non-zero: no loopback, private or reserved MX addresses */
  const char *disposable_list; /* "" is the shipped list; else a file, one domain a line */
  const verimex_cancellation *cancel; /* null: none */
} verimex_verify_options;

/* The defaults: method auto, TLS try, catch-all probing on, everything
 * else empty or 0. */
VERIMEX_C_API void verimex_verify_options_init(verimex_verify_options *options);

/* What a check found; read it with the getters below, release it with
 * verimex_report_free(). Strings it hands out belong to it and live as long
 * as it does. */
typedef struct verimex_report verimex_report;

/* Checks address (UTF-8). On VERIMEX_OK *out holds the report, whatever the
 * verdict; otherwise *out is null (VERIMEX_ERR_NULL: a null address or out;
 * VERIMEX_ERR_INVALID: an option word names nothing; VERIMEX_ERR_NOMEM),
 * and verimex_error(NULL) says why. */
VERIMEX_C_API verimex_status verimex_verify(const char *address, const verimex_verify_options *options,
                                            verimex_report **out);
VERIMEX_C_API void verimex_report_free(verimex_report *report);

/* The report's members, named as in the JSON report. Texts are
 * NUL-terminated; length (may be null) receives the length in bytes, which
 * also counts a NUL byte a server put into a reply. Members that may be
 * null in JSON return a null pointer for null (method, mx, enhanced), or
 * -1 (code, catch_all). A null report reads as empty. */
VERIMEX_C_API const char *verimex_report_address(const verimex_report *r, size_t *length);
VERIMEX_C_API const char *verimex_report_returnvar(const verimex_report *r, size_t *length);
VERIMEX_C_API const char *verimex_report_transcript(const verimex_report *r, size_t *length);
VERIMEX_C_API const char *verimex_report_error(const verimex_report *r, size_t *length);
VERIMEX_C_API int verimex_report_verified(const verimex_report *r);
VERIMEX_C_API const char *verimex_report_method(const verimex_report *r);  /* "vrfy", "rcpt" or null */
VERIMEX_C_API const char *verimex_report_verdict(const verimex_report *r); /* "deliverable", ... */
VERIMEX_C_API const char *verimex_report_reason(const verimex_report *r);  /* "accepted", ... */
VERIMEX_C_API const char *verimex_report_mx(const verimex_report *r);
VERIMEX_C_API int verimex_report_code(const verimex_report *r);
VERIMEX_C_API const char *verimex_report_enhanced(const verimex_report *r);
VERIMEX_C_API int verimex_report_catch_all(const verimex_report *r); /* 1, 0, or -1 when not probed */
VERIMEX_C_API int verimex_report_tls(const verimex_report *r);
VERIMEX_C_API const char *verimex_report_tls_version(const verimex_report *r); /* "" when plain */
VERIMEX_C_API int verimex_report_role_account(const verimex_report *r);
VERIMEX_C_API int verimex_report_disposable(const verimex_report *r);
/* Not results: the check was stopped, or could not be made (the process
 * ran short of descriptors); check the address again. */
VERIMEX_C_API int verimex_report_cancelled(const verimex_report *r);
VERIMEX_C_API int verimex_report_unusable(const verimex_report *r);

/* ---- The preflight self-check (Linux) -----------------------------------
 *
 * Before a bulk run: can this machine open port 25 to the outside, does its
 * public address have forward-confirmed reverse DNS matching the HELO name,
 * is it on a DNS blocklist, does the mail-from domain publish SPF. As
 * verimex/preflight.h describes; one finding per check. */

typedef struct verimex_preflight_options {
  const char *helo;            /* the run's EHLO/HELO name; "" is this machine's name */
  const char *mail_from;       /* the run's envelope sender; "" is the null sender */
  const char *public_address;  /* "" guesses it (the port-25 connection's local end, the proxy's BND.ADDR) */
  const char *test_host;       /* "" is gmail-smtp-in.l.google.com */
  const char *proxy;           /* "" or "socks5://[USER:PASSWORD@]HOST:PORT" */
  const char *const *blocklists; /* null: zen.spamhaus.org, bl.spamcop.net, b.barracudacentral.org;
                                    else a null-terminated array of zones (empty: none) */
  int timeout;                 /* seconds each step may take: 0 is 10, above 600 is 600 */
  const char *dns_server;      /* "" is the system's resolver; "ADDR" or "ADDR:PORT" */
  const verimex_cancellation *cancel; /* null: none */
} verimex_preflight_options;

/* Every member null or 0: the defaults. */
VERIMEX_C_API void verimex_preflight_options_init(verimex_preflight_options *options);

typedef struct verimex_preflight_report verimex_preflight_report;

/* Runs the checks (options may be null: the defaults). On VERIMEX_OK *out
 * holds the report, whatever it found, an option that cannot be used
 * included (verimex_preflight_report_error); otherwise *out is null
 * (VERIMEX_ERR_NULL, VERIMEX_ERR_INVALID for a timeout out of range,
 * VERIMEX_ERR_NOMEM) and verimex_error(NULL) says why. */
VERIMEX_C_API verimex_status verimex_preflight(const verimex_preflight_options *options,
                                               verimex_preflight_report **out);
VERIMEX_C_API void verimex_preflight_report_free(verimex_preflight_report *report);

/* 1 when a finding is blocking (or an option could not be used): exit
 * non-zero. */
VERIMEX_C_API int verimex_preflight_report_blocked(const verimex_preflight_report *r);
VERIMEX_C_API int verimex_preflight_report_cancelled(const verimex_preflight_report *r);
VERIMEX_C_API const char *verimex_preflight_report_error(const verimex_preflight_report *r);   /* "" when none */
VERIMEX_C_API const char *verimex_preflight_report_address(const verimex_preflight_report *r); /* "" when unknown */
/* "given", "connection", "proxy", "route", or "" */
VERIMEX_C_API const char *verimex_preflight_report_address_source(const verimex_preflight_report *r);
VERIMEX_C_API int verimex_preflight_report_address_guess(const verimex_preflight_report *r);
/* The report for people, a line per finding (preflight_text). */
VERIMEX_C_API const char *verimex_preflight_report_text(const verimex_preflight_report *r);
VERIMEX_C_API size_t verimex_preflight_report_findings(const verimex_preflight_report *r);
/* The members of finding index; null when index is out of range. status
 * is "ok", "warning", "blocking" or "could_not_tell". */
VERIMEX_C_API const char *verimex_preflight_finding_check(const verimex_preflight_report *r, size_t index);
VERIMEX_C_API const char *verimex_preflight_finding_status(const verimex_preflight_report *r, size_t index);
VERIMEX_C_API const char *verimex_preflight_finding_subject(const verimex_preflight_report *r, size_t index);
VERIMEX_C_API const char *verimex_preflight_finding_text(const verimex_preflight_report *r, size_t index);
VERIMEX_C_API const char *verimex_preflight_finding_advice(const verimex_preflight_report *r, size_t index);

#ifdef __cplusplus
}
#endif

#endif /* VERIMEX_VERIMEX_H */
