// The SQLite engine: one connection shared by every thread behind one lock.
// SQLite serialises writers anyway, and its calls here are short (no fsync
// per commit in WAL mode with synchronous=NORMAL).
#include "server/store/sqlite/sqlite_store.h"

#include <sqlite3.h>

#include <array>
#include <mutex>

#include "server/store/sql_store.h"

namespace vexa::server {

namespace {

using sql::Query;

// Settings of every opening.
constexpr const char* kPragmas[] = {
    // The server is the file's only user: holding the lock saves two system
    // calls per statement, and no other program can change data under it
    // (which is what lets the store keep its lookups in memory).
    "PRAGMA locking_mode=EXCLUSIVE",
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA foreign_keys=ON",
};

class SqliteRow final : public sql::Row {
public:
    explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
    std::int64_t Int(int column) const override { return sqlite3_column_int64(stmt_, column); }
    std::string Bytes(int column) const override {
        // Texts are kept as BLOBs; a TEXT column's bytes read the same way.
        const void* bytes = sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
    }

private:
    sqlite3_stmt* stmt_;
};

class SqliteEngine final : public sql::Engine, private sql::Session {
public:
    explicit SqliteEngine(const std::string& path);
    ~SqliteEngine() override;

    const sql::Dialect& Words() const override { return sql::Dialect::Sqlite(); }
    bool Blocking() const override { return false; }
    bool Shared() const override { return false; }
    void Use(FunctionRef<void(sql::Session&)> fn) override {
        std::lock_guard<std::mutex> lock(mutex_);
        fn(*this);
    }
    void Transaction(FunctionRef<void(sql::Session&)> fn) override;

private:
    // sql::Session, with the lock held.
    std::int64_t Run(Query query, sql::Params params, sql::RowFn onRow) override;
    void Exec(const std::string& text) override;
    // The write transaction (BEGIN IMMEDIATE) holds the whole file.
    void LockKey(std::int64_t) override {}

    sqlite3_stmt* Prepared(Query query);
    void Check(int rc, const char* what);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::array<sqlite3_stmt*, sql::kQueryCount> prepared_{};
};

SqliteEngine::SqliteEngine(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        for (const char* pragma : kPragmas) Exec(pragma);
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteEngine::~SqliteEngine() {
    for (sqlite3_stmt* stmt : prepared_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

void SqliteEngine::Transaction(FunctionRef<void(sql::Session&)> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    Exec("BEGIN IMMEDIATE");
    try {
        fn(*this);
    } catch (...) {
        Exec("ROLLBACK");
        throw;
    }
    Exec("COMMIT");
}

void SqliteEngine::Exec(const std::string& text) {
    char* error = nullptr;
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError("sqlite: " + message);
    }
}

void SqliteEngine::Check(int rc, const char* what) {
    if (rc != SQLITE_OK) throw StoreError(std::string("sqlite ") + what + ": " + sqlite3_errmsg(db_));
}

sqlite3_stmt* SqliteEngine::Prepared(Query query) {
    sqlite3_stmt*& stmt = prepared_[static_cast<std::size_t>(query)];
    if (!stmt) Check(sqlite3_prepare_v3(db_, Words().Text(query).c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr),
                     "prepare");
    return stmt;
}

std::int64_t SqliteEngine::Run(Query query, sql::Params params, sql::RowFn onRow) {
    sqlite3_stmt* stmt = Prepared(query);
    // Reset on the way out, so a statement is never left half-stepped whatever throws.
    struct Reset {
        sqlite3_stmt* stmt;
        ~Reset() {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
    } reset{stmt};
    int index = 1;
    for (const sql::Param& p : params) {
        switch (p.kind) {
            case sql::Param::Kind::Int: Check(sqlite3_bind_int64(stmt, index, p.number), "bind"); break;
            case sql::Param::Kind::Bytes:
                // Texts are bytes: a BLOB keeps GBK as it came.
                Check(sqlite3_bind_blob(stmt, index, p.bytes.empty() ? "" : p.bytes.data(),
                                        static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT),
                      "bind");
                break;
            case sql::Param::Kind::Text:
                Check(sqlite3_bind_text(stmt, index, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT),
                      "bind");
                break;
        }
        ++index;
    }
    SqliteRow row(stmt);
    for (;;) {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) throw StoreError(std::string("sqlite step: ") + sqlite3_errmsg(db_));
        if (onRow) onRow(row);
    }
    return sqlite3_stmt_readonly(stmt) ? 0 : sqlite3_changes(db_);
}

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path) {
    return std::make_unique<SqlStore>(std::make_unique<SqliteEngine>(path));
}

}  // namespace vexa::server
