// The embedded store: one SQLite file in WAL mode, shared by the processes
// of one machine. Every change is one IMMEDIATE transaction, so writers
// queue on the file's lock (waiting up to busy_wait) and the politeness
// counts read inside a take cannot change under it.
#include <sqlite3.h>

#include <chrono>
#include <mutex>

#include "store/sqlite_store.h"
#include "store/store_common.h"

namespace verimex::hosting {

namespace {

// How long a call waits for another process's transaction to end.
constexpr int busy_wait_ms = 60'000;

constexpr const char* schema_sql = R"(
CREATE TABLE verimex_meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE verimex_jobs(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, created_at INTEGER NOT NULL);
CREATE TABLE verimex_addresses(
  id INTEGER PRIMARY KEY,
  job_id INTEGER NOT NULL REFERENCES verimex_jobs(id) ON DELETE CASCADE,
  address TEXT NOT NULL,
  domain TEXT NOT NULL,
  state INTEGER NOT NULL DEFAULT 0,
  due_at INTEGER NOT NULL,
  lease_key TEXT,
  lease_token TEXT,
  lease_owner TEXT,
  attempts INTEGER NOT NULL DEFAULT 0,
  checked_at INTEGER,
  outcome INTEGER,
  returnvar TEXT,
  transcript TEXT,
  error TEXT,
  UNIQUE(job_id, address));
CREATE INDEX verimex_addresses_due ON verimex_addresses(job_id, due_at, id) WHERE state < 2;
CREATE INDEX verimex_addresses_due_any ON verimex_addresses(due_at, id) WHERE state < 2;
CREATE INDEX verimex_addresses_leased ON verimex_addresses(lease_key, due_at) WHERE state = 1;
CREATE TABLE verimex_mx(domain TEXT PRIMARY KEY, key TEXT NOT NULL);
CREATE TABLE verimex_key_starts(key TEXT PRIMARY KEY, last_start INTEGER NOT NULL);
)";

class Statement {
public:
    Statement(sqlite3* db, std::string_view sql) : db_(db)
    {
        if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
            fail();
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::string_view text)
    {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::int64_t value)
    {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& bind_null(int index)
    {
        check(sqlite3_bind_null(stmt_, index));
        return *this;
    }
    // True while there is a row.
    bool step()
    {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail();
    }
    void run()
    {
        while (step()) {
        }
    }
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const
    {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    std::optional<std::string> optional_text(int column) const
    {
        return is_null(column) ? std::nullopt : std::optional<std::string>(text(column));
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            fail();
    }
    [[noreturn]] void fail() { throw StoreError(std::string("sqlite: ") + sqlite3_errmsg(db_)); }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore final : public Store {
public:
    SqliteStore(const std::string& path, std::shared_ptr<Clock> clock);
    ~SqliteStore() override { sqlite3_close_v2(db_); }

    std::string_view kind() const override { return "sqlite"; }
    AddResult add(std::string_view job, std::span<const std::string> addresses) override;
    std::optional<JobStatus> status(std::string_view job) override;
    std::vector<std::string> jobs() override;
    bool remove(std::string_view job) override;
    bool export_entries(std::string_view job, std::uint64_t offset, std::optional<std::uint64_t> limit,
                        const std::function<void(const Entry&)>& each) override;
    std::vector<Lease> take(const TakeRequest& request) override;
    bool record(const Lease& lease, const report& result, std::optional<Millis> retry_at) override;
    void renew(std::span<const Lease> leases, std::chrono::milliseconds lease) override;
    void release(std::span<const Lease> leases) override;
    JobWork work(std::string_view job) override;
    Millis now() override { return clock_->now(); }

private:
    void exec(const char* sql)
    {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw StoreError("sqlite: " + text);
        }
    }

    // A transaction that rolls back unless committed.
    class Transaction {
    public:
        Transaction(SqliteStore& store, bool write) : store_(store)
        {
            store_.exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
        }
        ~Transaction()
        {
            if (!done_)
                sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        void commit()
        {
            // A statement that still sits on a row would hold the
            // transaction open; their values have been read by now.
            for (sqlite3_stmt* s = sqlite3_next_stmt(store_.db_, nullptr); s; s = sqlite3_next_stmt(store_.db_, s))
                sqlite3_reset(s);
            store_.exec("COMMIT");
            done_ = true;
        }

    private:
        SqliteStore& store_;
        bool done_ = false;
    };

    std::optional<std::int64_t> job_id(std::string_view job);
    void create_or_check_schema();

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    TokenSource tokens_;
    std::shared_ptr<Clock> clock_;
};

SqliteStore::SqliteStore(const std::string& path, std::shared_ptr<Clock> clock) : clock_(std::move(clock))
{
    if (path.empty())
        throw StoreError("an empty file name is no store");
    const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw StoreError(message);
    }
    try {
        // SQLite opens a write-protected file for reading only; a worker
        // would then fail at its first result, after its first checks.
        if (sqlite3_db_readonly(db_, "main") == 1)
            throw StoreError("the file is not writable");
        sqlite3_busy_timeout(db_, busy_wait_ms);
        exec("PRAGMA foreign_keys = ON");
        Statement journal(db_, "PRAGMA journal_mode = WAL");
        if (!journal.step() || journal.text(0) != "wal")
            throw StoreError("cannot switch the file to WAL mode");
        // With WAL, NORMAL loses no committed transaction when a process
        // dies; only a power cut can take back the last few, and those
        // addresses are then simply checked again.
        exec("PRAGMA synchronous = NORMAL");
        create_or_check_schema();
    } catch (const StoreError&) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

void SqliteStore::create_or_check_schema()
{
    Transaction t(*this, true);
    Statement exists(db_, "SELECT count(*) FROM sqlite_master WHERE name = 'verimex_meta'");
    exists.step();
    if (exists.integer(0) == 0) {
        exec(schema_sql);
        Statement version(db_, "INSERT INTO verimex_meta(name, value) VALUES ('schema_version', ?)");
        version.bind(1, std::to_string(schema_version)).run();
    } else {
        Statement version(db_, "SELECT value FROM verimex_meta WHERE name = 'schema_version'");
        if (!version.step())
            throw StoreError("the store has no schema version");
        check_schema_version(version.text(0));
    }
    t.commit();
}

std::optional<std::int64_t> SqliteStore::job_id(std::string_view job)
{
    Statement find(db_, "SELECT id FROM verimex_jobs WHERE name = ?");
    find.bind(1, job);
    if (!find.step())
        return std::nullopt;
    return find.integer(0);
}

AddResult SqliteStore::add(std::string_view job, std::span<const std::string> addresses)
{
    require_job_name(job);
    std::lock_guard lock(mutex_);
    Transaction t(*this, true);
    const Millis at = now();
    Statement make(db_, "INSERT OR IGNORE INTO verimex_jobs(name, created_at) VALUES (?, ?)");
    make.bind(1, job).bind(2, at).run();
    const std::int64_t id = *job_id(job);
    Statement insert(db_, "INSERT OR IGNORE INTO verimex_addresses(job_id, address, domain, due_at) VALUES (?, ?, ?, ?)");
    AddResult result;
    for (const std::string& address : addresses) {
        insert.reset();
        insert.bind(1, id).bind(2, address).bind(3, domain_of(address)).bind(4, at).run();
        if (sqlite3_changes(db_) == 1)
            ++result.added;
        else
            ++result.duplicates;
    }
    t.commit();
    return result;
}

std::optional<JobStatus> SqliteStore::status(std::string_view job)
{
    std::lock_guard lock(mutex_);
    Transaction t(*this, false);
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return std::nullopt;
    Statement counts(db_, status_sql("?1", "?2"));
    counts.bind(1, *id).bind(2, now());
    counts.step();
    JobStatus s = status_from_row(job, [&](int column) { return counts.integer(column); });
    t.commit();
    return s;
}

std::vector<std::string> SqliteStore::jobs()
{
    std::lock_guard lock(mutex_);
    Statement list(db_, "SELECT name FROM verimex_jobs ORDER BY id");
    std::vector<std::string> names;
    while (list.step())
        names.push_back(list.text(0));
    return names;
}

bool SqliteStore::remove(std::string_view job)
{
    std::lock_guard lock(mutex_);
    Transaction t(*this, true);
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return false;
    Statement addresses(db_, "DELETE FROM verimex_addresses WHERE job_id = ?");
    addresses.bind(1, *id).run();
    Statement drop(db_, "DELETE FROM verimex_jobs WHERE id = ?");
    drop.bind(1, *id).run();
    t.commit();
    return true;
}

bool SqliteStore::export_entries(std::string_view job, std::uint64_t offset, std::optional<std::uint64_t> limit,
                                 const std::function<void(const Entry&)>& each)
{
    std::lock_guard lock(mutex_);
    // One read transaction: in WAL mode it sees one snapshot to its end,
    // whatever the workers commit meanwhile.
    Transaction t(*this, false);
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return false;
    const Millis at = now();
    Statement rows(db_, std::string(export_columns) +
                            " FROM verimex_addresses WHERE job_id = ? ORDER BY id LIMIT ? OFFSET ?");
    rows.bind(1, *id)
        .bind(2, limit ? static_cast<std::int64_t>(std::min<std::uint64_t>(*limit, INT64_MAX)) : std::int64_t{-1})
        .bind(3, static_cast<std::int64_t>(std::min<std::uint64_t>(offset, INT64_MAX)));
    while (rows.step())
        each(entry_from_row(rows, at));
    t.commit();
    return true;
}

std::vector<Lease> SqliteStore::take(const TakeRequest& request)
{
    std::lock_guard lock(mutex_);
    std::vector<Lease> leases;
    if (request.count == 0)
        return leases;
    Transaction t(*this, true);
    const Millis at = now();
    std::optional<std::int64_t> id;
    if (!request.job.empty()) {
        id = job_id(request.job);
        if (!id)
            return leases;
    }
    KeyLimits limits(request.politeness, at);
    {
        Statement live(db_, "SELECT lease_key, count(*) FROM verimex_addresses "
                            "WHERE state = 1 AND due_at > ? GROUP BY lease_key");
        live.bind(1, at);
        while (live.step())
            limits.live(live.text(0), static_cast<std::uint64_t>(live.integer(1)));
        Statement starts(db_, "SELECT key, last_start FROM verimex_key_starts WHERE last_start > ?");
        starts.bind(1, at - request.politeness.interval.count());
        while (starts.step())
            limits.started(starts.text(0), starts.integer(1));
    }

    // Due addresses oldest first, a batch at a time, leaving out the keys
    // that are at their limits; the scan goes on past a busy provider's
    // addresses to the others.
    Statement scan(db_, take_sql('?', id.has_value()));
    Millis after_due = INT64_MIN;
    std::int64_t after_id = INT64_MIN;
    std::size_t scanned = 0;
    while (leases.size() < request.count && scanned < max_scan) {
        scan.reset();
        scan.bind(1, at).bind(2, after_due).bind(3, after_id);
        if (id)
            scan.bind(4, *id);
        bool any = false;
        while (leases.size() < request.count && scan.step()) {
            any = true;
            ++scanned;
            after_due = scan.integer(5);
            after_id = scan.integer(0);
            std::string key = scan.text(4);
            if (!limits.admit(key))
                continue;
            Lease l;
            l.id = scan.integer(0);
            l.job = scan.text(1);
            l.address = scan.text(2);
            l.attempts = static_cast<std::uint32_t>(scan.integer(3));
            l.key = std::move(key);
            l.token = tokens_.next();
            leases.push_back(std::move(l));
        }
        if (!any)
            break;
    }
    scan.reset();

    Statement lease(db_, "UPDATE verimex_addresses SET state = 1, due_at = ?, lease_key = ?, lease_token = ?, "
                         "lease_owner = ? WHERE id = ?");
    Statement start(db_, "INSERT OR REPLACE INTO verimex_key_starts(key, last_start) VALUES (?, ?)");
    for (const Lease& l : leases) {
        lease.reset();
        lease.bind(1, at + request.lease.count()).bind(2, l.key).bind(3, l.token).bind(4, request.owner).bind(5, l.id);
        lease.run();
        start.reset();
        start.bind(1, l.key).bind(2, at).run();
    }
    t.commit();
    return leases;
}

bool SqliteStore::record(const Lease& lease, const report& record, std::optional<Millis> retry_at)
{
    std::lock_guard lock(mutex_);
    Transaction t(*this, true);
    const Millis at = now();
    Statement write(db_, "UPDATE verimex_addresses SET state = ?, due_at = ?, attempts = attempts + 1, "
                         "checked_at = ?, outcome = ?, returnvar = ?, transcript = ?, error = ?, "
                         "lease_key = NULL, lease_token = NULL, lease_owner = NULL "
                         "WHERE id = ? AND state = 1 AND lease_token = ?");
    write.bind(1, std::int64_t{retry_at ? 0 : 2}).bind(2, retry_at.value_or(at)).bind(3, at);
    if (retry_at)
        write.bind_null(4);
    else
        write.bind(4, static_cast<std::int64_t>(outcome_of(record)));
    write.bind(5, record.returnvar).bind(6, record.transcript);
    if (record.error.empty())
        write.bind_null(7);
    else
        write.bind(7, record.error);
    write.bind(8, lease.id).bind(9, lease.token).run();
    if (sqlite3_changes(db_) != 1)
        return false;
    const std::string mx = record.mx ? lowered(*record.mx) : std::string();
    const std::string domain = domain_of(record.address);
    if (!mx.empty() && !domain.empty()) {
        Statement learn(db_, "INSERT OR REPLACE INTO verimex_mx(domain, key) VALUES (?, ?)");
        learn.bind(1, domain).bind(2, mx).run();
    }
    t.commit();
    return true;
}

void SqliteStore::renew(std::span<const Lease> leases, std::chrono::milliseconds lease)
{
    if (leases.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*this, true);
    const Millis until = now() + lease.count();
    Statement extend(db_, "UPDATE verimex_addresses SET due_at = ? WHERE id = ? AND state = 1 AND lease_token = ?");
    for (const Lease& l : leases) {
        extend.reset();
        extend.bind(1, until).bind(2, l.id).bind(3, l.token).run();
    }
    t.commit();
}

void SqliteStore::release(std::span<const Lease> leases)
{
    if (leases.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*this, true);
    const Millis at = now();
    Statement back(db_, "UPDATE verimex_addresses SET state = 0, due_at = ?, lease_key = NULL, lease_token = NULL, "
                        "lease_owner = NULL WHERE id = ? AND state = 1 AND lease_token = ?");
    for (const Lease& l : leases) {
        back.reset();
        back.bind(1, at).bind(2, l.id).bind(3, l.token).run();
    }
    t.commit();
}

JobWork SqliteStore::work(std::string_view job)
{
    std::lock_guard lock(mutex_);
    JobWork w;
    std::optional<std::int64_t> id;
    if (!job.empty()) {
        id = job_id(job);
        if (!id)
            return w;
    }
    Statement left(db_, id ? "SELECT count(*), min(due_at) FROM verimex_addresses WHERE state < 2 AND job_id = ?"
                           : "SELECT count(*), min(due_at) FROM verimex_addresses WHERE state < 2");
    if (id)
        left.bind(1, *id);
    left.step();
    w.unfinished = static_cast<std::uint64_t>(left.integer(0));
    if (!left.is_null(1))
        w.next_due = left.integer(1);
    return w;
}

}  // namespace

std::unique_ptr<Store> open_sqlite_store(const std::string& path, std::shared_ptr<Clock> clock)
{
    return std::make_unique<SqliteStore>(path, std::move(clock));
}

}  // namespace verimex::hosting
