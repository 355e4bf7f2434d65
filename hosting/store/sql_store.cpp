// Every statement of the job stores, once for both dialects.
#include "store/sql_store.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "verimex/hosting/job_options.h"
#include "verimex/hosting/json.h"

namespace verimex::hosting::sql {

namespace {

// The version of the tables this code writes. A store with a higher one
// was made by a newer program and is refused.
// Version 2 stores each job's settings and each result's verdict, reason
// and engine members; stores of version 1 are taken forward when opened.
constexpr int schema_version = 2;

// How many due addresses a take reads per query, and how many in all, at
// most, to find some whose keys are not at their limits.
constexpr std::size_t take_batch = 256;
constexpr std::size_t max_scan = 20'000;
// Keys at their limits a take leaves out in its statement, at most (each
// is a parameter).
constexpr std::size_t max_left_out = 500;
constexpr std::size_t fill_scan = 4 * take_batch;
// Addresses per INSERT when a list is added: one round trip each.
constexpr std::size_t add_batch = 500;
// Rows per query of an export.
constexpr std::int64_t export_chunk = 1000;
// How often (milliseconds of the store's clock) a take prunes the starts
// that no longer limit anything.
constexpr std::int64_t prune_every = 60'000;
// How often a take prunes the learnt mail-server keys of domains no
// unfinished address has: less often, as that reads every unfinished
// address's domain (under the take lock).
constexpr std::int64_t prune_mx_every = 600'000;

// A row state as it stands in a statement.
std::string S(RowState state)
{
    return std::to_string(static_cast<int>(state));
}

std::string P(int n)
{
    return "$" + std::to_string(n);
}

// The engine's members of a result, as the members column keeps them.
std::string engine_members_text(const report& result)
{
    Json object = Json::object();
    add_engine_members(object, result);
    return json_text(std::move(object));
}

// Throws StoreError for a version this code cannot work with.
void check_schema_version(std::string_view text)
{
    int version = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), version);
    if (ec != std::errc() || end != text.data() + text.size() || version < 1)
        throw StoreError("the store's schema version '" + std::string(text) + "' is not one this program knows");
    if (version > schema_version)
        throw StoreError("the store's schema is version " + std::to_string(version) +
                         ", newer than this program's (" + std::to_string(schema_version) +
                         "): use a newer verimex");
}

void require_job_name(std::string_view job)
{
    if (!valid_job_name(job))
        throw StoreError("a job name is " + std::string(job_name_rule));
}

// text in lower case (ASCII letters only: host names).
std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// "done", "running", "deferred" or "due".
const char* state_name(std::int64_t state, Millis due_at, Millis now)
{
    if (state == static_cast<int>(RowState::done))
        return "done";
    if (due_at <= now)
        return "due";
    return state == static_cast<int>(RowState::leased) ? "running" : "deferred";
}

// Unguessable lease tokens: a worker whose lease ran out cannot write over
// the next worker's.
class TokenSource {
public:
    TokenSource()
    {
        std::random_device seed;
        std::seed_seq seq{seed(), seed(), seed(), seed(), seed(), seed(), seed(), seed()};
        random_.seed(seq);
    }
    std::string next()
    {
        static constexpr char hex[] = "0123456789abcdef";
        std::string token;
        for (int word = 0; word < 2; ++word) {
            std::uint64_t bits = random_();
            for (int i = 0; i < 16; ++i, bits >>= 4)
                token += hex[bits & 0xf];
        }
        return token;
    }

private:
    std::mt19937_64 random_;
};

// The per-key limits during one take: what is live and what started
// recently, plus what this take has admitted so far.
class KeyLimits {
public:
    KeyLimits(const Politeness& politeness, Millis now) : politeness_(politeness), now_(now) {}
    void live(const std::string& key, std::uint64_t count) { live_[key] = count; }
    void started(const std::string& key, Millis at)
    {
        if (politeness_.interval.count() > 0 && at > now_ - politeness_.interval.count())
            recent_.insert(key);
    }
    // Whether one more lease of key may start now; if so, counts it.
    bool admit(const std::string& key)
    {
        if (recent_.contains(key))
            return false;
        std::uint64_t& live = live_[key];
        if (politeness_.per_key != 0 && live >= politeness_.per_key)
            return false;
        ++live;
        // Two starts of one key in one take would be no time apart.
        if (politeness_.interval.count() > 0)
            recent_.insert(key);
        return true;
    }

