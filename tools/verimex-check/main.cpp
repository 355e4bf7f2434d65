// verimex-check: a sample host of libverimex. Checks the addresses named on
// the command line or read from standard input, one or several at a time,
// and prints one line for each, in input order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "verimex/hosting/ordered_run.h"
#include "verimex/hosting/check.h"
#include "verimex/hosting/json.h"
#include "verimex/hosting/address_list.h"
#include "job_run.h"
#include "options.h"
#include "printer.h"
#include "verimex/hosting/resources.h"
#include "report.h"
#include "terminal.h"
#include "verimex/hosting/signals.h"

namespace {

int usage(const std::string& message)
{
    using namespace verimex_check;
    put(stderr, "verimex-check: " + message + "\n" + std::string(usage_hint()) + "\n");
    return usage_error;
}

// One line per finding and the verdict line; the exit status says whether
// a bulk run from here would be refused (1), or the options could not be
// used (2).
int run_preflight(const verimex_check::Options& opts)
{
    using namespace verimex_check;
    catch_interrupts();
    verimex::cancellation stop;
    const verimex::preflight_report found = [&] {
        verimex::preflight_options settings = preflight_settings(opts);
        settings.cancel = &stop;
        std::atomic<bool> done{false};
        // Ctrl-C ends the checks' waits; the watcher looks ten times a second.
        std::thread look([&] {
            while (!done.load()) {
                if (interrupt_signal() != 0)
                    stop.request();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        verimex::preflight_report report = verimex::preflight(settings);
        done = true;
        look.join();
        return report;
    }();
    if (!found.error.empty())
        return usage(found.error);
    if (opts.json)
        put(stdout, verimex::hosting::preflight_json(found) + "\n");
    else
        put(stdout, verimex::preflight_text(found));
    if (output_lost())
        return platform_failed;
    if (found.cancelled)
        return 128 + interrupt_signal();
    return found.blocked ? some_not_verified : all_verified;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace verimex_check;

    ignore_broken_pipe();
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = parse_args(args);
    if (const auto* bad = std::get_if<UsageError>(&parsed))
        return usage(bad->message);
    Options& opts = std::get<Options>(parsed);
    if (opts.help) {
        put(stdout, help_text());
        return output_lost() ? platform_failed : all_verified;
    }
    if (opts.preflight)
        return run_preflight(opts);
    if (!opts.store.empty())
        return run_job(opts);
    // Without an operand the list comes from standard input; nobody types a
    // list at a terminal by accident, so that is taken for a mistake ("-"
    // still reads the terminal when asked to).
    if (opts.addresses.empty() && is_terminal(stdin))
        return usage("no address given, and standard input is a terminal");

    std::vector<std::string> addresses;
    if (opts.reads_standard_input()) {
        if (!read_addresses(opts.addresses, addresses))
            return platform_failed;
    } else {
        addresses = std::move(opts.addresses);
    }


    PrinterSettings output;
    output.verbose = opts.verbose;
    output.json = opts.json;
    output.verdicts = shows_verdicts(opts);
    output.progress = opts.progress && is_terminal(stderr);
    output.out_is_terminal = is_terminal(stdout);
    Printer printer(stdout, stderr, output);

    BulkSettings bulk;
    bulk.jobs = opts.jobs;
    bulk.notice = [&printer](const std::string& text) { printer.notice(text); };
    if (opts.jobs > 1 && addresses.size() > 1) {
        // Each check in flight holds a few descriptors and a thread: take
        // all the descriptors the system allows, keep the threads small,
        // and run no more checks at once than the descriptors can serve.
        const unsigned asked = static_cast<unsigned>(std::min<std::size_t>(opts.jobs, addresses.size()));
        std::string notice;
        bulk.jobs = ready_for_checks(opts.jobs, asked, notice);
        if (!notice.empty())
            printer.notice(notice);
    }
    bulk.on_worker_start = verimex::hosting::keep_stop_signals_away;
    bulk.check_many = verimex::hosting::check_many;
    // Output that cannot be written ends the run as Ctrl-C would: checking
    // on for results nobody will see only costs the mail servers.
    bulk.interrupted = [] { return interrupt_signal() != 0 || output_error() != 0; };

    const std::size_t total = addresses.size();
    BulkOutcome outcome;
    try {
        // Caught only from here on: while standard input is read, Ctrl-C
        // simply ends the program.
        catch_interrupts();
        outcome = run_bulk(
            std::move(addresses),
            verimex::hosting::check, check_settings(opts), printer, bulk);
    } catch (const std::exception& e) {
        printer.finish();
        put(stderr, std::string("verimex-check: ") + e.what() + "\n");
        return platform_failed;
    }
    printer.finish();
    if (output_lost())
        return platform_failed;

    if (outcome.interrupted) {
        put(stderr, "verimex-check: interrupted; results for " + std::to_string(outcome.handed_out) + " of " +
                        std::to_string(total) + " addresses printed\n");
        return 128 + interrupt_signal();
    }
    return printer.status();
}
