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
//   - an export reads one consistent snapshot.
//
// Every Store method may throw StoreError (the store cannot be reached,
// a statement failed). One Store object is one connection; its methods
// may be called from several threads, one call at a time (they take a
// lock), so a long export holds up the other callers of the same object:
// open a second Store for that.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace verimex_jobs {

// Milliseconds since the Unix epoch, by the store's clock (PostgreSQL's
// own clock for a fleet, so the workers' clocks need not agree).
using Millis = std::int64_t;

// The store cannot be opened, created, reached or used. The message says
// what and why, without the password of a URI.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The version of the tables this code writes. A store with a higher one
// was made by a newer program and is refused.
inline constexpr int schema_version = 1;

// What a final result says, as --status counts them.
enum class Outcome : int {
    verified = 0,           // "000"
    rejected = 1,           // any other server reply to VRFY
    could_not_connect = 2,  // no mail exchanger took the connection
    no_mail_server = 3,     // the domain lists none
    timed_out = 4,          // the time limit ran out
    other_error = 5,        // lookup failures, refused input, platform errors
};

// One attempt at one address, as the check function reports it.
struct CheckRecord {
    std::string address;
    std::string returnvar;   // the component's result
    std::string transcript;  // smtp after the check (CR LF line ends)
    std::string error;       // a platform failure's message; empty if none
    // The check could not be made at all (the process ran out of file
    // descriptors, say): its outcome says nothing about the address. A
    // runner gives such an address back, due at once, and counts no
    // attempt.
    bool unusable = false;

    bool verified() const { return error.empty() && returnvar == "000"; }
};

Outcome outcome_of(const CheckRecord& record);

// True for a reply of class 4 ("4xx", try again later) to VRFY.
bool is_temporary_reply(const CheckRecord& record);

// The first mail exchanger the check tried, lower-cased: the mail-server key
// of the address's domain from then on. Empty when it tried none.
std::string first_mail_exchanger(std::string_view transcript);

// The domain of an address (after its first '@'), lower-cased; empty
// without one.
std::string domain_of(std::string_view address);

// Job names: 1 to 200 bytes, no control characters. Anything else is
// refused with StoreError by the methods that take a name.
bool valid_job_name(std::string_view name);

struct AddResult {
    std::uint64_t added = 0;
    std::uint64_t duplicates = 0;  // already in the job, or repeated in the list
};

struct JobStatus {
    std::string job;
    std::uint64_t total = 0;
    std::uint64_t done = 0;      // with a final result
    std::uint64_t due = 0;       // may be taken now (new, retry due, or lease run out)
    std::uint64_t running = 0;   // under a live lease
    std::uint64_t deferred = 0;  // waiting for its retry time
    // The final results, by outcome.
    std::uint64_t verified = 0;
    std::uint64_t rejected = 0;
    std::uint64_t could_not_connect = 0;
    std::uint64_t no_mail_server = 0;
    std::uint64_t timed_out = 0;
    std::uint64_t other_errors = 0;
};

// The --status object on one line, without a line end:
// {"job":..,"total":..,"done":..,"due":..,"running":..,"deferred":..,
//  "results":{"verified":..,"rejected":..,"could_not_connect":..,
//  "no_mail_server":..,"timed_out":..,"other_errors":..}}
std::string status_json(const JobStatus& status);

// An address as the export shows it.
struct Entry {
    std::string address;
    std::string state;  // "done", "due", "running" or "deferred"
    // The last attempt's result (the final one when done); none before
    // the first attempt.
    std::optional<std::string> returnvar;
    std::optional<std::string> transcript;
    std::optional<std::string> error;  // set only when the platform failed
    std::uint32_t attempts = 0;
    std::optional<Millis> checked_at;  // the time of the last attempt
};

enum class ExportFormat { jsonl, csv };
std::optional<ExportFormat> export_format(std::string_view name);  // "jsonl" or "csv"