    // The keys no lease may start for now, as the take begins.
    std::vector<std::string> closed() const
    {
        std::set<std::string> keys(recent_);
        if (politeness_.per_key != 0)
            for (const auto& [key, live] : live_)
                if (live >= politeness_.per_key)
                    keys.insert(key);
        return {keys.begin(), keys.end()};
    }

private:
    Politeness politeness_;
    Millis now_;
    std::map<std::string, std::uint64_t> live_;
    std::set<std::string> recent_;
};

class SqlStore final : public Store {
public:
    SqlStore(std::unique_ptr<Connection> connection, std::shared_ptr<Clock> clock)
        : db_(std::move(connection)), clock_(std::move(clock))
    {
        create_or_check_schema();
    }

    std::string_view kind() const override { return db_->kind(); }
    void ping() override
    {
        std::lock_guard lock(mutex_);
        Transaction t(*db_, Connection::Begin::read);
        db_->query("SELECT 1");
        t.commit();
    }
    using Store::add;
    AddResult add(std::string_view job, std::span<const std::string> addresses,
                  const JobSettings& settings) override;
    std::optional<JobSettings> settings(std::string_view job) override;
    std::optional<JobStatus> status(std::string_view job) override;
    std::vector<std::string> jobs(std::uint64_t offset, std::uint64_t limit) override;
    bool remove(std::string_view job) override;
    bool export_page(std::string_view job, ExportCursor& cursor, std::vector<Entry>& page) override;
    std::vector<Lease> take(const TakeRequest& request) override;
    bool record(const Lease& lease, const report& result, std::optional<Millis> retry_at) override;
    void renew(std::span<const Lease> leases, std::chrono::milliseconds lease) override;
    void release(std::span<const Lease> leases) override;
    JobWork work(std::string_view job) override;
    StoreTotals totals() override;
    Millis now() override
    {
        std::lock_guard lock(mutex_);
        return clock();
    }

private:
    // A transaction that rolls back unless committed.
    class Transaction {
    public:
        Transaction(Connection& db, Connection::Begin kind) : db_(db) { db_.begin(kind); }
        ~Transaction()
        {
            if (!done_)
                db_.rollback();
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit()
        {
            db_.commit();
            done_ = true;
        }

    private:
        Connection& db_;
        bool done_ = false;
    };

    Millis clock() { return clock_ ? clock_->now() : db_->now(); }
    Millis last_prune_ = INT64_MIN / 2;  // when this store last pruned the politeness starts
    Millis last_mx_prune_ = INT64_MIN / 2;  // ... and the learnt mail-server keys
    void prune_mx();
    std::optional<std::int64_t> job_id(std::string_view job);
    void create_or_check_schema();

