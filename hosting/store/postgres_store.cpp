// The fleet store: a PostgreSQL database shared by workers on any number of
// machines, with nothing between them but the server.
//
// Leases are taken with FOR UPDATE SKIP LOCKED, under one transaction-level
// advisory lock that lines up the takes of the whole fleet (a take is a few
// milliseconds), so the per-key counts read in a take are the counts the
// take writes against. Times are the server's clock. Every text is bytea:
// addresses and server replies are bytes, not always UTF-8, and a UTF-8
// database would refuse them as text.
#include <libpq-fe.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "store/postgres_store.h"
#include "store/store_common.h"

namespace verimex::hosting {

namespace {

// pg_advisory_xact_lock keys: "verimex" take, and schema set-up.
constexpr std::int64_t take_lock = 0x7665726d65780001;
constexpr std::int64_t schema_lock = 0x7665726d65780002;

constexpr Oid int8_oid = 20;
constexpr Oid bytea_oid = 17;
constexpr Oid text_oid = 25;

constexpr const char* schema_sql = R"(
CREATE TABLE verimex_meta(name text PRIMARY KEY, value text NOT NULL);
CREATE TABLE verimex_jobs(id bigserial PRIMARY KEY, name bytea NOT NULL UNIQUE, created_at bigint NOT NULL);
CREATE TABLE verimex_addresses(
  id bigserial PRIMARY KEY,
  job_id bigint NOT NULL REFERENCES verimex_jobs(id) ON DELETE CASCADE,
  address bytea NOT NULL,
  domain bytea NOT NULL,
  state bigint NOT NULL DEFAULT 0,
  due_at bigint NOT NULL,
  lease_key bytea,
  lease_token bytea,
  lease_owner bytea,
  attempts bigint NOT NULL DEFAULT 0,
  checked_at bigint,
  outcome bigint,
  returnvar bytea,
  transcript bytea,
  error bytea,
  UNIQUE(job_id, address));
CREATE INDEX verimex_addresses_due ON verimex_addresses(job_id, due_at, id) WHERE state < 2;
CREATE INDEX verimex_addresses_due_any ON verimex_addresses(due_at, id) WHERE state < 2;
CREATE INDEX verimex_addresses_leased ON verimex_addresses(lease_key, due_at) WHERE state = 1;
CREATE TABLE verimex_mx(domain bytea PRIMARY KEY, key bytea NOT NULL);
CREATE TABLE verimex_key_starts(key bytea PRIMARY KEY, last_start bigint NOT NULL);
)";

constexpr const char* now_sql = "(extract(epoch FROM clock_timestamp()) * 1000)::bigint";

// One parameter, sent in binary.
struct Param {
    std::string bytes;
    Oid type;
    bool null = false;
};

Param integer(std::int64_t value)
{
    std::string bytes(8, '\0');
    auto v = static_cast<std::uint64_t>(value);
    for (int i = 7; i >= 0; --i, v >>= 8)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xff);
    return {std::move(bytes), int8_oid};
}

Param bytes(std::string_view text)
{
    return {std::string(text), bytea_oid};
}

Param text(std::string_view value)
{
    return {std::string(value), text_oid};
}

Param null_bytes()
{
    return {{}, bytea_oid, true};
}

