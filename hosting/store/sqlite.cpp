// The embedded store: one SQLite file in WAL mode, shared by the processes
// of one machine. Every change is one IMMEDIATE transaction, so writers
// queue on the file's lock (waiting up to busy_wait) and the politeness
// counts read inside a take cannot change under it.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "store/sql_store.h"
#include "store/sqlite_store.h"

namespace verimex::hosting {

namespace {

// How long a call waits for another process's transaction to end.
constexpr int busy_wait_ms = 60'000;

[[noreturn]] void fail(sqlite3* db)
{
    throw StoreError(std::string("sqlite: ") + sqlite3_errmsg(db));
}

// The statements are written with PostgreSQL's $1, $2, ...; SQLite reads
// the same numbers as ?1, ?2, ...
std::string numbered_parameters(const std::string& sql)
{
    std::string out = sql;
    for (std::size_t i = 0; i + 1 < out.size(); ++i)
        if (out[i] == '$' && out[i + 1] >= '0' && out[i + 1] <= '9')
            out[i] = '?';
    return out;
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db)
    {
        if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
            fail(db_);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const sql::Value& value)
    {
        int rc = SQLITE_OK;
        if (const auto* n = std::get_if<std::int64_t>(&value.v))
            rc = sqlite3_bind_int64(stmt_, index, *n);
        else if (const auto* s = std::get_if<std::string>(&value.v))
            rc = sqlite3_bind_text(stmt_, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
        else
            rc = sqlite3_bind_null(stmt_, index);
        if (rc != SQLITE_OK)
            fail(db_);
    }
    // True while there is a row.
    bool step()
    {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(db_);
    }
    sql::Table::Row row() const
    {
        sql::Table::Row row;
        const int columns = sqlite3_column_count(stmt_);
        row.cells.reserve(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(stmt_, c)) {
            case SQLITE_NULL: row.cells.emplace_back(std::monostate{}); break;
            case SQLITE_INTEGER: row.cells.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt_, c))); break;
            default: {
                const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, c));
                row.cells.emplace_back(
                    data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c))) : std::string());
            }
            }
        }
        return row;
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteConnection final : public sql::Connection {
public:
    explicit SqliteConnection(const std::string& path)
    {
        if (path.empty())
            throw StoreError("an empty file name is no store");
        // The store holds every address posted and every reply: a new file
        // is made readable by its owner alone, whatever the umask says.
        // SQLite gives the -wal and -shm files the database's own mode.
        // Made here only when missing; any failure is left to SQLite's open
        // below, which says what is wrong in its words.
        if (const int made = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); made >= 0)
            ::close(made);
        const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        // Owned from here on, opened or not.
        owned_.reset(db_);
        if (rc != SQLITE_OK)
            throw StoreError(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
        {
            // SQLite opens a write-protected file for reading only; a worker
            // would then fail at its first result, after its first checks.
            if (sqlite3_db_readonly(db_, "main") == 1)
                throw StoreError("the file is not writable");
            sqlite3_busy_timeout(db_, busy_wait_ms);
            script("PRAGMA foreign_keys = ON");
            const sql::Table journal = query("PRAGMA journal_mode = WAL", {});
            if (journal.rows.empty() || journal.rows[0].text(0) != "wal")
                throw StoreError("cannot switch the file to WAL mode");
            // With WAL, NORMAL loses no committed transaction when a process
            // dies; only a power cut can take back the last few, and those
            // addresses are then simply checked again.
            script("PRAGMA synchronous = NORMAL");
        }
    }

    std::string_view kind() const override { return "sqlite"; }

    sql::Table query(const std::string& text, const std::vector<sql::Value>& params) override
    {
        Statement statement(db_, numbered_parameters(text));
        for (std::size_t i = 0; i < params.size(); ++i)
            statement.bind(static_cast<int>(i + 1), params[i]);
        sql::Table table;
        while (statement.step())
            table.rows.push_back(statement.row());
        table.affected = static_cast<std::uint64_t>(sqlite3_changes(db_));
        return table;
    }

    void script(const std::string& text) override
    {
        char* message = nullptr;
        if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string reason = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw StoreError("sqlite: " + reason);
        }
    }

    void begin(Begin kind) override
    {
        // A reader's snapshot starts at its first read and lasts to its
        // end in WAL mode; every other transaction takes the file's write
        // lock at once, which lines up writers, takes and schema set-up.
        script(kind == Begin::read ? "BEGIN" : "BEGIN IMMEDIATE");
    }
    void commit() override { script("COMMIT"); }
    void rollback() noexcept override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

    bool has_tables() override
    {
        return query("SELECT count(*) FROM sqlite_master WHERE name = 'verimex_meta'", {}).rows.at(0).integer(0) > 0;
    }
    Millis now() override { return SystemClock().now(); }
    std::string_view row_lock() const override { return ""; }
    Types types() const override { return {"INTEGER PRIMARY KEY", "INTEGER", "TEXT", "TEXT"}; }

private:
    sqlite3* db_ = nullptr;  // owned_'s
    std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)> owned_{nullptr, &sqlite3_close_v2};
};

}  // namespace

std::unique_ptr<Store> open_sqlite_store(const std::string& path, std::shared_ptr<Clock> clock)
{
    return sql::make_store(std::make_unique<SqliteConnection>(path), std::move(clock));
}

}  // namespace verimex::hosting
