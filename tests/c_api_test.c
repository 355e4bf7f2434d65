/* The C interface as a C host sees it: compiled as C, linked against the
 * shared library, with a small runner of its own (GoogleTest needs C++).
 *
 *   c_api_test offline          properties, null arguments, errors; no network
 *   c_api_test peers REPLY      checks against the scripted mail servers of
 *                               tests/support/smtp_peer.py in the private
 *                               network; REPLY is the rejecting peer's answer
 *
 * Expected texts come from the table of literals, tests/golden/texts.tsv,
 * through golden_text() (tests/support/golden_texts.c). */
#include "verimex/verimex.h"

#include "support/golden_texts.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int verimex_test_c89_version(void);

static int passed;
static int failed;

#define CHECK(cond) check_((cond), #cond, __LINE__)

static void check_(int ok, const char *what, int line)
{
    if (ok) {
        ++passed;
    } else {
        ++failed;
        fprintf(stderr, "c_api_test.c:%d: failed: %s\n", line, what);
    }
}

/* A copy of text, so it outlives the next call on the handle. */
static char *copy(const char *text)
{
    char *s = malloc(strlen(text) + 1);
    if (s == NULL) {
        fputs("c_api_test: out of memory\n", stderr);
        exit(2);
    }
    return strcpy(s, text);
}

static char *expected(const char *name, const char *arg)
{
    char *text = golden_text(name, arg);
    if (text == NULL)
        exit(2);
    return text;
}

typedef verimex_status (*text_getter)(verimex_t *, const char **, size_t *);
typedef verimex_status (*text_setter)(verimex_t *, const char *);

static const struct text_property {
    const char *name;
    text_getter get;
    text_setter set;
} text_properties[] = {
    {"email", verimex_get_email, verimex_set_email},
    {"nslookup", verimex_get_nslookup, verimex_set_nslookup},
    {"smtp", verimex_get_smtp, verimex_set_smtp},
    {"returnvar", verimex_get_returnvar, verimex_set_returnvar},
    {"from", verimex_get_from, verimex_set_from},
};
enum { text_property_count = sizeof text_properties / sizeof text_properties[0] };

/* The property's text, or a marker no test expects when the get fails. */
static const char *text_of(verimex_t *v, text_getter get)
{
    const char *value = NULL;
    return get(v, &value, NULL) == VERIMEX_OK && value != NULL ? value : "<get failed>";
}

static verimex_t *create(void)
{
    verimex_t *v = NULL;
    if (verimex_create(&v) != VERIMEX_OK || v == NULL) {
        fprintf(stderr, "c_api_test: verimex_create failed: %s\n", verimex_error(NULL));
        exit(2);
    }
    return v;
}

static int contains(const char *haystack, const char *needle)
{
    return strstr(haystack, needle) != NULL;
}

/* ---- without a network ---- */

static void test_version(void)
{
    int number = -1;
    const char *text = verimex_version(&number);
    CHECK(strcmp(text, VERIMEX_VERSION_STR) == 0);
    CHECK(number == VERIMEX_VERSION_NUM);
    CHECK(verimex_version(NULL) == text);
    CHECK(verimex_test_c89_version());
}

static void test_new_object_is_empty(void)
{
    verimex_t *v = create();
    int i;
    int16_t timeout = -1;
    for (i = 0; i < text_property_count; ++i) {
        const char *value = NULL;
        size_t length = 99;
        CHECK(text_properties[i].get(v, &value, &length) == VERIMEX_OK);
        CHECK(value != NULL && value[0] == '\0');
        CHECK(length == 0);
    }
    CHECK(verimex_get_timeout(v, &timeout) == VERIMEX_OK);
    CHECK(timeout == 0);
    verimex_destroy(v);
}

static void test_text_properties_round_trip(void)
{
    verimex_t *v = create();
    int i, j;
    char values[text_property_count][64];
    for (i = 0; i < text_property_count; ++i) {
        /* UTF-8 beyond ASCII passes through untouched. */
        snprintf(values[i], sizeof values[i], "J\xc3\xbcrgen %s \xe4\xbe\x8b", text_properties[i].name);
        CHECK(text_properties[i].set(v, values[i]) == VERIMEX_OK);
    }
    /* Each property keeps its own value: no setter writes another field. */
    for (i = 0; i < text_property_count; ++i) {
        const char *value = NULL;
        size_t length = 0;
        CHECK(text_properties[i].get(v, &value, &length) == VERIMEX_OK);
        CHECK(value != NULL && strcmp(value, values[i]) == 0);
        CHECK(length == strlen(values[i]));
    }
    /* And the empty string is a value like any other. */
    for (i = 0; i < text_property_count; ++i) {
        CHECK(text_properties[i].set(v, "") == VERIMEX_OK);
        CHECK(strcmp(text_of(v, text_properties[i].get), "") == 0);
        for (j = i + 1; j < text_property_count; ++j)
            CHECK(strcmp(text_of(v, text_properties[j].get), values[j]) == 0);
    }
    verimex_destroy(v);
}