class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(Result&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    ExecStatusType status() const { return r_ ? PQresultStatus(r_) : PGRES_FATAL_ERROR; }
    int rows() const { return PQntuples(r_); }
    bool is_null(int row, int column) const { return PQgetisnull(r_, row, column) != 0; }
    std::string text(int row, int column) const
    {
        return std::string(PQgetvalue(r_, row, column), static_cast<std::size_t>(PQgetlength(r_, row, column)));
    }
    std::optional<std::string> optional_text(int row, int column) const
    {
        return is_null(row, column) ? std::nullopt : std::optional<std::string>(text(row, column));
    }
    // A bigint (or integer) column in binary.
    std::int64_t integer(int row, int column) const
    {
        const auto* data = reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, column));
        const int length = PQgetlength(r_, row, column);
        std::uint64_t v = 0;
        for (int i = 0; i < length; ++i)
            v = (v << 8) | data[i];
        if (length == 4)
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return static_cast<std::int64_t>(v);
    }
    // Row i, read as a store reads a row: by column number alone.
    class Row {
    public:
        Row(const Result& result, int row) : result_(result), row_(row) {}
        std::string text(int column) const { return result_.text(row_, column); }
        std::optional<std::string> optional_text(int column) const { return result_.optional_text(row_, column); }
        std::int64_t integer(int column) const { return result_.integer(row_, column); }
        bool is_null(int column) const { return result_.is_null(row_, column); }

    private:
        const Result& result_;
        int row_;
    };
    Row row(int i) const { return Row(*this, i); }
    std::uint64_t affected() const
    {
        const char* n = PQcmdTuples(r_);
        return *n ? std::strtoull(n, nullptr, 10) : 0;
    }

private:
    PGresult* r_;
};

std::string connection_message(PGconn* conn)
{
    std::string message = conn ? PQerrorMessage(conn) : "out of memory";
    // libpq's messages may run over several lines.
    for (char& c : message)
        if (c == '\n' || c == '\t')
            c = ' ';
    while (!message.empty() && message.back() == ' ')
        message.pop_back();
    if (message.empty())
        message = "the server did not answer";
    return message;
}

class PostgresStore final : public Store {
public:
    PostgresStore(const std::string& uri, std::shared_ptr<Clock> clock);
    ~PostgresStore() override { PQfinish(conn_); }

    std::string_view kind() const override { return "postgresql"; }
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
    Millis now() override
    {
        std::lock_guard lock(mutex_);
        return clock();
    }

private:
    Result query(const std::string& sql, const std::vector<Param>& params = {})
    {
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        std::vector<Oid> types;
        for (const Param& p : params) {
            values.push_back(p.null ? nullptr : p.bytes.data());
            lengths.push_back(static_cast<int>(p.bytes.size()));
            formats.push_back(1);
            types.push_back(p.type);
        }
        Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), types.data(), values.data(),
                              lengths.data(), formats.data(), 1));
        check(r);
        return r;
    }
    void exec(const char* sql)
    {
        Result r(PQexec(conn_, sql));
        check(r);
    }
    void check(const Result& r)
    {
        const ExecStatusType status = r.status();
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return;
        throw StoreError("postgresql: " + connection_message(conn_));
    }
    // The store's clock: the server's, which every worker of a fleet shares,
    // unless one was handed in.
    Millis clock() { return clock_ ? clock_->now() : query(std::string("SELECT ") + now_sql).integer(0, 0); }
    std::optional<std::int64_t> job_id(std::string_view job);

    class Transaction {
    public:
        Transaction(PostgresStore& store, const char* begin = "BEGIN") : store_(store) { store_.exec(begin); }
        ~Transaction()
        {
            if (!done_ && PQstatus(store_.conn_) == CONNECTION_OK)
                PQclear(PQexec(store_.conn_, "ROLLBACK"));
        }
        void commit()
        {
            store_.exec("COMMIT");
            done_ = true;
        }

    private:
        PostgresStore& store_;
        bool done_ = false;
    };

    std::mutex mutex_;
    PGconn* conn_ = nullptr;
    TokenSource tokens_;
    std::shared_ptr<Clock> clock_;  // null: the server's
};