    std::mutex mutex_;
    std::unique_ptr<Connection> db_;
    std::shared_ptr<Clock> clock_;
    TokenSource tokens_;
};

void SqlStore::create_or_check_schema()
{
    Transaction t(*db_, Connection::Begin::schema);
    if (!db_->has_tables()) {
        db_->script(schema(db_->types()));
        db_->query("INSERT INTO verimex_meta(name, value) VALUES ('schema_version', '" +
                   std::to_string(schema_version) + "')");
    } else {
        const Table version = db_->query("SELECT value FROM verimex_meta WHERE name = 'schema_version'");
        if (version.rows.size() != 1)
            throw StoreError("the store has no schema version");
        const std::string text = version.rows[0].text(0);
        check_schema_version(text);
        if (text == "1") {
            // Within the schema transaction: one process migrates, the
            // others wait and then find version 2. Rows of version 1 keep
            // NULL in the new columns, which readers take for "made before".
            db_->script(migration_from_1(db_->types()));
            db_->query("UPDATE verimex_meta SET value = '" + std::to_string(schema_version) +
                       "' WHERE name = 'schema_version'");
        }
    }
    t.commit();
}

std::optional<std::int64_t> SqlStore::job_id(std::string_view job)
{
    const Table r = db_->query("SELECT id FROM verimex_jobs WHERE name = $1", {bytes(job)});
    if (r.rows.empty())
        return std::nullopt;
    return r.rows[0].integer(0);
}

AddResult SqlStore::add(std::string_view job, std::span<const std::string> addresses, const JobSettings& settings)
{
    require_job_name(job);
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::write);
    const Millis at = clock();
    db_->query("INSERT INTO verimex_jobs(name, created_at, settings) VALUES ($1, $2, $3) ON CONFLICT (name) DO NOTHING",
               {bytes(job), integer(at), bytes(job_settings_json(settings))});
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        throw StoreError(std::string(db_->kind()) + ": the job vanished while addresses were added");
    AddResult result;
    for (std::size_t first = 0; first < addresses.size(); first += add_batch) {
        const std::size_t n = std::min(add_batch, addresses.size() - first);
        std::string sql = "INSERT INTO verimex_addresses(job_id, address, domain, due_at) VALUES ";
        std::vector<Value> params = {integer(*id), integer(at)};
        for (std::size_t i = 0; i < n; ++i) {
            const std::string& a = addresses[first + i];
            const int p = static_cast<int>(params.size()) + 1;
            sql += (i ? ", ($1, " : "($1, ") + P(p) + ", " + P(p + 1) + ", $2)";
            params.push_back(bytes(a));
            params.push_back(bytes(domain_of(a)));
        }
        sql += " ON CONFLICT (job_id, address) DO NOTHING";
        const std::uint64_t added = db_->query(sql, params).affected;
        result.added += added;
        result.duplicates += n - added;
    }
    t.commit();
    return result;
}

std::optional<JobSettings> SqlStore::settings(std::string_view job)
{
    std::lock_guard lock(mutex_);
    const Table r = db_->query("SELECT settings FROM verimex_jobs WHERE name = $1", {bytes(job)});
    if (r.rows.empty())
        return std::nullopt;
    if (r.rows[0].is_null(0))
        return settings_of_older_jobs();
    return parse_job_settings(r.rows[0].text(0));
}

std::optional<JobStatus> SqlStore::status(std::string_view job)
{
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::read);
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return std::nullopt;
    std::string sql = "SELECT count(*), "
                      "count(*) FILTER (WHERE state = " + S(RowState::done) + "), "
                      "count(*) FILTER (WHERE state < " + S(RowState::done) + " AND due_at <= $2), "
                      "count(*) FILTER (WHERE state = " + S(RowState::leased) + " AND due_at > $2), "
                      "count(*) FILTER (WHERE state = " + S(RowState::waiting) + " AND due_at > $2)";
    for (int outcome = 0; outcome <= static_cast<int>(Outcome::other_error); ++outcome)
        sql += ", count(*) FILTER (WHERE state = " + S(RowState::done) + " AND outcome = " + std::to_string(outcome) +
               ")";
    sql += " FROM verimex_addresses WHERE job_id = $1";
    const Table counts = db_->query(sql, {integer(*id), integer(clock())});
    const Table reasons = db_->query("SELECT verdict, reason, count(*) FROM verimex_addresses WHERE job_id = $1 AND state = " +
                                         S(RowState::done) + " AND verdict IS NOT NULL GROUP BY verdict, reason",
                                     {integer(*id)});
    t.commit();
    JobStatus s;
    s.job = job;
    std::uint64_t* fields[] = {&s.total,    &s.done,     &s.due,           &s.running,
                               &s.deferred, &s.verified, &s.rejected,      &s.could_not_connect,
                               &s.no_mail_server, &s.timed_out, &s.other_errors};
    for (int i = 0; i < static_cast<int>(std::size(fields)); ++i)
        *fields[i] = static_cast<std::uint64_t>(counts.rows.at(0).integer(i));
    for (const Table::Row& row : reasons.rows) {
        const auto n = static_cast<std::uint64_t>(row.integer(2));
        if (const std::optional<verdict> v = parse_verdict(row.text(0)))
            s.by_verdict[static_cast<int>(*v)] += n;
        s.by_reason.emplace_back(row.text(0) + " " + row.text(1), n);
    }
    std::sort(s.by_reason.begin(), s.by_reason.end());
    return s;
}

