// The job side of verimex-check: the store does the bookkeeping and the
// runner the work; this file connects them to the command line, the
// printer and the signals.
#include "job_run.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "verimex/hosting/check.h"
#include "verimex/hosting/address_list.h"
#include "verimex/hosting/runner.h"
#include "verimex/hosting/export.h"
#include "verimex/hosting/location.h"
#include "verimex/hosting/store.h"
#include "printer.h"
#include "report.h"
#include "verimex/hosting/resources.h"
#include "terminal.h"
#include "verimex/hosting/signals.h"

namespace verimex_check {

namespace {

// Hands the final results to the printer as they are written, and stops
// the runner at the first Ctrl-C or SIGTERM.
class JobSink final : public verimex::hosting::RunnerSink {
public:
    explicit JobSink(Printer& printer) : printer_(printer) {}

    // The run under way, stopped at an interrupt; null between runs.
    void serve(verimex::hosting::Runner* runner) { runner_ = runner; }

    void attempt(const verimex::hosting::Attempt& a) override
    {
        if (!a.final)
            return;
        printer_.result(report(a.result));
        ++printed_;
        printer_.waiting(printed_, printed_);
    }
    void waiting() override
    {
        // Output that cannot be written stops the run too; the addresses
        // under way go back to the job.
        if ((interrupt_signal() != 0 || output_error() != 0) && runner_ != nullptr)
            runner_->stop();
        printer_.waiting(printed_, printed_);
    }
    std::size_t printed() const { return printed_; }

private:
    Printer& printer_;
    verimex::hosting::Runner* runner_ = nullptr;
    std::size_t printed_ = 0;
};

std::string owner_name()
{
    char host[256 + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::snprintf(host, sizeof host, "localhost");
    return std::string(host) + ":" + std::to_string(::getpid());
}

// How long a worker keeps trying a store that fails without a break
// before it gives up, and the longest pause between two tries.
constexpr auto store_patience = std::chrono::minutes(5);
constexpr auto longest_pause = std::chrono::seconds(30);

// Sleeps for pause unless interrupted first; false when interrupted.
bool pause_unless_interrupted(std::chrono::seconds pause)
{
    const auto until = std::chrono::steady_clock::now() + pause;
    while (std::chrono::steady_clock::now() < until) {
        if (interrupt_signal() != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return interrupt_signal() == 0;
}

int store_failed(const std::string& location, const std::string& message)
{
    put(stderr, "verimex-check: store " + verimex::hosting::printable_location(location) + ": " + message + "\n");
    return platform_failed;
}

// The settings a job made by this run is stored with: the HELO name and
// time limit as this machine would use them, so every worker uses the same.
verimex::hosting::JobSettings job_settings(const Options& opts)
{
    const verimex::options check = check_settings(opts);
    verimex::hosting::JobSettings s;
    s.method = check.method;
    s.helo = check.helo;
    s.mail_from = check.mail_from;
    s.timeout = check.timeout;
    s.tls = check.tls;
    s.catch_all = check.catch_all;
    return s;
}

}  // namespace

int run_job(Options& opts)
{
    using namespace verimex::hosting;

    // Addresses first: a list on standard input is read before anything
    // else, as in a plain run. No operand at a terminal means: only work.
    std::vector<std::string> addresses;
    const bool reads_input = !opts.status && opts.export_format.empty() &&
                             (!opts.addresses.empty() ? opts.reads_standard_input() : !is_terminal(stdin));
    if (reads_input) {
        if (!read_addresses(opts.addresses, addresses))
            return platform_failed;
    } else if (!opts.status && opts.export_format.empty()) {
        addresses = std::move(opts.addresses);
    }

    std::unique_ptr<Store> store;
    try {
        store = open_store(opts.store);
    } catch (const StoreError& e) {
        put(stderr, "verimex-check: cannot open store " + printable_location(opts.store) + ": " + e.what() + "\n");
        return platform_failed;
    }

    try {
        if (opts.status || !opts.export_format.empty()) {
            // A misspelt name would otherwise print zeros, or an export with
            // its header alone, as if the job were there and empty.
            std::optional<JobStatus> status = store->status(opts.job);
            if (!status) {
                put(stderr, "no such job: " + opts.job + " in " + printable_location(opts.store) + "\n");
                return usage_error;
            }
            status->job = opts.job;
            if (opts.status)
                put(stdout, status_json(*status) + "\n");
            else {
                // A reader that has gone (or a full disk) ends the export
                // rather than the rest of a large job being read for nothing.
                struct OutputGone {};
                try {
                    export_job(*store, opts.job, *export_format(opts.export_format), 0, std::nullopt,
                               [](const std::string& piece) {
                                   put(stdout, piece);
                                   if (output_error() != 0)
                                       throw OutputGone{};
                               });
                } catch (const OutputGone&) {
                }
            }
            return output_lost() ? platform_failed : all_verified;
        }
        if (!addresses.empty()) {
            const AddResult added = store->add(opts.job, addresses, job_settings(opts));
            if (added.duplicates > 0) {
                put(stderr, "verimex-check: job " + opts.job + ": " + std::to_string(added.added) + " added, " +
                                std::to_string(added.duplicates) + " already in it\n");
            }
        }
    } catch (const StoreError& e) {
        return store_failed(opts.store, e.what());
    }

    // The job's own settings decide how its addresses are checked, whatever
    // this worker's options say; a job not made yet is made with ours.
    std::optional<JobSettings> settings;
    try {
        settings = store->settings(opts.job);
    } catch (const StoreError& e) {
        return store_failed(opts.store, e.what());
    }
    const JobSettings job = settings.value_or(job_settings(opts));

    RunnerSettings run;
    run.check_options = with_job_settings(check_settings(opts), job);
    run.job = opts.job;
    run.in_flight = opts.jobs;
    run.lease = std::chrono::seconds(opts.work.lease(run.check_options.timeout));
    run.politeness.per_key = opts.work.per_mx;
    run.politeness.interval = std::chrono::milliseconds(opts.work.mx_interval_ms);
    for (unsigned seconds : opts.work.retry_after)
        run.retry_after.push_back(std::chrono::seconds(seconds));
    run.retry_errors = opts.work.retry_errors;
    run.until = opts.no_wait ? Until::nothing_due : Until::job_done;
    run.on_worker_start = verimex::hosting::keep_stop_signals_away;
    run.owner = owner_name();
    run.per_session = session_size(run.check_options);
    run.check_many = verimex::hosting::check_many;

    if (opts.jobs > 1) {
        // As in a plain run: each check in flight holds a few descriptors
        // and a thread.
        std::string notice;
        run.in_flight = ready_for_checks(opts.jobs, opts.jobs, notice);
        if (!notice.empty())
            put(stderr, "verimex-check: " + notice + "\n");
    }

    PrinterSettings output;
    output.verbose = opts.verbose;
    output.json = opts.json;
    output.verdicts = job.method != verimex::method::vrfy;
    // The bar needs a total, and a shared job has none this process knows.
    output.progress = false;
    output.out_is_terminal = is_terminal(stdout);
    Printer printer(stdout, stderr, output);

    // A store that fails under the run (PostgreSQL restarting, a
    // connection cut) ends that run, not the worker: its leases run out by
    // themselves, the connection is opened again and the run goes on, after
    // pauses that double up to longest_pause. Only a store that fails for
    // store_patience without a result written in between ends it.
    JobSink sink(printer);
    RunSummary summary;
    catch_interrupts();
    std::optional<std::chrono::steady_clock::time_point> failing_since;
    std::size_t printed_at_failure = 0;
    std::chrono::seconds pause{1};
    for (;;) {
        Runner runner(*store, verimex::hosting::check, run);
        sink.serve(&runner);
        try {
            summary = runner.run(sink);
            sink.serve(nullptr);
            break;
        } catch (const StoreError& e) {
            sink.serve(nullptr);
            const auto now = std::chrono::steady_clock::now();
            if (!failing_since || sink.printed() != printed_at_failure) {
                failing_since = now;
                pause = std::chrono::seconds(1);
            }
            printed_at_failure = sink.printed();
            if (now - *failing_since >= store_patience) {
                printer.finish();
                store_failed(opts.store, e.what());
                return platform_failed;
            }
            put(stderr, "verimex-check: store " + printable_location(opts.store) + ": " + e.what() +
                            "; trying again in " + std::to_string(pause.count()) + " s\n");
            if (!pause_unless_interrupted(pause)) {
                summary.stopped = true;
                break;
            }
            pause = std::min<std::chrono::seconds>(pause * 2, longest_pause);
        } catch (const std::exception& e) {
            sink.serve(nullptr);
            printer.finish();
            put(stderr, std::string("verimex-check: ") + e.what() + "\n");
            return platform_failed;
        }
    }
    printer.finish();
    if (output_lost())
        return platform_failed;
    if (summary.stopped) {
        put(stderr, "verimex-check: interrupted; " + std::to_string(sink.printed()) +
                        " results printed and kept in job " + opts.job +
                        ", the addresses under way are left for a later run\n");
        return 128 + interrupt_signal();
    }
    return printer.status();
}

}  // namespace verimex_check