PostgresStore::PostgresStore(const std::string& uri, std::shared_ptr<Clock> clock) : clock_(std::move(clock))
{
    // The URI's own settings win over these defaults: it comes last. The
    // keepalives and the user timeout make a server that vanished from the
    // network (rather than closing the connection) an error within about a
    // minute, not a worker that waits for ever.
    const char* keys[] = {"connect_timeout",    "application_name", "keepalives_idle", "keepalives_interval",
                          "keepalives_count",   "tcp_user_timeout", "dbname",          nullptr};
    const char* values[] = {"10", "verimex", "30", "10", "3", "60000", uri.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        const std::string message = connection_message(conn_);
        PQfinish(conn_);
        conn_ = nullptr;
        throw StoreError(message);
    }
    // libpq hands an error that arrives between queries (the server
    // shutting down: "FATAL: terminating connection ...") to the notice
    // processor, whose default prints it on standard error ahead of our own
    // message. The failure reaches the caller as a StoreError with that
    // text at the next query anyway, so notices are not printed twice.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    try {
        exec("SET client_min_messages = warning");
        Transaction t(*this);
        // Workers started together must not both create the tables.
        query("SELECT pg_advisory_xact_lock($1)", {integer(schema_lock)});
        if (query("SELECT to_regclass('verimex_meta') IS NULL").text(0, 0) == std::string(1, '\1')) {
            exec(schema_sql);
            query("INSERT INTO verimex_meta(name, value) VALUES ('schema_version', $1)",
                  {text(std::to_string(schema_version))});
        } else {
            Result version = query("SELECT value FROM verimex_meta WHERE name = 'schema_version'");
            if (version.rows() != 1)
                throw StoreError("the store has no schema version");
            check_schema_version(version.text(0, 0));
        }
        t.commit();
    } catch (...) {
        PQfinish(conn_);
        conn_ = nullptr;
        throw;
    }
}

std::optional<std::int64_t> PostgresStore::job_id(std::string_view job)
{
    Result r = query("SELECT id FROM verimex_jobs WHERE name = $1", {bytes(job)});
    if (r.rows() == 0)
        return std::nullopt;
    return r.integer(0, 0);
}

AddResult PostgresStore::add(std::string_view job, std::span<const std::string> addresses)
{
    require_job_name(job);
    std::lock_guard lock(mutex_);
    Transaction t(*this);
    const Millis at = clock();
    query("INSERT INTO verimex_jobs(name, created_at) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING",
          {bytes(job), integer(at)});
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        throw StoreError("postgresql: the job vanished while addresses were added");
    AddResult result;
    // Rows of up to 500 addresses per statement: one round trip each.
    constexpr std::size_t batch = 500;
    for (std::size_t first = 0; first < addresses.size(); first += batch) {
        const std::size_t n = std::min(batch, addresses.size() - first);
        std::string sql = "INSERT INTO verimex_addresses(job_id, address, domain, due_at) VALUES ";
        std::vector<Param> params = {integer(*id), integer(at)};
        for (std::size_t i = 0; i < n; ++i) {
            const std::string& a = addresses[first + i];
            const std::size_t p = params.size() + 1;
            sql += (i ? ", ($1, $" : "($1, $") + std::to_string(p) + ", $" + std::to_string(p + 1) + ", $2)";
            params.push_back(bytes(a));
            params.push_back(bytes(domain_of(a)));
        }
        sql += " ON CONFLICT (job_id, address) DO NOTHING";
        const std::uint64_t added = query(sql, params).affected();
        result.added += added;
        result.duplicates += n - added;
    }
    t.commit();
    return result;
}

