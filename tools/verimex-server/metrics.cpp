// The Prometheus text exposition of the server's counters.
#include "metrics.h"

#include "api.h"

#include <cstdio>

namespace verimex_server {

namespace {

constexpr const char* source_name(std::size_t source) { return source == 0 ? "single" : "job"; }

std::string seconds_text(double seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    return buf;
}

void header(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const std::string& name, std::uint64_t value)
{
    out += name;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

}  // namespace

std::string_view outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::verified: return "verified";
    case Outcome::rejected: return "rejected";
    case Outcome::could_not_connect: return "could_not_connect";
    case Outcome::no_mail_server: return "no_mail_server";
    case Outcome::timed_out: return "timed_out";
    case Outcome::other_error: return "other_errors";
    }
    return "other_errors";
}

void Metrics::check_done(Source source, const verimex::report& result, std::chrono::nanoseconds took)
{
    const auto s = static_cast<std::size_t>(source);
    const Outcome outcome = verimex::hosting::outcome_of(result);
    checks_[s][static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
    const auto v = static_cast<std::size_t>(result.verdict);
    const auto r = static_cast<std::size_t>(result.reason);
    if (v < all_verdicts.size() && r < reason_count)
        verdicts_[s][v][r].fetch_add(1, std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(took).count();
    // Cumulative buckets are summed when written; each check counts once,
    // in the first bucket it fits.
    for (std::size_t i = 0; i < latency_buckets.size(); ++i) {
        if (seconds <= latency_buckets[i]) {
            buckets_[s][i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    count_[s].fetch_add(1, std::memory_order_relaxed);
    sum_us_[s].fetch_add(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()),
                         std::memory_order_relaxed);
}

void Metrics::request_done(int status)
{
    std::lock_guard lock(mutex_);
    ++requests_[status];
}

std::string Metrics::text(const Gauges& gauges) const
{
    std::string out;
    header(out, "verimex_checks_total", "counter", "Checks finished, by source (single or job) and outcome.");
    for (std::size_t s = 0; s < sources; ++s) {
        for (const Outcome o : all_outcomes) {
            sample(out,
                   std::string("verimex_checks_total{source=\"") + source_name(s) + "\",result=\"" +
                       std::string(outcome_name(o)) + "\"}",
                   checks_[s][static_cast<std::size_t>(o)].load(std::memory_order_relaxed));
        }
    }
    // Every verdict always has its series, so that a share of them can be
    // reckoned from the first scrape; a reason only once it has been seen
    // (most pairs of verdict and reason never occur).
    header(out, "verimex_check_verdicts_total", "counter", "Checks finished, by source and verdict.");
    for (std::size_t s = 0; s < sources; ++s) {
        for (std::size_t v = 0; v < all_verdicts.size(); ++v) {
            std::uint64_t n = 0;
            for (std::size_t r = 0; r < reason_count; ++r)
                n += verdicts_[s][v][r].load(std::memory_order_relaxed);
            sample(out,
                   std::string("verimex_check_verdicts_total{source=\"") + source_name(s) + "\",verdict=\"" +
                       std::string(verimex::name(all_verdicts[v])) + "\"}",
                   n);
        }
    }
    header(out, "verimex_check_reasons_total", "counter", "Checks finished, by source, verdict and reason.");
    for (std::size_t s = 0; s < sources; ++s) {
        for (std::size_t v = 0; v < all_verdicts.size(); ++v) {
            for (std::size_t r = 0; r < reason_count; ++r) {
                const std::uint64_t n = verdicts_[s][v][r].load(std::memory_order_relaxed);
                if (n == 0)
                    continue;
                sample(out,
                       std::string("verimex_check_reasons_total{source=\"") + source_name(s) + "\",verdict=\"" +
                           std::string(verimex::name(all_verdicts[v])) + "\",reason=\"" +
                           std::string(verimex::name(static_cast<verimex::reason>(r))) + "\"}",
                       n);
            }
        }
    }
    header(out, "verimex_checks_in_flight", "gauge", "Checks running now, by source.");
    sample(out, "verimex_checks_in_flight{source=\"single\"}", gauges.checks_running);
    sample(out, "verimex_checks_in_flight{source=\"job\"}", gauges.job_checks_running);
    header(out, "verimex_checks_queued", "gauge", "Single checks waiting for a check thread.");
    sample(out, "verimex_checks_queued", gauges.checks_queued);
    header(out, "verimex_check_threads", "gauge", "Threads that run single checks.");
    sample(out, "verimex_check_threads", gauges.check_threads);
    header(out, "verimex_check_queue_limit", "gauge", "Single checks that may wait for a thread before 503.");
    sample(out, "verimex_check_queue_limit", gauges.queue_limit);
    header(out, "verimex_checks_refused_total", "counter", "Single checks refused with 503 (queue full or stopping).");
    sample(out, "verimex_checks_refused_total", refused_.load(std::memory_order_relaxed));

    header(out, "verimex_list_posts_in_progress", "gauge", "Connections sending a list to POST /v1/jobs now.");
    sample(out, "verimex_list_posts_in_progress", gauges.posting);

    header(out, "verimex_check_duration_seconds", "histogram", "Time from a check's start to its result.");
    for (std::size_t s = 0; s < sources; ++s) {
        const std::string labels = std::string("source=\"") + source_name(s) + "\"";
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < latency_buckets.size(); ++i) {
            cumulative += buckets_[s][i].load(std::memory_order_relaxed);
            sample(out, "verimex_check_duration_seconds_bucket{" + labels + ",le=\"" + seconds_text(latency_buckets[i]) + "\"}",
                   cumulative);
        }
        const std::uint64_t count = count_[s].load(std::memory_order_relaxed);
        sample(out, "verimex_check_duration_seconds_bucket{" + labels + ",le=\"+Inf\"}", count);
        const std::uint64_t us = sum_us_[s].load(std::memory_order_relaxed);
        char sum[48];
        std::snprintf(sum, sizeof sum, "%llu.%06llu", static_cast<unsigned long long>(us / 1000000),
                      static_cast<unsigned long long>(us % 1000000));
        out += "verimex_check_duration_seconds_sum{" + labels + "} " + sum + "\n";
        sample(out, "verimex_check_duration_seconds_count{" + labels + "}", count);
    }

    if (gauges.have_jobs) {
        header(out, "verimex_jobs", "gauge", "Jobs in the store.");
        sample(out, "verimex_jobs", gauges.jobs);
        header(out, "verimex_job_addresses", "gauge", "Addresses of every job in the store, by state.");
        for (const auto& [state, n] : gauges.job_addresses)
            sample(out, "verimex_job_addresses{state=\"" + state + "\"}", n);
    }

    header(out, "verimex_http_requests_total", "counter", "HTTP requests answered, by status code.");
    std::lock_guard lock(mutex_);
    for (const auto& [status, n] : requests_)
        sample(out, "verimex_http_requests_total{code=\"" + std::to_string(status) + "\"}", n);
    return out;
}

// /metrics: the counters above and the figures of this moment.
void Api::metrics(const Request&, Response& res)
{
    Metrics::Gauges g;
    g.checks_running = checks_.running();
    g.checks_queued = checks_.queued();
    g.check_threads = checks_.threads();
    g.queue_limit = checks_.queue_limit();
    g.job_checks_running = job_checks_running.load();
    g.posting = static_cast<std::size_t>(std::max(posting_.load(), 0));
    try {
        const verimex::hosting::StoreTotals totals = stores_.lease()->totals();
        g.jobs = totals.jobs;
        g.job_addresses["done"] = totals.done;
        g.job_addresses["due"] = totals.due;
        g.job_addresses["running"] = totals.running;
        g.job_addresses["deferred"] = totals.deferred;
        g.have_jobs = true;
    } catch (const verimex::hosting::StoreError&) {
        // The figures of the server itself are still worth having.
    }
    res.set_content(metrics_.text(g), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace verimex_server