std::vector<std::string> SqlStore::jobs(std::uint64_t offset, std::uint64_t limit)
{
    const auto clamp = [](std::uint64_t n) { return static_cast<std::int64_t>(std::min<std::uint64_t>(n, INT64_MAX)); };
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const Table::Row& row : db_->query("SELECT name FROM verimex_jobs ORDER BY id LIMIT $1 OFFSET $2",
                                            {integer(clamp(limit)), integer(clamp(offset))})
                                     .rows)
        names.push_back(row.text(0));
    return names;
}

bool SqlStore::remove(std::string_view job)
{
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::write);
    const std::optional<std::int64_t> id = job_id(job);
    if (!id)
        return false;
    db_->query("DELETE FROM verimex_addresses WHERE job_id = $1", {integer(*id)});
    db_->query("DELETE FROM verimex_jobs WHERE id = $1", {integer(*id)});
    prune_mx();
    t.commit();
    return true;
}

void SqlStore::prune_mx()
{
    // The key of a domain serves the politeness of its unfinished
    // addresses alone: once none is left (all done, or their jobs removed)
    // the row goes, or the map would keep every domain ever checked. An
    // anti-join on the distinct unfinished domains, which both databases
    // read once (a hash in PostgreSQL, an automatic index in SQLite), rather
    // than a lookup per row: no index has the domain first. The rows are
    // locked as a take's are (row_lock(), whose alias is "a"), skipping
    // those another transaction holds: two prunes at once (a take's and a
    // removal's) then never wait on each other in opposite orders, and a
    // row that a result is writing just now stays.
    db_->query("DELETE FROM verimex_mx WHERE domain IN (SELECT a.domain FROM verimex_mx a "
               "LEFT JOIN (SELECT DISTINCT domain FROM verimex_addresses WHERE state < " + S(RowState::done) +
               ") u ON u.domain = a.domain WHERE u.domain IS NULL" + std::string(db_->row_lock()) + ")");
}

bool SqlStore::export_page(std::string_view job, ExportCursor& cursor, std::vector<Entry>& page)
{
    // Each page read in a short transaction of its own and handed on after
    // the store is let go: a client that reads slowly holds neither a
    // snapshot (SQLite's WAL would grow, PostgreSQL's vacuum would stop)
    // nor this connection. Pages follow the row id, so every address comes
    // once, in the order it was added, each as one commit left it.
    page.clear();
    const std::uint64_t left = cursor.limit ? *cursor.limit - std::min(*cursor.limit, cursor.given) : UINT64_MAX;
    if (cursor.done || left == 0) {
        cursor.done = true;
        return true;
    }
    const auto n = static_cast<std::int64_t>(std::min<std::uint64_t>(left, export_chunk));
    const bool first = !cursor.job_id;
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::read);
    if (first) {
        cursor.job_id = job_id(job);
        if (!cursor.job_id) {
            cursor.done = true;
            return false;
        }
        cursor.at = clock();
    }
    const Table rows = db_->query(
        "SELECT address, state, due_at, returnvar, transcript, error, attempts, checked_at, outcome, id, members "
        "FROM verimex_addresses WHERE job_id = $1 AND id > $2 ORDER BY id LIMIT $3 OFFSET $4",
        {integer(*cursor.job_id), integer(cursor.after), integer(n),
         integer(first ? static_cast<std::int64_t>(std::min<std::uint64_t>(cursor.offset, INT64_MAX)) : 0)});
    t.commit();
    page.reserve(rows.rows.size());
    for (const Table::Row& row : rows.rows) {
        Entry& e = page.emplace_back();
        e.address = row.text(0);
        e.state = state_name(row.integer(1), row.integer(2), cursor.at);
        e.returnvar = row.optional_text(3);
        e.transcript = row.optional_text(4);
        e.error = row.optional_text(5);
        e.attempts = static_cast<std::uint32_t>(row.integer(6));
        if (!row.is_null(7))
            e.checked_at = row.integer(7);
        if (!row.is_null(8))
            e.outcome = static_cast<Outcome>(row.integer(8));
        cursor.after = row.integer(9);
        e.members = row.optional_text(10);
    }
    cursor.given += page.size();
    if (static_cast<std::int64_t>(page.size()) < n)
        cursor.done = true;
    return true;
}

