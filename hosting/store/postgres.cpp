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

#include <memory>
#include <utility>

#include "store/postgres_store.h"
#include "store/sql_store.h"

namespace verimex::hosting {

namespace {

// pg_advisory_xact_lock keys: "verimex" take, and schema set-up.
constexpr std::int64_t take_lock = 0x7665726d65780001;
constexpr std::int64_t schema_lock = 0x7665726d65780002;

constexpr Oid int8_oid = 20;
constexpr Oid int4_oid = 23;
constexpr Oid bytea_oid = 17;

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

// A number as PostgreSQL's binary format has it: big-endian.
std::string big_endian(std::int64_t value)
{
    std::string bytes(8, '\0');
    auto v = static_cast<std::uint64_t>(value);
    for (int i = 7; i >= 0; --i, v >>= 8)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xff);
    return bytes;
}

std::int64_t from_big_endian(const char* data, int length)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::uint64_t v = 0;
    for (int i = 0; i < length; ++i)
        v = (v << 8) | bytes[i];
    if (length == 4)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return static_cast<std::int64_t>(v);
}

class PgResult {
public:
    explicit PgResult(PGresult* r) : r_(r) {}
    ~PgResult() { PQclear(r_); }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    PGresult* get() const { return r_; }
    ExecStatusType status() const { return r_ ? PQresultStatus(r_) : PGRES_FATAL_ERROR; }

private:
    PGresult* r_;
};

class PostgresConnection final : public sql::Connection {
public:
    explicit PostgresConnection(const std::string& uri)
    {
        // The URI's own settings win over these defaults: it comes last. The
        // keepalives and the user timeout make a server that vanished from
        // the network (rather than closing the connection) an error within
        // about a minute, not a worker that waits for ever.
        //
        // The session's time limits keep one stopped worker (Ctrl-Z, a
        // paused VM) from holding the fleet: the server ends a session idle
        // inside a transaction after 60 s, which frees the take lock it may
        // hold; a take waits at most 10 s for that lock and any statement
        // runs at most 60 s, and the caller tries again. An "options" in
        // the URI replaces all three.
        const char* keys[] = {"connect_timeout",  "application_name", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout", "options",         "dbname",
                              nullptr};
        const char* values[] = {"10",
                                "verimex",
                                "30",
                                "10",
                                "3",
                                "60000",
                                "-c lock_timeout=10s -c statement_timeout=60s "
                                "-c idle_in_transaction_session_timeout=60s",
                                uri.c_str(),
                                nullptr};
        owned_.reset(PQconnectdbParams(keys, values, 1));
        conn_ = owned_.get();
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK)
            throw StoreError(connection_message(conn_));
        // libpq hands an error that arrives between queries (the server
        // shutting down: "FATAL: terminating connection ...") to the notice
        // processor, whose default prints it on standard error ahead of our
        // own message. The failure reaches the caller as a StoreError with
        // that text at the next query anyway, so notices are not printed
        // twice.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        script("SET client_min_messages = warning");
    }

    std::string_view kind() const override { return "postgresql"; }

    sql::Table query(const std::string& text, const std::vector<sql::Value>& params) override
    {
        std::vector<std::string> encoded(params.size());
        std::vector<const char*> values(params.size());
        std::vector<int> lengths(params.size()), formats(params.size(), 1);
        std::vector<Oid> types(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            const sql::Value& p = params[i];
            if (const auto* n = std::get_if<std::int64_t>(&p.v)) {
                encoded[i] = big_endian(*n);
                types[i] = int8_oid;
            } else if (const auto* s = std::get_if<std::string>(&p.v)) {
                encoded[i] = *s;
                types[i] = bytea_oid;
            } else {
                // A null of either kind: the statement says which.
                types[i] = 0;
            }
            values[i] = std::holds_alternative<std::monostate>(p.v) ? nullptr : encoded[i].data();
            lengths[i] = static_cast<int>(encoded[i].size());
        }
        PgResult r(PQexecParams(conn_, text.c_str(), static_cast<int>(params.size()), types.data(), values.data(),
                                lengths.data(), formats.data(), 1));
        check(r);
        sql::Table table;
        const int rows = PQntuples(r.get());
        const int columns = PQnfields(r.get());
        table.rows.resize(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i) {
            sql::Table::Row& row = table.rows[static_cast<std::size_t>(i)];
            row.cells.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                const char* data = PQgetvalue(r.get(), i, c);
                const int length = PQgetlength(r.get(), i, c);
                const Oid type = PQftype(r.get(), c);
                if (PQgetisnull(r.get(), i, c))
                    row.cells.emplace_back(std::monostate{});
                else if (type == int8_oid || type == int4_oid)
                    row.cells.emplace_back(from_big_endian(data, length));
                else
                    row.cells.emplace_back(std::string(data, static_cast<std::size_t>(length)));
            }
        }
        const char* affected = PQcmdTuples(r.get());
        table.affected = *affected ? std::strtoull(affected, nullptr, 10) : 0;
        return table;
    }

    void script(const std::string& text) override
    {
        PgResult r(PQexec(conn_, text.c_str()));
        check(r);
    }

    void begin(Begin kind) override
    {
        // A connection the server closed (a restart, a session ended for
        // idling) is opened again here, between transactions, where
        // nothing of the caller's is lost with it. An idle connection
        // learns that it broke only from its next statement: when that is
        // the BEGIN, it is opened again and the BEGIN sent once more.
        reopen_if_broken();
        try {
            start(kind);
        } catch (const StoreError&) {
            if (PQstatus(conn_) == CONNECTION_OK) {
                // The take lock not had in time: the transaction it began
                // is over too.
                rollback();
                throw;
            }
            reopen_if_broken();
            start(kind);
        }
    }
    void commit() override { script("COMMIT"); }
    void rollback() noexcept override
    {
        if (PQstatus(conn_) == CONNECTION_OK)
            PQclear(PQexec(conn_, "ROLLBACK"));
    }

    bool has_tables() override
    {
        return query("SELECT to_regclass('verimex_meta') IS NOT NULL", {}).rows.at(0).text(0) == std::string(1, '\1');
    }
    Millis now() override
    {
        return query("SELECT (extract(epoch FROM clock_timestamp()) * 1000)::bigint", {}).rows.at(0).integer(0);
    }
    std::string_view row_lock() const override { return " FOR UPDATE OF a SKIP LOCKED"; }
    Types types() const override { return {"bigserial PRIMARY KEY", "bigint", "bytea", "text"}; }