static void test_timeout_round_trip(void)
{
    static const int16_t values[] = {1, 45, 600, 1000, 32767, -1, -32768, 0};
    verimex_t *v = create();
    size_t i;
    for (i = 0; i < sizeof values / sizeof values[0]; ++i) {
        int16_t got = 12345;
        CHECK(verimex_set_timeout(v, values[i]) == VERIMEX_OK);
        CHECK(verimex_get_timeout(v, &got) == VERIMEX_OK);
        CHECK(got == values[i]);
    }
    verimex_destroy(v);
}

static void test_null_handle(void)
{
    const char *value = "untouched";
    int16_t timeout = 7;
    int expired = 7;
    int i;
    for (i = 0; i < text_property_count; ++i) {
        CHECK(text_properties[i].get(NULL, &value, NULL) == VERIMEX_ERR_NULL);
        CHECK(text_properties[i].set(NULL, "x") == VERIMEX_ERR_NULL);
    }
    CHECK(strcmp(value, "untouched") == 0);
    CHECK(verimex_get_timeout(NULL, &timeout) == VERIMEX_ERR_NULL);
    CHECK(timeout == 7);
    CHECK(verimex_set_timeout(NULL, 5) == VERIMEX_ERR_NULL);
    CHECK(verimex_check(NULL) == VERIMEX_ERR_NULL);
    CHECK(verimex_checktime(NULL, &expired) == VERIMEX_ERR_NULL);
    CHECK(expired == 7);
    /* The reason is kept for the thread, there being no handle to keep it. */
    CHECK(verimex_error(NULL)[0] != '\0');
    CHECK(verimex_error_code(NULL) == 0);
    CHECK(verimex_create(NULL) == VERIMEX_ERR_NULL);
    verimex_destroy(NULL);
}

static void test_null_arguments(void)
{
    verimex_t *v = create();
    int i;
    for (i = 0; i < text_property_count; ++i) {
        const char *value = NULL;
        CHECK(text_properties[i].set(v, "kept") == VERIMEX_OK);
        CHECK(verimex_error(v)[0] == '\0');
        CHECK(text_properties[i].set(v, NULL) == VERIMEX_ERR_NULL);
        CHECK(verimex_error(v)[0] != '\0');
        CHECK(strcmp(text_of(v, text_properties[i].get), "kept") == 0);
        /* The next call that succeeds clears the reason. */
        CHECK(verimex_error(v)[0] == '\0');
        CHECK(text_properties[i].get(v, NULL, NULL) == VERIMEX_ERR_NULL);
        CHECK(verimex_error(v)[0] != '\0');
        /* length is the one optional pointer. */
        CHECK(text_properties[i].get(v, &value, NULL) == VERIMEX_OK);
    }
    CHECK(verimex_get_timeout(v, NULL) == VERIMEX_ERR_NULL);
    CHECK(verimex_checktime(v, NULL) == VERIMEX_ERR_NULL);
    verimex_destroy(v);
}

static void test_status_texts(void)
{
    static const verimex_status all[] = {VERIMEX_OK, VERIMEX_ERR_NULL, VERIMEX_ERR_PLATFORM,
                                         VERIMEX_ERR_NOMEM, VERIMEX_ERR_INTERNAL};
    size_t i, j;
    for (i = 0; i < sizeof all / sizeof all[0]; ++i) {
        CHECK(verimex_strstatus(all[i])[0] != '\0');
        for (j = 0; j < i; ++j)
            CHECK(strcmp(verimex_strstatus(all[i]), verimex_strstatus(all[j])) != 0);
    }
    CHECK(verimex_strstatus((verimex_status)99) != NULL);
}

/* The timer refuses a negative period: the one platform error that needs no
 * network to provoke. */
static void test_platform_error_is_a_status(void)
{
    verimex_t *v = create();
    int16_t timeout = 0;
    int expired = -1;
    CHECK(verimex_set_returnvar(v, "before") == VERIMEX_OK);
    CHECK(verimex_set_timeout(v, -5) == VERIMEX_OK);
    CHECK(verimex_check(v) == VERIMEX_ERR_PLATFORM);
    CHECK(contains(verimex_error(v), "-5"));
    CHECK(verimex_error_code(v) == 0);
    CHECK(strcmp(text_of(v, verimex_get_returnvar), "before") == 0);
    CHECK(verimex_get_timeout(v, &timeout) == VERIMEX_OK);
    CHECK(timeout == -5);
    /* The object stays usable. */
    CHECK(verimex_error(v)[0] == '\0');
    CHECK(verimex_checktime(v, &expired) == VERIMEX_OK);
    CHECK(expired == 0);
    verimex_destroy(v);
}

