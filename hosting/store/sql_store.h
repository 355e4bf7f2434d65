// The job store both dialects share: every statement, the schema, take,
// record and the rest written once over a small connection interface that
// the SQLite file and the PostgreSQL server each implement (sqlite.cpp,
// postgres.cpp) with what is truly theirs: opening, binding and reading
// values, the kinds of transaction, and the column types of the schema.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "verimex/hosting/clock.h"
#include "verimex/hosting/store.h"

namespace verimex::hosting::sql {

// Rows in verimex_addresses.state, the one spelling of each in every
// statement. done is the highest: "state < done" is every unfinished row,
// as the partial indexes of the schema say it.
enum class RowState : int {
    waiting = 0,  // due from due_at on
    leased = 1,   // leased until due_at; due again after
    done = 2,     // final result
};

// A bound parameter: nothing, a 64-bit integer, or bytes (addresses and
// replies are bytes, not always UTF-8).
struct Value {
    std::variant<std::monostate, std::int64_t, std::string> v;
};
Value integer(std::int64_t value);
Value bytes(std::string_view value);
Value null();

// A query's rows, read whole: every query here reads a bounded batch.
class Table {
public:
    using Cell = std::variant<std::monostate, std::int64_t, std::string>;
    struct Row {
        std::vector<Cell> cells;
        bool is_null(int column) const;
        std::int64_t integer(int column) const;
        std::string text(int column) const;
        std::optional<std::string> optional_text(int column) const;
    };
    std::vector<Row> rows;
    std::uint64_t affected = 0;  // rows an INSERT, UPDATE or DELETE changed
};

// What a dialect gives.
class Connection {
public:
    virtual ~Connection() = default;
    virtual std::string_view kind() const = 0;

    // Runs one statement with parameters $1, $2, ... Throws StoreError.
    virtual Table query(const std::string& sql, const std::vector<Value>& params = {}) = 0;
    // Runs statements without parameters, one after the other.
    virtual void script(const std::string& sql) = 0;

    enum class Begin {
        write,   // changes, lined up with the other writers
        read,    // one snapshot to its end
        take,    // a take: lined up with every other take of the store
        schema,  // creating the tables: one process at a time
    };
    virtual void begin(Begin kind) = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;

    // Whether the store's tables exist; within a schema transaction.
    virtual bool has_tables() = 0;
    // The store's own clock when none was handed in.
    virtual Millis now() = 0;
    // What a take's scan adds to lock its rows ("" when the transaction
    // itself holds the store).
    virtual std::string_view row_lock() const = 0;

    // The column types of the schema.
    struct Types {
        std::string_view id;       // the key of a row, assigned by the store
        std::string_view integer;  // a 64-bit integer
        std::string_view bytes;    // bytes
        std::string_view text;     // text (the meta table)
    };
    virtual Types types() const = 0;
};

// The store over a connection. clock: null for the connection's own.
std::unique_ptr<Store> make_store(std::unique_ptr<Connection> connection, std::shared_ptr<Clock> clock);

// The tables as this code writes them, in a dialect's types.
std::string schema(const Connection::Types& types);
// Takes the tables of schema version 1 to those of schema().
std::string migration_from_1(const Connection::Types& types);

}  // namespace verimex::hosting::sql