std::vector<Lease> SqlStore::take(const TakeRequest& request)
{
    std::lock_guard lock(mutex_);
    std::vector<Lease> leases;
    if (request.count == 0)
        return leases;
    // The store's takes one after the other: the counts below stay true
    // until this transaction ends.
    Transaction t(*db_, Connection::Begin::take);
    const Millis at = clock();
    std::optional<std::int64_t> id;
    if (!request.job.empty()) {
        id = job_id(request.job);
        if (!id)
            return leases;
    }
    KeyLimits limits(request.politeness, at);
    // A session is one start and one connection however many addresses
    // it asks about: the live ones are counted by their tokens.
    for (const Table::Row& row :
         db_->query("SELECT lease_key, count(DISTINCT lease_token) FROM verimex_addresses WHERE state = " +
                        S(RowState::leased) + " AND due_at > $1 GROUP BY lease_key",
                    {integer(at)})
             .rows)
        limits.live(row.text(0), static_cast<std::uint64_t>(row.integer(1)));
    for (const Table::Row& row : db_->query("SELECT key, last_start FROM verimex_key_starts WHERE last_start > $1",
                                            {integer(at - request.politeness.interval.count())})
                                     .rows)
        limits.started(row.text(0), row.integer(1));

    // The sessions of this take, open to more addresses of their job and
    // domain until per_session, and how full each one is.
    struct Session {
        std::size_t size = 0;
        std::size_t first = 0;  // its first lease in `found`
    };
    const std::size_t per_session = std::max<std::size_t>(request.per_session, 1);
    std::map<std::pair<std::string, std::string>, Session> open;
    std::map<std::string, bool> job_groups;  // by job name: whether its addresses share sessions
    std::size_t sessions = 0;
    std::size_t not_full = 0;  // open sessions with room
    // Once every session is opened, the scan looks this far on for more
    // addresses of theirs, and no farther: a list of many domains mixed
    // would otherwise have every take read max_scan rows.
    std::size_t scanned_when_opened = 0;
    std::size_t scanned = 0;
    const auto room_left = [&] { return not_full > 0 && scanned < scanned_when_opened + fill_scan; };
    std::vector<Lease> found;

    // The keys at their limits as the take begins are left out by the
    // database itself: however many due addresses of a saturated provider
    // stand first, they cost the scan below nothing, and the other domains
    // are reached. (Past max_left_out keys the scan skips them itself.)
    const std::vector<std::string> closed = limits.closed();
    std::string leave_out;
    if (!closed.empty() && closed.size() <= max_left_out) {
        leave_out = "AND coalesce(m.key, a.domain) NOT IN (";
        for (std::size_t i = 0; i < closed.size(); ++i)
            leave_out += (i ? ", $" : "$") + std::to_string(i + (id ? 5 : 4));
        leave_out += ") ";
    }

    // Due addresses oldest first, a batch at a time, leaving out the keys
    // that are at their limits; the scan goes on past a busy provider's
    // addresses to the others, and on after the last session is opened
    // for more addresses of the open ones.
    const std::string scan =
        "SELECT a.id, j.name, a.address, a.attempts, coalesce(m.key, a.domain) AS k, a.due_at, a.domain, "
        "j.settings "
        "FROM verimex_addresses a JOIN verimex_jobs j ON j.id = a.job_id "
        "LEFT JOIN verimex_mx m ON m.domain = a.domain "
        "WHERE a.state < " + S(RowState::done) + " AND a.due_at <= $1 AND (a.due_at, a.id) > ($2, $3) " +
        (id ? "AND a.job_id = $4 " : "") + leave_out + "ORDER BY a.due_at, a.id LIMIT " +
        std::to_string(take_batch) + std::string(db_->row_lock());
    Millis after_due = INT64_MIN;
    std::int64_t after_id = INT64_MIN;
    while ((sessions < request.count || room_left()) && scanned < max_scan) {
        std::vector<Value> params = {integer(at), integer(after_due), integer(after_id)};
        if (id)
            params.push_back(integer(*id));
        if (!leave_out.empty())
            for (const std::string& key : closed)
                params.push_back(bytes(key));
        const Table rows = db_->query(scan, params);
        for (const Table::Row& row : rows.rows) {
            if (sessions >= request.count && !room_left())
                break;
            ++scanned;
            after_id = row.integer(0);
            after_due = row.integer(5);
            std::string job = row.text(1);
            auto groups = job_groups.find(job);
            if (groups == job_groups.end()) {
                // The component's check (method vrfy, and the jobs made
                // before settings were stored) is one address at a time;
                // so is a job whose settings this version cannot read,
                // rather than no job taking anything.
                bool shares = false;
                if (per_session > 1 && !row.is_null(7)) {
                    try {
                        shares = parse_job_settings(row.text(7)).method != verimex::method::vrfy;
                    } catch (const StoreError&) {
                        shares = false;
                    }
                }
                groups = job_groups.emplace(job, shares).first;
            }
            std::string key = row.text(4);
            Lease l;
            l.id = after_id;
            l.attempts = static_cast<std::uint32_t>(row.integer(3));
            l.address = row.text(2);
            if (groups->second) {
                auto it = open.find({job, row.text(6)});
                if (it != open.end() && it->second.size < per_session) {
                    // One more address of an open session: no start of its own.
                    const Lease& first = found[it->second.first];
                    l.job = std::move(job);
                    l.key = first.key;
                    l.token = first.token;
                    if (++it->second.size == per_session)
                        --not_full;
                    found.push_back(std::move(l));
                    continue;
                }
            }
            if (sessions >= request.count || !limits.admit(key))
                continue;
            if (groups->second) {
                // This domain's new session (the one before it, if any,
                // is full) takes its further addresses from here on.
                open.insert_or_assign({job, row.text(6)}, Session{1, found.size()});
                ++not_full;
            }
            l.job = std::move(job);
            l.key = std::move(key);
            l.token = tokens_.next();
            if (++sessions == request.count)
                scanned_when_opened = scanned;
            found.push_back(std::move(l));
        }
        if (rows.rows.size() < take_batch)
            break;
    }
    // Each session's addresses next to each other, sessions in the order
    // they were opened.
    std::map<std::string, std::size_t> order;
    for (const Lease& l : found)
        order.emplace(l.token, order.size());
    std::stable_sort(found.begin(), found.end(),
                     [&](const Lease& a, const Lease& b) { return order[a.token] < order[b.token]; });
    leases = std::move(found);
    std::set<std::string> started;
    for (const Lease& l : leases) {
        db_->query("UPDATE verimex_addresses SET state = " + S(RowState::leased) +
                       ", due_at = $1, lease_key = $2, lease_token = $3, lease_owner = $4 WHERE id = $5",
                   {integer(at + request.lease.count()), bytes(l.key), bytes(l.token), bytes(request.owner),
                    integer(l.id)});
        if (started.insert(l.token).second)
            db_->query("INSERT INTO verimex_key_starts(key, last_start) VALUES ($1, $2) "
                       "ON CONFLICT (key) DO UPDATE SET last_start = excluded.last_start",
                       {bytes(l.key), integer(at)});
    }
    // A start older than the longest interval a worker may ask for limits
    // nothing; without this the table, read by every take, would keep a
    // row for every mail server the store ever met.
    if (at - last_prune_ >= prune_every) {
        db_->query("DELETE FROM verimex_key_starts WHERE last_start < $1",
                   {integer(at - static_cast<Millis>(max_mx_interval_ms))});
        last_prune_ = at;
    }
    if (at - last_mx_prune_ >= prune_mx_every) {
        prune_mx();
        last_mx_prune_ = at;
    }
    t.commit();
    return leases;
}