private:
    void start(Begin kind)
    {
        switch (kind) {
        case Begin::write: script("BEGIN"); return;
        case Begin::read: script("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); return;
        case Begin::take:
            // The fleet's takes one after the other.
            script("BEGIN");
            query("SELECT pg_advisory_xact_lock($1)", {sql::integer(take_lock)});
            return;
        case Begin::schema:
            // Workers started together must not both create the tables.
            script("BEGIN");
            query("SELECT pg_advisory_xact_lock($1)", {sql::integer(schema_lock)});
            return;
        }
    }

    void reopen_if_broken()
    {
        if (PQstatus(conn_) == CONNECTION_OK)
            return;
        PQreset(conn_);
        if (PQstatus(conn_) != CONNECTION_OK)
            throw StoreError("postgresql: " + connection_message(conn_));
        script("SET client_min_messages = warning");
    }

    void check(const PgResult& r)
    {
        const ExecStatusType status = r.status();
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return;
        throw StoreError("postgresql: " + connection_message(conn_));
    }

    std::unique_ptr<PGconn, decltype(&PQfinish)> owned_{nullptr, &PQfinish};
    PGconn* conn_ = nullptr;  // owned_'s
};

}  // namespace

std::unique_ptr<Store> open_postgres_store(const std::string& uri, std::shared_ptr<Clock> clock)
{
    return sql::make_store(std::make_unique<PostgresConnection>(uri), std::move(clock));
}

}  // namespace verimex::hosting