/* ---- against the scripted mail servers ---- */

struct outcome {
    verimex_status status;
    char *returnvar;
    char *smtp;
    char *nslookup;
    int16_t timeout;
};

static struct outcome run_check(const char *email, int16_t timeout)
{
    struct outcome out;
    verimex_t *v = create();
    verimex_set_email(v, email);
    verimex_set_from(v, "c-host.test");
    verimex_set_timeout(v, timeout);
    out.status = verimex_check(v);
    if (out.status != VERIMEX_OK)
        fprintf(stderr, "c_api_test: check of %s: %s\n", email, verimex_error(v));
    out.returnvar = copy(text_of(v, verimex_get_returnvar));
    out.smtp = copy(text_of(v, verimex_get_smtp));
    out.nslookup = copy(text_of(v, verimex_get_nslookup));
    out.timeout = -1;
    verimex_get_timeout(v, &out.timeout);
    verimex_destroy(v);
    return out;
}

static void release(struct outcome *out)
{
    free(out->returnvar);
    free(out->smtp);
    free(out->nslookup);
}

static void test_verified(void)
{
    struct outcome out = run_check("someone@yes.peers.test", 5);
    char *verified = expected("verified", NULL);
    char *telnet = expected("telnet_line", "mx.yes.peers.test");
    char *helo = expected("helo_line", "c-host.test");
    char *vrfy = expected("vrfy_line", "someone@yes.peers.test");
    char *quit = expected("quit_line", NULL);
    CHECK(out.status == VERIMEX_OK);
    CHECK(strcmp(out.returnvar, verified) == 0);
    CHECK(contains(out.nslookup, "mx.yes.peers.test"));
    CHECK(contains(out.smtp, telnet));
    CHECK(contains(out.smtp, helo));
    CHECK(contains(out.smtp, vrfy));
    CHECK(contains(out.smtp, quit));
    /* The banner of the scripted server. */
    CHECK(contains(out.smtp, " ESMTP scripted\r\n"));
    CHECK(out.timeout == 5);
    free(verified); free(telnet); free(helo); free(vrfy); free(quit);
    release(&out);
}

static void test_rejected(const char *reply)
{
    struct outcome out = run_check("nobody@no.peers.test", 5);
    char *want = malloc(strlen(reply) + 3);
    if (want == NULL)
        exit(2);
    strcat(strcpy(want, reply), "\r\n");
    CHECK(out.status == VERIMEX_OK);
    /* The server's own reply, line end and all. */
    CHECK(strcmp(out.returnvar, want) == 0);
    CHECK(contains(out.smtp, want));
    free(want);
    release(&out);
}

static void test_unreachable(void)
{
    struct outcome out = run_check("someone@down.peers.test", 5);
    char *could_not = expected("could_not_connect", NULL);
    char *line = expected("connect_error_line", "mx.down.peers.test");
    CHECK(out.status == VERIMEX_OK);
    CHECK(strcmp(out.returnvar, could_not) == 0);
    CHECK(contains(out.smtp, line));
    free(could_not); free(line);
    release(&out);
}

static void test_mute_server_times_out(void)
{
    verimex_t *v = create();
    char *timed_out = expected("timed_out", "1");
    int expired = 0;
    verimex_set_email(v, "someone@mute.peers.test");
    verimex_set_timeout(v, 1);
    CHECK(verimex_check(v) == VERIMEX_OK);
    CHECK(strcmp(text_of(v, verimex_get_returnvar), timed_out) == 0);
    /* The host may ask the watchdog itself afterwards. */
    CHECK(verimex_checktime(v, &expired) == VERIMEX_OK);
    CHECK(expired == 1);
    free(timed_out);
    verimex_destroy(v);
}

/* ---- the verification engine ------------------------------------------- */