bool SqlStore::record(const Lease& lease, const report& result, std::optional<Millis> retry_at)
{
    std::lock_guard lock(mutex_);
    // The result, the address done (or deferred), and the domain's
    // mail-server key learnt, all or nothing, only while the lease is still
    // this worker's.
    Transaction t(*db_, Connection::Begin::write);
    const Millis at = clock();
    const Table written = db_->query(
        "UPDATE verimex_addresses SET state = $1, due_at = $2, attempts = attempts + 1, checked_at = $3, "
        "outcome = $4, returnvar = $5, transcript = $6, error = $7, "
        "verdict = $10, reason = $11, members = $12, "
        "lease_key = NULL, lease_token = NULL, lease_owner = NULL "
        "WHERE id = $8 AND state = " + S(RowState::leased) + " AND lease_token = $9",
        {integer(static_cast<int>(retry_at ? RowState::waiting : RowState::done)), integer(retry_at.value_or(at)),
         integer(at), retry_at ? null() : integer(static_cast<std::int64_t>(outcome_of(result))),
         bytes(result.returnvar), bytes(result.transcript), result.error.empty() ? null() : bytes(result.error),
         integer(lease.id), bytes(lease.token), bytes(name(result.verdict)), bytes(name(result.reason)),
         bytes(engine_members_text(result))});
    if (written.affected != 1)
        return false;
    const std::string mx = result.mx ? lowered(*result.mx) : std::string();
    const std::string domain = domain_of(result.address);
    if (!mx.empty() && !domain.empty())
        db_->query("INSERT INTO verimex_mx(domain, key) VALUES ($1, $2) "
                   "ON CONFLICT (domain) DO UPDATE SET key = excluded.key",
                   {bytes(domain), bytes(mx)});
    t.commit();
    return true;
}

