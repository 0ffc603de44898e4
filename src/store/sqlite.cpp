#include "store/sqlite.h"

#include <sqlite3.h>

namespace sqlite {

void ConnectionCloser::operator()(sqlite3* connection) const { sqlite3_close_v2(connection); }
void StatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

Expected<Database> Database::open(const std::string& path, bool create, int busy_timeout_ms) {
    sqlite3* raw = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int status = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Database database;
    database.connection_.reset(raw);
    if (status != SQLITE_OK) {
        return Failure{raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(status)};
    }
    sqlite3_busy_timeout(raw, busy_timeout_ms);
    sqlite3_extended_result_codes(raw, 1);
    return database;
}

Status Database::execute(const char* sql) {
    if (sqlite3_exec(connection_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return Failure{error_text()};
    }
    return {};
}

Expected<Statement> Database::prepare(std::string_view sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(connection_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(raw);
        return Failure{error_text()};
    }
    return Statement(raw);
}

int64_t Database::last_insert_rowid() const { return sqlite3_last_insert_rowid(connection_.get()); }

std::string Database::error_text() const { return sqlite3_errmsg(connection_.get()); }

Statement& Statement::bind(int position, std::string_view text) {
    sqlite3_bind_text(statement_.get(), position, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind(int position, int64_t value) {
    sqlite3_bind_int64(statement_.get(), position, value);
    return *this;
}

Statement& Statement::bind(int position, double value) {
    // SQLite stores a NaN as NULL anyway; say so plainly.
    if (value != value) return bind_null(position);
    sqlite3_bind_double(statement_.get(), position, value);
    return *this;
}

Statement& Statement::bind(int position, std::optional<double> value) {
    return value ? bind(position, *value) : bind_null(position);
}

Statement& Statement::bind(int position, std::optional<int64_t> value) {
    return value ? bind(position, *value) : bind_null(position);
}

Statement& Statement::bind_null(int position) {
    sqlite3_bind_null(statement_.get(), position);
    return *this;
}

Failure Statement::failure() const { return Failure{sqlite3_errmsg(sqlite3_db_handle(statement_.get()))}; }

Expected<Step> Statement::step() {
    const int status = sqlite3_step(statement_.get());
    if (status == SQLITE_ROW) return Step::row;
    if (status == SQLITE_DONE) return Step::done;
    return failure();
}

Status Statement::run() {
    for (;;) {
        const Expected<Step> stepped = step();
        if (!stepped) return stepped.error();
        if (*stepped == Step::done) return {};
    }
}

void Statement::reset() {
    sqlite3_reset(statement_.get());
    sqlite3_clear_bindings(statement_.get());
}

bool Statement::is_null(int column) const { return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL; }

int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_.get(), column); }

double Statement::real(int column) const { return sqlite3_column_double(statement_.get(), column); }

std::optional<double> Statement::optional_real(int column) const {
    if (is_null(column)) return std::nullopt;
    return real(column);
}

std::string Statement::text(int column) const {
    const unsigned char* bytes = sqlite3_column_text(statement_.get(), column);
    if (bytes == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(bytes),
                       static_cast<size_t>(sqlite3_column_bytes(statement_.get(), column)));
}

Expected<Transaction> Transaction::begin(Database& database, Kind kind) {
    if (Status begun = database.execute(kind == Kind::write ? "BEGIN IMMEDIATE" : "BEGIN"); !begun) {
        return Failure{begun.error()};
    }
    return Transaction(&database);
}

Transaction::~Transaction() {
    if (database_ != nullptr) (void)database_->execute("ROLLBACK");
}

Status Transaction::commit() {
    Status committed = database_->execute("COMMIT");
    if (committed) database_ = nullptr;
    return committed;
}

}  // namespace sqlite