std::optional<JobStatus> PostgresStore::status(std::string_view job)
{
    std::lock_guard lock(mutex_);
    Transaction t(*this, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return std::nullopt;
    Result counts = query(status_sql("$1", "$2"), {integer(*id), integer(clock())});
    JobStatus s = status_from_row(job, [&](int column) { return counts.integer(0, column); });
    t.commit();
    return s;
}

std::vector<std::string> PostgresStore::jobs()
{
    std::lock_guard lock(mutex_);
    Result r = query("SELECT name FROM verimex_jobs ORDER BY id");
    std::vector<std::string> names;
    for (int i = 0; i < r.rows(); ++i)
        names.push_back(r.text(i, 0));
    return names;
}

bool PostgresStore::remove(std::string_view job)
{
    std::lock_guard lock(mutex_);
    Transaction t(*this);
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return false;
    query("DELETE FROM verimex_addresses WHERE job_id = $1", {integer(*id)});
    query("DELETE FROM verimex_jobs WHERE id = $1", {integer(*id)});
    t.commit();
    return true;
}

bool PostgresStore::export_entries(std::string_view job, std::uint64_t offset, std::optional<std::uint64_t> limit,
                                   const std::function<void(const Entry&)>& each)
{
    std::lock_guard lock(mutex_);
    // One snapshot for every chunk of the export.
    Transaction t(*this, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return false;
    const Millis at = clock();
    constexpr std::uint64_t chunk = 1000;
    std::uint64_t left = limit.value_or(UINT64_MAX);
    std::int64_t after = 0;
    bool first = true;
    while (left > 0) {
        const std::uint64_t n = std::min(left, chunk);
        Result rows = query(std::string(export_columns) +
                                ", id FROM verimex_addresses WHERE job_id = $1 AND id > $2 ORDER BY id "
                                "LIMIT $3 OFFSET $4",
                            {integer(*id), integer(after), integer(static_cast<std::int64_t>(n)),
                             integer(first ? static_cast<std::int64_t>(std::min<std::uint64_t>(offset, INT64_MAX))
                                           : 0)});
        first = false;
        for (int i = 0; i < rows.rows(); ++i) {
            after = rows.integer(i, 9);
            each(entry_from_row(rows.row(i), at));
        }
        left -= static_cast<std::uint64_t>(rows.rows());
        if (static_cast<std::uint64_t>(rows.rows()) < n)
            break;
    }
    t.commit();
    return true;
}

std::vector<Lease> PostgresStore::take(const TakeRequest& request)
{
    std::lock_guard lock(mutex_);
    std::vector<Lease> leases;
    if (request.count == 0)
        return leases;
    Transaction t(*this);
    // The fleet's takes one after the other: the counts below stay true
    // until this transaction ends.
    Millis at =
        query(std::string("SELECT ") + now_sql + " FROM pg_advisory_xact_lock($1)", {integer(take_lock)}).integer(0, 0);
    if (clock_)
        at = clock_->now();
    std::optional<std::int64_t> id;
    if (!request.job.empty()) {
        id = job_id(request.job);
        if (!id)
            return leases;
    }
    KeyLimits limits(request.politeness, at);
    {
        // Live leases per key, and the keys started within the interval.
        Result keys = query("SELECT 0::bigint, lease_key, count(*) FROM verimex_addresses "
                            "WHERE state = 1 AND due_at > $1 GROUP BY lease_key "
                            "UNION ALL SELECT 1::bigint, key, last_start FROM verimex_key_starts WHERE last_start > $2",
                            {integer(at), integer(at - request.politeness.interval.count())});
        for (int i = 0; i < keys.rows(); ++i) {
            if (keys.integer(i, 0) == 0)
                limits.live(keys.text(i, 1), static_cast<std::uint64_t>(keys.integer(i, 2)));
            else
                limits.started(keys.text(i, 1), keys.integer(i, 2));
        }
    }

    const std::string candidates = take_sql('$', id.has_value()) + " FOR UPDATE OF a SKIP LOCKED";
    Millis after_due = INT64_MIN;
    std::int64_t after_id = INT64_MIN;
    std::size_t scanned = 0;
    while (leases.size() < request.count && scanned < max_scan) {
        std::vector<Param> params = {integer(at), integer(after_due), integer(after_id)};
        if (id)
            params.push_back(integer(*id));
        Result rows = query(candidates, params);
        for (int i = 0; i < rows.rows() && leases.size() < request.count; ++i) {
            ++scanned;
            after_id = rows.integer(i, 0);
            after_due = rows.integer(i, 5);
            std::string key = rows.text(i, 4);
            if (!limits.admit(key))
                continue;
            Lease l;
            l.id = after_id;
            l.job = rows.text(i, 1);
            l.address = rows.text(i, 2);
            l.attempts = static_cast<std::uint32_t>(rows.integer(i, 3));
            l.key = std::move(key);
            l.token = tokens_.next();
            leases.push_back(std::move(l));
        }
        if (static_cast<std::size_t>(rows.rows()) < take_batch)
            break;
    }
    for (const Lease& l : leases) {
        query("WITH leased AS (UPDATE verimex_addresses SET state = 1, due_at = $1, lease_key = $2, "
              "lease_token = $3, lease_owner = $4 WHERE id = $5 RETURNING 1) "
              "INSERT INTO verimex_key_starts(key, last_start) VALUES ($2, $6) "
              "ON CONFLICT (key) DO UPDATE SET last_start = excluded.last_start",
              {integer(at + request.lease.count()), bytes(l.key), bytes(l.token), bytes(request.owner),
               integer(l.id), integer(at)});
    }
    t.commit();
    return leases;
}

bool PostgresStore::record(const Lease& lease, const report& record, std::optional<Millis> retry_at)
{
    std::lock_guard lock(mutex_);
    // One statement, so one transaction and one round trip: the result, the
    // address done (or deferred), and the domain's mail-server key learnt,
    // all or nothing, only while the lease is still this worker's.
    const std::string mx = record.mx ? lowered(*record.mx) : std::string();
    const std::string domain = domain_of(record.address);
    const Millis at = clock();
    Result r = query("WITH done AS (UPDATE verimex_addresses SET state = $1, "
                                 "due_at = coalesce($2, $11), attempts = attempts + 1, "
                                 "checked_at = $11, outcome = $3, returnvar = $4, transcript = $5, "
                                 "error = $6, lease_key = NULL, lease_token = NULL, lease_owner = NULL "
                                 "WHERE id = $7 AND state = 1 AND lease_token = $8 RETURNING id), "
                                 "learn AS (INSERT INTO verimex_mx(domain, key) SELECT $9, $10 FROM done "
                                 "WHERE length($9) > 0 AND length($10) > 0 "
                                 "ON CONFLICT (domain) DO UPDATE SET key = excluded.key RETURNING 1) "
                                 "SELECT count(*) FROM done",
                     {integer(retry_at ? row_waiting : row_done),
                      retry_at ? integer(*retry_at) : Param{{}, int8_oid, true},
                      retry_at ? Param{{}, int8_oid, true} : integer(static_cast<std::int64_t>(outcome_of(record))),
                      bytes(record.returnvar), bytes(record.transcript),
                      record.error.empty() ? null_bytes() : bytes(record.error), integer(lease.id),
                      bytes(lease.token), bytes(domain), bytes(mx), integer(at)});
    return r.integer(0, 0) == 1;
}

void PostgresStore::renew(std::span<const Lease> leases, std::chrono::milliseconds lease)
{
    if (leases.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*this);
    const Millis until = clock() + lease.count();
    for (const Lease& l : leases) {
        query("UPDATE verimex_addresses SET due_at = $1 WHERE id = $2 AND state = 1 AND lease_token = $3",
              {integer(until), integer(l.id), bytes(l.token)});
    }
    t.commit();
}

void PostgresStore::release(std::span<const Lease> leases)
{
    if (leases.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*this);
    const Millis at = clock();
    for (const Lease& l : leases) {
        query("UPDATE verimex_addresses SET state = 0, due_at = $1, lease_key = NULL, lease_token = NULL, "
              "lease_owner = NULL WHERE id = $2 AND state = 1 AND lease_token = $3",
              {integer(at), integer(l.id), bytes(l.token)});
    }
    t.commit();
}

JobWork PostgresStore::work(std::string_view job)
{
    std::lock_guard lock(mutex_);
    JobWork w;
    std::optional<std::int64_t> id;
    if (!job.empty()) {
        id = job_id(job);
        if (!id)
            return w;
    }
    Result left = id ? query("SELECT count(*), min(due_at) FROM verimex_addresses WHERE state < 2 AND job_id = $1",
                             {integer(*id)})
                     : query("SELECT count(*), min(due_at) FROM verimex_addresses WHERE state < 2");
    w.unfinished = static_cast<std::uint64_t>(left.integer(0, 0));
    if (!left.is_null(0, 1))
        w.next_due = left.integer(0, 1);
    return w;
}

}  // namespace

std::unique_ptr<Store> open_postgres_store(const std::string& uri, std::shared_ptr<Clock> clock)
{
    return std::make_unique<PostgresStore>(uri, std::move(clock));
}

}  // namespace verimex::hosting