void SqlStore::renew(std::span<const Lease> leases, std::chrono::milliseconds lease)
{
    if (leases.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::write);
    const Millis until = clock() + lease.count();
    for (const Lease& l : leases)
        db_->query("UPDATE verimex_addresses SET due_at = $1 WHERE id = $2 AND state = " + S(RowState::leased) +
                       " AND lease_token = $3",
                   {integer(until), integer(l.id), bytes(l.token)});
    t.commit();
}

void SqlStore::release(std::span<const Lease> leases)
{
    if (leases.empty())
        return;
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::write);
    const Millis at = clock();
    for (const Lease& l : leases)
        db_->query("UPDATE verimex_addresses SET state = " + S(RowState::waiting) +
                       ", due_at = $1, lease_key = NULL, lease_token = NULL, lease_owner = NULL "
                       "WHERE id = $2 AND state = " + S(RowState::leased) + " AND lease_token = $3",
                   {integer(at), integer(l.id), bytes(l.token)});
    t.commit();
}

StoreTotals SqlStore::totals()
{
    std::lock_guard lock(mutex_);
    Transaction t(*db_, Connection::Begin::read);
    const Table counts = db_->query(
        "SELECT (SELECT count(*) FROM verimex_jobs), "
        "count(*) FILTER (WHERE state = " + S(RowState::done) + "), "
        "count(*) FILTER (WHERE state < " + S(RowState::done) + " AND due_at <= $1), "
        "count(*) FILTER (WHERE state = " + S(RowState::leased) + " AND due_at > $1), "
        "count(*) FILTER (WHERE state = " + S(RowState::waiting) + " AND due_at > $1) FROM verimex_addresses",
        {integer(clock())});
    t.commit();
    const Table::Row& row = counts.rows.at(0);
    StoreTotals totals;
    std::uint64_t* fields[] = {&totals.jobs, &totals.done, &totals.due, &totals.running, &totals.deferred};
    for (int i = 0; i < static_cast<int>(std::size(fields)); ++i)
        *fields[i] = static_cast<std::uint64_t>(row.integer(i));
    return totals;
}

JobWork SqlStore::work(std::string_view job)
{
    std::lock_guard lock(mutex_);
    JobWork w;
    std::optional<std::int64_t> id;
    if (!job.empty()) {
        id = job_id(job);
        if (!id)
            return w;
    }
    const std::string sql =
        "SELECT count(*), min(due_at) FROM verimex_addresses WHERE state < " + S(RowState::done);
    const Table left = id ? db_->query(sql + " AND job_id = $1", {integer(*id)}) : db_->query(sql);
    w.unfinished = static_cast<std::uint64_t>(left.rows.at(0).integer(0));
    if (!left.rows[0].is_null(1))
        w.next_due = left.rows[0].integer(1);
    return w;
}

}  // namespace