static void test_verify_offline(void)
{
    verimex_verify_options o;
    verimex_report *r = (verimex_report *)&o; /* must be reset on failure */
    char *invalid = expected("invalid_email", NULL);
    size_t length = 0;

    verimex_verify_options_init(&o);
    CHECK(strcmp(o.method, "auto") == 0 && strcmp(o.tls, "try") == 0 && o.catch_all == 1);
    CHECK(o.timeout == 0 && o.total_timeout == 0 && o.helo == NULL && o.cancel == NULL);

    CHECK(verimex_verify(NULL, &o, &r) == VERIMEX_ERR_NULL && r == NULL);
    CHECK(verimex_verify("a@b.test", &o, NULL) == VERIMEX_ERR_NULL);
    o.method = "smtp";
    r = (verimex_report *)&o;
    CHECK(verimex_verify("a@b.test", &o, &r) == VERIMEX_ERR_INVALID && r == NULL);
    CHECK(contains(verimex_error(NULL), "smtp"));
    o.method = "rcpt";
    o.tls = "always";
    CHECK(verimex_verify("a@b.test", &o, &r) == VERIMEX_ERR_INVALID);
    o.tls = NULL; /* null is the default */

    /* Malformed: decided without a lookup or a connection. */
    CHECK(verimex_verify("postmaster@exa mple.test", &o, &r) == VERIMEX_OK && r != NULL);
    CHECK(strcmp(verimex_error(NULL), "") == 0);
    CHECK(strcmp(verimex_report_verdict(r), "undeliverable") == 0);
    CHECK(strcmp(verimex_report_reason(r), "invalid_syntax") == 0);
    CHECK(strcmp(verimex_report_returnvar(r, &length), invalid) == 0 && length == strlen(invalid));
    CHECK(strcmp(verimex_report_address(r, NULL), "postmaster@exa mple.test") == 0);
    CHECK(strcmp(verimex_report_transcript(r, &length), "") == 0 && length == 0);
    CHECK(verimex_report_method(r) == NULL && verimex_report_mx(r) == NULL && verimex_report_enhanced(r) == NULL);
    CHECK(verimex_report_code(r) == -1 && verimex_report_catch_all(r) == -1);
    CHECK(verimex_report_verified(r) == 0 && verimex_report_tls(r) == 0 && verimex_report_cancelled(r) == 0);
    verimex_report_free(r);

    /* The facts of a well-formed address, with a null options pointer. */
    CHECK(verimex_verify("info@mailinator.com", NULL, &r) == VERIMEX_OK);
    CHECK(verimex_report_role_account(r) == 1 && verimex_report_disposable(r) == 1);
    verimex_report_free(r);
    verimex_report_free(NULL);
    CHECK(strcmp(verimex_report_verdict(NULL), "") == 0 && verimex_report_code(NULL) == -1);
    free(invalid);
}

static void test_verify_vrfy_against_peers(void)
{
    verimex_verify_options o;
    verimex_report *r = NULL;
    struct outcome component = run_check("someone@yes.peers.test", 5);
    verimex_verify_options_init(&o);
    o.method = "vrfy";
    o.helo = "c-host.test";
    o.timeout = 5;
    CHECK(verimex_verify("someone@yes.peers.test", &o, &r) == VERIMEX_OK);
    CHECK(strcmp(verimex_report_returnvar(r, NULL), component.returnvar) == 0);
    CHECK(strcmp(verimex_report_transcript(r, NULL), component.smtp) == 0);
    CHECK(strcmp(verimex_report_verdict(r), "deliverable") == 0);
    CHECK(strcmp(verimex_report_method(r), "vrfy") == 0);
    CHECK(verimex_report_code(r) == 250 && verimex_report_verified(r) == 1);
    CHECK(strcmp(verimex_report_mx(r), "mx.yes.peers.test") == 0);
    verimex_report_free(r);
    release(&component);
}

static void test_verify_cancelled(void)
{
    verimex_verify_options o;
    verimex_report *r = NULL;
    verimex_cancellation *stop = NULL;
    CHECK(verimex_cancellation_create(&stop) == VERIMEX_OK && stop != NULL);
    verimex_cancellation_request(stop);
    verimex_verify_options_init(&o);
    o.cancel = stop;
    CHECK(verimex_verify("someone@mute.peers.test", &o, &r) == VERIMEX_OK);
    CHECK(verimex_report_cancelled(r) == 1);
    CHECK(strcmp(verimex_report_verdict(r), "unknown") == 0);
    verimex_report_free(r);
    verimex_cancellation_destroy(stop);
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "offline") == 0) {
        test_version();
        test_new_object_is_empty();
        test_text_properties_round_trip();
        test_timeout_round_trip();
        test_null_handle();
        test_null_arguments();
        test_status_texts();
        test_platform_error_is_a_status();
        test_verify_offline();
    } else if (argc == 3 && strcmp(argv[1], "peers") == 0) {
        test_verified();
        test_rejected(argv[2]);
        test_unreachable();
        test_mute_server_times_out();
        test_verify_vrfy_against_peers();
        test_verify_cancelled();
    } else {
        fputs("usage: c_api_test offline | peers REPLY\n", stderr);
        return 2;
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
