// Jobs: named, persistent lists of addresses with one final result per
// address, kept in a store that many worker processes may share.
//
// A store is either an SQLite file (one machine; several processes may
// share it) or a PostgreSQL database (a fleet of machines). Both keep the
// same tables and give the same guarantees:
//   - an address is added to a job once; a repeat is counted and ignored;
//   - a worker takes due addresses under a lease, and writes each result
//     and marks the address done in one transaction, only while the lease
//     is still its own: no address ever gets two final results;
//   - an address whose lease ran out (its worker died) is due again;
//   - at most `per_key` leases are live at once per mail-server key, and
//     two leases of one key start at least `interval` apart, across every
//     worker of the store;
//   - an export gives every address once, in order, a page at a time,
//     each page from a short transaction of its own (each address as one
//     commit left it), so no reader pins the store.
//
// Every Store method may throw StoreError (the store cannot be reached,
// a statement failed). One Store object is one connection; its methods
// may be called from several threads, one call at a time (they take a
// lock); an export lets the lock go between its pages. A connection that
// broke is opened again at the start of the next call, so a store outlives
// a database restart: the calls made while it is down throw.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "verimex/hosting/clock.h"
#include "verimex/hosting/records.h"
#include "verimex/verify.h"

namespace verimex::hosting {

// Where an export stands between its pages. The caller sets offset and
// limit; the rest is the store's, kept from one page to the next. It names
// rows of the database, not of a connection: the next page may be read
// through another Store object of the same database (another connection
// of a pool).
struct ExportCursor {
    std::uint64_t offset = 0;            // addresses skipped before the first
    std::optional<std::uint64_t> limit;  // addresses given at most; nothing: all
    std::optional<std::int64_t> job_id;  // from the first page on
    std::int64_t after = INT64_MIN;      // the last row given
    Millis at = 0;                       // the time the states are told at
    std::uint64_t given = 0;             // addresses given so far
    bool done = false;                   // the last page has been read
};

class Store {
public:
    virtual ~Store() = default;
    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // "sqlite" or "postgresql".
    virtual std::string_view kind() const = 0;

    // Asks the database something trivial: throws StoreError when it
    // cannot answer (a server that is down, a file gone). A connection
    // that broke is opened again first, so this also tells when the store
    // is back.
    virtual void ping() = 0;

    // Adds the addresses to the job, in order, each once. A job made by
    // this call keeps settings for good; a job that exists keeps its own.
    virtual AddResult add(std::string_view job, std::span<const std::string> addresses,
                          const JobSettings& settings) = 0;
    // The same with the default settings (method auto, each worker's own
    // HELO name and time limit).
    AddResult add(std::string_view job, std::span<const std::string> addresses)
    {
        return add(job, addresses, JobSettings{});
    }
    // The settings stored with the job; nothing when there is no such job.
    // A job made before settings were stored has settings_of_older_jobs().
    virtual std::optional<JobSettings> settings(std::string_view job) = 0;
    // Nothing when there is no such job.
    virtual std::optional<JobStatus> status(std::string_view job) = 0;
    // The names of the jobs, in the order they were made.
    // At most limit of them, after the first offset.
    virtual std::vector<std::string> jobs(std::uint64_t offset, std::uint64_t limit) = 0;
    // Removes the job and its addresses; false when there was none. Checks
    // of it still under way find their lease gone and their result is
    // dropped.
    virtual bool remove(std::string_view job) = 0;
    // Reads the next page of an export into page (emptied first), in a
    // short transaction of its own, each address as one commit left it;
    // sets cursor.done after the last one. False when there is no such job
    // (found on the first page; a job removed later ends the export).
    virtual bool export_page(std::string_view job, ExportCursor& cursor, std::vector<Entry>& page) = 0;
    // Calls each for the job's addresses in the order they were added,
    // skipping `offset` of them and stopping after `limit`, a page at a
    // time (export_page); each is called with no lock or transaction of the
    // store held. False when there is no such job. An exception
    // from each ends the export and is passed on.
    bool export_entries(std::string_view job, std::uint64_t offset, std::optional<std::uint64_t> limit,
                        const std::function<void(const Entry&)>& each);

    // Worker side.
    // Leases up to request.count sessions' worth of due addresses, oldest
    // due first, skipping those whose key is at its limits. A session is
    // up to request.per_session due addresses of one job and one domain
    // under one lease token (handed out next to each other), to be checked
    // together; the politeness limits count sessions. A job whose method is
    // vrfy has one address per session.
    virtual std::vector<Lease> take(const TakeRequest& request) = 0;
    // Writes an attempt's result in one transaction: final (retry_at empty)
    // or deferred until retry_at. It also learns the domain's mail-server
    // key: the report's mx, the first mail exchanger the check reached.
    // False, and nothing written, when the lease
    // is no longer the worker's (it ran out and another worker took the
    // address, or the job was removed).
    virtual bool record(const Lease& lease, const report& result, std::optional<Millis> retry_at) = 0;
    // Extends the live leases among these to now + lease.
    virtual void renew(std::span<const Lease> leases, std::chrono::milliseconds lease) = 0;
    // Gives the addresses back, due now, as if never taken.
    virtual void release(std::span<const Lease> leases) = 0;
    // What is left of the job (empty name: of every job).
    virtual JobWork work(std::string_view job) = 0;
    // Every job's counts added up, in one statement.
    virtual StoreTotals totals() = 0;
    // The store's clock: what leases, retries and politeness intervals are
    // reckoned by.
    virtual Millis now() = 0;
};

}  // namespace verimex::hosting