Value integer(std::int64_t value)
{
    return {value};
}

Value bytes(std::string_view value)
{
    return {std::string(value)};
}

Value null()
{
    return {};
}

bool Table::Row::is_null(int column) const
{
    return std::holds_alternative<std::monostate>(cells.at(static_cast<std::size_t>(column)));
}

std::int64_t Table::Row::integer(int column) const
{
    const Cell& cell = cells.at(static_cast<std::size_t>(column));
    if (const auto* n = std::get_if<std::int64_t>(&cell))
        return *n;
    throw StoreError("a column read as a number holds none");
}

std::string Table::Row::text(int column) const
{
    const Cell& cell = cells.at(static_cast<std::size_t>(column));
    if (const auto* s = std::get_if<std::string>(&cell))
        return *s;
    if (const auto* n = std::get_if<std::int64_t>(&cell))
        return std::to_string(*n);
    return {};
}

std::optional<std::string> Table::Row::optional_text(int column) const
{
    return is_null(column) ? std::nullopt : std::optional<std::string>(text(column));
}

std::string schema(const Connection::Types& types)
{
    const std::string id(types.id), n(types.integer), b(types.bytes), t(types.text);
    const std::string unfinished = "WHERE state < " + S(RowState::done);
    return "CREATE TABLE verimex_meta(name " + t + " PRIMARY KEY, value " + t + " NOT NULL);\n"
           "CREATE TABLE verimex_jobs(id " + id + ", name " + b + " NOT NULL UNIQUE, created_at " + n +
           " NOT NULL, settings " + b + ");\n"
           "CREATE TABLE verimex_addresses(\n"
           "  id " + id + ",\n"
           "  job_id " + n + " NOT NULL REFERENCES verimex_jobs(id) ON DELETE CASCADE,\n"
           "  address " + b + " NOT NULL,\n"
           "  domain " + b + " NOT NULL,\n"
           "  state " + n + " NOT NULL DEFAULT " + S(RowState::waiting) + ",\n"
           "  due_at " + n + " NOT NULL,\n"
           "  lease_key " + b + ",\n"
           "  lease_token " + b + ",\n"
           "  lease_owner " + b + ",\n"
           "  attempts " + n + " NOT NULL DEFAULT 0,\n"
           "  checked_at " + n + ",\n"
           "  outcome " + n + ",\n"
           "  returnvar " + b + ",\n"
           "  transcript " + b + ",\n"
           "  error " + b + ",\n"
           "  verdict " + b + ",\n"
           "  reason " + b + ",\n"
           "  members " + b + ",\n"
           "  UNIQUE(job_id, address));\n"
           "CREATE INDEX verimex_addresses_due ON verimex_addresses(job_id, due_at, id) " + unfinished + ";\n"
           "CREATE INDEX verimex_addresses_due_any ON verimex_addresses(due_at, id) " + unfinished + ";\n"
           "CREATE INDEX verimex_addresses_leased ON verimex_addresses(lease_key, due_at) WHERE state = " +
           S(RowState::leased) + ";\n"
           "CREATE TABLE verimex_mx(domain " + b + " PRIMARY KEY, key " + b + " NOT NULL);\n"
           "CREATE TABLE verimex_key_starts(key " + b + " PRIMARY KEY, last_start " + n + " NOT NULL);\n";
}

std::string migration_from_1(const Connection::Types& types)
{
    const std::string b(types.bytes);
    return "ALTER TABLE verimex_jobs ADD COLUMN settings " + b + ";\n"
           "ALTER TABLE verimex_addresses ADD COLUMN verdict " + b + ";\n"
           "ALTER TABLE verimex_addresses ADD COLUMN reason " + b + ";\n"
           "ALTER TABLE verimex_addresses ADD COLUMN members " + b + ";\n";
}

std::unique_ptr<Store> make_store(std::unique_ptr<Connection> connection, std::shared_ptr<Clock> clock)
{
    return std::make_unique<SqlStore>(std::move(connection), std::move(clock));
}

}  // namespace verimex::hosting::sql
