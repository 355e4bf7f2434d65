// Checking a list of addresses on several threads at once, with the results
// handed back in input order as soon as every address before them is done.
//
// Each worker is a thread of its own, started once for the whole run, that
// takes the next address and checks it. The component serves one check at a
// time per thread (the thread's host window, its timer and its socket are
// shared by every verifier object on it), so a worker runs one check at a
// time, and workers never share objects. The thread that calls run_bulk
// hands out the results.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "verimex/hosting/check.h"

namespace verimex::hosting {

// Where a run's results go. Called only on the thread running run_bulk.
class BulkSink {
public:
    virtual ~BulkSink() = default;
    // The next result, in input order.
    virtual void result(report&& result) = 0;
    // Nothing more to hand out for now: called before each wait for the next
    // result and again at every tick of that wait. done counts the checks
    // finished so far, in any order; total is the number of addresses.
    virtual void waiting(std::size_t done, std::size_t total) = 0;
};

struct BulkSettings {
    unsigned jobs = 1;
    // How far the checks may run ahead of the output: a check starts only
    // when its address lies fewer than this many places after the first
    // result not yet handed out. It bounds the results held at once, so a
    // huge list behind one slow address needs no more memory than this.
    // 0: 4,096, or with check_many a full session for every thread if that
    // is more (at most 65,536). With check_many a list shorter than the
    // window is spread over sessions of fewer addresses (down to 4), so
    // that every thread has one.
    std::size_t window = 0;
    // How often a wait for the next result stops to call waiting() and to
    // ask interrupted().
    std::chrono::milliseconds tick{100};
    // Checks the addresses of one domain in shared SMTP sessions (up to
    // the options' session_size() a group, from those the window lets go
    // out together); without it every address is checked on its own,
    // none grouped.
    CheckManyFunction check_many;
    // Run first on every worker thread (the tool keeps signals away there).
    std::function<void()> on_worker_start;
    // Asked on the calling thread before each result is handed out and at
    // every tick; true ends the run.
    std::function<bool()> interrupted;
    // Told, on the calling thread, when the run goes on with fewer checks
    // at a time than asked: fewer worker threads could be started, or
    // checks ran out of file descriptors (their addresses are checked
    // again, so no result is lost).
    std::function<void(const std::string& text)> notice;
};

struct BulkOutcome {
    std::size_t handed_out = 0;  // results given to the sink, the first ones in input order
    bool interrupted = false;
};

// Checks every address on min(jobs, number of addresses) worker threads and
// hands every result to sink in input order. Returns once all are handed
// out, or as soon as interrupted() says so: then no further result is
// handed out, no further check starts, and the checks under way are
// cancelled; every thread has been joined when it returns. Throws
// std::system_error only when not a single worker thread could be started;
// with fewer than asked for, the run goes on.
BulkOutcome run_bulk(std::vector<std::string> addresses, CheckFunction check, const options& opts,
                     BulkSink& sink, const BulkSettings& settings);

}  // namespace verimex::hosting