// The CSV header row (with its CRLF); empty for jsonl.
std::string export_header(ExportFormat format);
// One entry: a JSON object and "\n" with the members of verimex-check's
// --json (address, returnvar, verified, transcript, error) and state,
// attempts, checked_at (RFC 3339, UTC, milliseconds; null before the first
// attempt); or one CSV record of the same columns ending in CRLF, quoted
// as RFC 4180 says. Bytes that are not UTF-8 become U+FFFD in both.
std::string export_line(const Entry& entry, ExportFormat format);

// The limits per mail-server key.
struct Politeness {
    unsigned per_key = 2;                      // leases live at once
    std::chrono::milliseconds interval{1000};  // between two starts
};

// An address taken for checking.
struct Lease {
    std::int64_t id = 0;   // the address's row
    std::string job;
    std::string address;
    std::string key;       // the mail-server key it counts against
    std::string token;     // proves the lease is still this worker's
    std::uint32_t attempts = 0;  // made before this one
};

struct TakeRequest {
    std::string job;          // empty: any job of the store
    std::size_t count = 1;    // at most this many
    std::chrono::milliseconds lease{std::chrono::minutes(5)};
    Politeness politeness;
    std::string owner;        // recorded with the lease, for people reading the tables
};

struct JobWork {
    std::uint64_t unfinished = 0;     // addresses of the job (or store) without a final result
    std::optional<Millis> next_due;   // the earliest time one of them is or gets due
};

class Store {
public:
    virtual ~Store() = default;
    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // "sqlite" or "postgresql".
    virtual std::string_view kind() const = 0;

    // Adds the addresses to the job (creating it), in order, each once.
    virtual AddResult add(std::string_view job, std::span<const std::string> addresses) = 0;
    // Nothing when there is no such job.
    virtual std::optional<JobStatus> status(std::string_view job) = 0;
    // The names of the jobs, in the order they were made.
    virtual std::vector<std::string> jobs() = 0;
    // Removes the job and its addresses; false when there was none. Checks
    // of it still under way find their lease gone and their result is
    // dropped.
    virtual bool remove(std::string_view job) = 0;
    // Calls each for the job's addresses in the order they were added,
    // skipping `offset` of them and stopping after `limit`, all from one
    // snapshot of the store. False when there is no such job. An exception
    // from each ends the export and is passed on.
    virtual bool export_entries(std::string_view job, std::uint64_t offset, std::optional<std::uint64_t> limit,
                                const std::function<void(const Entry&)>& each) = 0;

    // Worker side.
    // Leases up to request.count due addresses, oldest due first, skipping
    // those whose key is at its limits.
    virtual std::vector<Lease> take(const TakeRequest& request) = 0;
    // Writes an attempt's result in one transaction: final (retry_at empty)
    // or deferred until retry_at. It also learns the domain's mail-server
    // key from the transcript. False, and nothing written, when the lease
    // is no longer the worker's (it ran out and another worker took the
    // address, or the job was removed).
    virtual bool record(const Lease& lease, const CheckRecord& record, std::optional<Millis> retry_at) = 0;
    // Extends the live leases among these to now + lease.
    virtual void renew(std::span<const Lease> leases, std::chrono::milliseconds lease) = 0;
    // Gives the addresses back, due now, as if never taken.
    virtual void release(std::span<const Lease> leases) = 0;
    // What is left of the job (empty name: of every job).
    virtual JobWork work(std::string_view job) = 0;
    // The store's clock.
    virtual Millis now() = 0;
};

// Opens the store at location, creating it (file and tables) when missing:
// a postgresql:// or postgres:// URI, or else a file path. Throws
// StoreError when it cannot be opened, created or reached, is not a store,
// or has a newer schema.
std::unique_ptr<Store> open_store(const std::string& location);

// An export as a reader gets it: export_header, then export_line for each
// address from offset on (at most limit of them), handed to write in
// pieces of about 64 KiB, so that no job of any size is held whole.
// Returns false, having written only the header, when there is no such
// job.
bool export_job(Store& store, std::string_view job, ExportFormat format, std::uint64_t offset,
                std::optional<std::uint64_t> limit, const std::function<void(const std::string&)>& write);

// Whether location names a PostgreSQL store.
bool is_postgresql_uri(std::string_view location);

// location for messages and logs: a URI's password replaced by "***".
std::string printable_location(std::string_view location);

}  // namespace verimex_jobs
