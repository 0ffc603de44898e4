// A small owned face of the SQLite C library: a connection and its prepared
// statements as RAII objects, failures as values with SQLite's own words.
// Only the store's implementation includes it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/expected.h"

struct sqlite3;
struct sqlite3_stmt;

namespace sqlite {

struct ConnectionCloser {
    void operator()(sqlite3* connection) const;
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const;
};

class Statement;

class Database {
public:
    // Opens (and with `create` makes) the database file at `path`; waits up
    // to `busy_timeout_ms` for a lock other connections hold before a
    // statement fails. Failure: SQLite's reason.
    static Expected<Database> open(const std::string& path, bool create, int busy_timeout_ms);

    // Runs one or more statements without results.
    Status execute(const char* sql);
    // Prepares one statement; the failure names SQLite's reason.
    Expected<Statement> prepare(std::string_view sql);
    int64_t last_insert_rowid() const;
    std::string error_text() const;

private:
    std::unique_ptr<sqlite3, ConnectionCloser> connection_;
};

// Steps of a statement: a row to read, or the end.
enum class Step { row, done };

class Statement {
public:
    explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}

    // Binds by position from 1. A missing optional binds NULL.
    Statement& bind(int position, std::string_view text);
    Statement& bind(int position, int64_t value);
    Statement& bind(int position, double value);
    Statement& bind(int position, std::optional<double> value);
    Statement& bind(int position, std::optional<int64_t> value);
    Statement& bind_null(int position);

    Expected<Step> step();
    // step() to the end; for statements that return no rows.
    Status run();
    // Ready to bind and step again.
    void reset();

    // Columns of the current row, from 0.
    bool is_null(int column) const;
    int64_t integer(int column) const;
    double real(int column) const;
    std::optional<double> optional_real(int column) const;
    std::string text(int column) const;

private:
    Failure failure() const;
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> statement_;
};

// A transaction that rolls back unless committed.
class Transaction {
public:
    // For writing, BEGIN IMMEDIATE: the write lock is taken at once, so two
    // writers never deadlock upgrading a read lock; waits the busy timeout
    // for it. For reading, one snapshot for every statement until commit().
    enum class Kind { read, write };
    static Expected<Transaction> begin(Database& database, Kind kind);
    Transaction(Transaction&& other) noexcept : database_(other.database_) { other.database_ = nullptr; }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    Transaction& operator=(Transaction&&) = delete;
    ~Transaction();
    Status commit();

private:
    explicit Transaction(Database* database) : database_(database) {}
    Database* database_;
};

}  // namespace sqlite
